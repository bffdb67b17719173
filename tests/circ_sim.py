"""Test helpers for circuits: a NumPy reference simulator, a reference
SipHash-1-3, and builders for random circuits and identities."""
import random

import numpy as np

from larkspan import Circ, Gate, Instr

# ---------------------------------------------------------------- instructions

def gate(name):
    g = Gate.from_name(name)
    assert g is not None, name
    return g


def ins(name, *qubits):
    return Instr(gate(name), list(qubits))


def h(q): return ins("h", q)
def x(q): return ins("x", q)
def s(q): return ins("s", q)
def t(q): return ins("t", q)
def cx(a, b): return ins("cx", a, b)
def swap(a, b): return ins("swap", a, b)


def text(instrs):
    return [str(i) for i in instrs]


# ---------------------------------------------------------------- reference simulator

def permut_bv(perm, i):
    """Bit k of i moves to bit perm[k]; positions beyond perm stay put."""
    out = 0
    for k in range(max(len(perm), i.bit_length())):
        if (i >> k) & 1:
            out |= 1 << (perm[k] if k < len(perm) else k)
    return out


def apply_instr(psi, instr, n):
    qs = list(instr.qargs)
    m = np.asarray(instr.gate.matrix)
    k = len(qs)
    out = psi.copy()
    for base in range(2 ** n):
        if any((base >> q) & 1 for q in qs):
            continue
        idx = [base | sum(((j >> (k - 1 - pos)) & 1) << qs[pos] for pos in range(k)) for j in range(2 ** k)]
        out[idx] = m @ psi[idx]
    return out


def unitary(circ, n=None):
    """The matrix of a Circ on n qubits: instructions in order, then qubit i -> perm[i]."""
    perm = tuple(circ.perm)
    n = len(perm) if n is None else n
    dim = 2 ** n
    u = np.zeros((dim, dim), dtype=complex)
    for b in range(dim):
        psi = np.zeros(dim, dtype=complex)
        psi[b] = 1
        for instr in circ.instrs:
            psi = apply_instr(psi, instr, n)
        out = np.zeros(dim, dtype=complex)
        for i in range(dim):
            out[permut_bv(perm, i)] = psi[i]
        u[:, b] = out
    return u


def relabelling(perm, n=None):
    return unitary(Circ([], perm), n)


def is_identity_up_to_phase(u):
    phase = u[0, 0]
    return abs(abs(phase) - 1) < 1e-9 and np.allclose(u, phase * np.eye(len(u)))


# ---------------------------------------------------------------- SipHash-1-3, keys zero

MASK = 2 ** 64 - 1


def _rotl(v, b):
    return ((v << b) | (v >> (64 - b))) & MASK


def siphash13(data: bytes) -> int:
    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & MASK; v[1] = _rotl(v[1], 13) ^ v[0]; v[0] = _rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK; v[3] = _rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK; v[3] = _rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK; v[1] = _rotl(v[1], 17) ^ v[2]; v[2] = _rotl(v[2], 32)

    whole = len(data) - len(data) % 8
    for off in range(0, whole, 8):
        m = int.from_bytes(data[off:off + 8], "little")
        v[3] ^= m
        rnd()
        v[0] ^= m
    m = int.from_bytes(data[whole:], "little") | ((len(data) & 0xFF) << 56)
    v[3] ^= m
    rnd()
    v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(3):
        rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def python_hash(h64):
    v = h64 - 2 ** 64 if h64 >= 2 ** 63 else h64
    return -2 if v == -1 else v


# ---------------------------------------------------------------- random circuits

ONE_QUBIT = ["h", "x", "s", "t", "sdg", "z"]
TWO_QUBIT = ["cx", "cz", "swap"]


def random_circuit(rng, nqubits, ninstrs, two_qubit=TWO_QUBIT):
    instrs = []
    for _ in range(ninstrs):
        if nqubits >= 2 and rng.random() < 0.4 and two_qubit:
            a, b = rng.sample(range(nqubits), 2)
            instrs.append(ins(rng.choice(two_qubit), a, b))
        else:
            instrs.append(ins(rng.choice(ONE_QUBIT), rng.randrange(nqubits)))
    return instrs


def random_perm(rng, n):
    p = list(range(n))
    rng.shuffle(p)
    return tuple(p)


def random_identity(rng, nqubits, half):
    """x + x.inverse() for a random x of `half` instructions on every qubit."""
    while True:
        instrs = random_circuit(rng, nqubits, half, two_qubit=["cx", "cz"])
        used = {q for i in instrs for q in i.qargs}
        if used == set(range(nqubits)):
            c = Circ(instrs, random_perm(rng, nqubits))
            return c + c.inverse()


def seeded(seed):
    return random.Random(seed)
