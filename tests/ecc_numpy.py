"""NumPy reference for the ECC tests: unitaries of instruction lists and
exact counts of the operators a gate set reaches, up to global phase and
qubit relabelling."""
import itertools

import numpy as np

from circ_sim import gate, ins  # noqa: F401  (re-exported for the ECC tests)
from larkspan import Instr


def apply(u, instr, n):
    """Applies one instruction to the columns of u (shape 2^n x m); qubit q is
    bit q of the basis index, qargs[0] the most significant bit of the gate's
    local index."""
    qs = list(instr.qargs)
    k = len(qs)
    m = np.asarray(instr.gate.matrix).reshape([2] * (2 * k))
    t = u.reshape([2] * n + [-1])
    axes = [n - 1 - q for q in qs]
    t = np.tensordot(m, t, axes=(list(range(k, 2 * k)), axes))
    t = np.moveaxis(t, list(range(k)), axes)
    return t.reshape(2 ** n, -1)


def permutation_matrix(perm, n):
    """Qubit i becomes qubit perm[i]: basis index i moves to the index with bit perm[k] = bit k of i."""
    dim = 2 ** n
    p = np.zeros((dim, dim))
    for i in range(dim):
        j = sum(((i >> k) & 1) << perm[k] for k in range(n))
        p[j, i] = 1
    return p


def unitary(instrs, n, perm=None):
    u = np.eye(2 ** n, dtype=complex)
    for i in instrs:
        u = apply(u, i, n)
    if perm is not None:
        u = permutation_matrix(perm, n) @ u
    return u


def phase_key(u, digits=6):
    """A hashable form of u that is equal for u and e^{i phi} u."""
    flat = u.reshape(-1)
    ref = flat[np.argmax(np.abs(flat) > 1e-6)]
    v = flat * (abs(ref) / ref)
    r = np.round(np.concatenate([v.real, v.imag]), digits) + 0.0
    return r.tobytes()


def same_up_to_phase(a, b):
    i = np.argmax(np.abs(a.reshape(-1)) > 1e-6)
    ref_a, ref_b = a.reshape(-1)[i], b.reshape(-1)[i]
    if abs(ref_b) < 1e-9:
        return False
    return np.allclose(a * (ref_b / ref_a), b, atol=1e-9)


def placements(gate_names, n):
    """Every gate and its adjoint on every qubit / ordered qubit pair."""
    gates = [gate(g) for g in gate_names]
    gates += [g.adjoint() for g in gates]
    out = []
    for g in dict.fromkeys(gates):
        if g.nqargs == 1:
            out += [Instr(g, [q]) for q in range(n)]
        else:
            out += [Instr(g, [a, b]) for a in range(n) for b in range(n) if a != b]
    return out


def reachable(gate_names, n, max_size):
    """The distinct operators (up to phase) of all circuits of at most max_size instructions."""
    instrs = placements(gate_names, n)
    mats = [unitary([i], n) for i in instrs]
    ident = np.eye(2 ** n, dtype=complex)
    seen = {phase_key(ident): ident}
    frontier = [ident]
    for _ in range(max_size):
        nxt = []
        for u in frontier:
            for m in mats:
                v = m @ u
                key = phase_key(v)
                if key not in seen:
                    seen[key] = v
                    nxt.append(v)
        frontier = nxt
    return list(seen.values())


def count_up_to_relabelling(ops, n):
    perms = [permutation_matrix(p, n) for p in itertools.permutations(range(n))]
    keys = set()
    for u in ops:
        keys.add(min(phase_key(a @ u @ b) for a in perms for b in perms))
    return len(keys)
