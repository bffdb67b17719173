#!/usr/bin/env python3
"""Numerical cross-check of state vectors and evaluator keys against NumPy.

1. Gate application: every built-in gate (and random dense 1- and 2-qubit
   unitaries) at every qubit placement on 1 to 5 qubits, applied with
   `StateVec *= Instr`, against the full operator built with np.kron from
   2x2 blocks (an independent construction: no index arithmetic).
2. Evaluator keys: circuits get equal keys exactly when they are equivalent
   up to global phase and qubit relabellings before and after (U1 = e^{ia}
   P U2 Q). Exhaustive over short circuits on 2 and 3 qubits, random longer
   circuits with planted equivalents on 2 to 4 qubits. Equivalence is decided
   exactly with NumPy over all (P, Q); a cheap invariant (sorted moduli of
   the entries) skips pairs that cannot be equivalent.

    PYTHONPATH=build-dev/pkg python3 dev/check_numerics.py [--quick]
"""
import argparse
import itertools
import random
import sys
import time

import numpy as np

import larkspan as L

BUILTIN = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap", "t1/2",
           "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)"]
E = [[np.array([[1, 0], [0, 0]]), np.array([[0, 1], [0, 0]])], [np.array([[0, 0], [1, 0]]), np.array([[0, 0], [0, 1]])]]


def full_operator(m, qargs, n):
    """Sum over matrix entries M[j, l] of the Kronecker product, over qubits
    n-1 .. 0, of |j_q><l_q| on argument qubits and the identity elsewhere.
    qargs[0] carries the most significant bit of the local index."""
    k = len(qargs)
    u = np.zeros((1 << n, 1 << n), dtype=complex)
    for j in range(1 << k):
        for l in range(1 << k):
            if m[j, l] == 0:
                continue
            op = np.eye(1)
            for q in range(n - 1, -1, -1):
                if q in qargs:
                    t = qargs.index(q)
                    bj, bl = (j >> (k - 1 - t)) & 1, (l >> (k - 1 - t)) & 1
                    op = np.kron(op, E[bj][bl])
                else:
                    op = np.kron(op, np.eye(2))
            u += m[j, l] * op
    return u


def amps(sv):
    return np.array([sv[i] for i in range(sv.len())], dtype=complex)


def from_np(psi):
    return L.StateVec([float(x) for x in psi.real], [float(x) for x in psi.imag])


def placements(n, k):
    return [list(p) for p in itertools.permutations(range(n), k)]


def check_application(rng, nmax):
    gates = [L.Gate.from_name(g) for g in BUILTIN]
    nprng = np.random.default_rng(rng.randrange(2**32))
    for k in (1, 2):
        for t in range(3):
            z = nprng.normal(size=(1 << k, 1 << k)) + 1j * nprng.normal(size=(1 << k, 1 << k))
            u, _ = np.linalg.qr(z)
            gates.append(L.Gate(f"haar{k}-{t}-{rng.randrange(10**9)}", [], u))
    worst, checks = 0.0, 0
    for n in range(1, nmax + 1):
        states = [np.eye(1 << n, dtype=complex)[i] for i in range(1 << n)] if n <= 3 else []
        for _ in range(3):
            v = nprng.normal(size=1 << n) + 1j * nprng.normal(size=1 << n)
            states.append(v / np.linalg.norm(v))
        for g in gates:
            for qargs in placements(n, g.nqargs):
                u = full_operator(g.matrix, qargs, n)
                for psi in states:
                    sv = from_np(psi)
                    sv *= L.Instr(g, qargs)
                    err = np.abs(amps(sv) - u @ psi).max()
                    worst = max(worst, err)
                    checks += 1
                    if err > 1e-14:
                        print(f"MISMATCH {g}{qargs} on {n} qubits: error {err}")
                        return False, checks, worst
    return True, checks, worst


# ---------------------------------------------------------------- evaluator keys


def unitary(circ, n):
    u = np.eye(1 << n, dtype=complex)
    for ins in circ:
        u = full_operator(ins.gate.matrix, list(ins.qargs), n) @ u
    return u


def perm_index(perm, n):
    """Basis index i -> index with bit perm[k] = bit k of i."""
    return np.array([sum(((i >> k) & 1) << perm[k] for k in range(n)) for i in range(1 << n)])


def equivalent(u1, u2, n, perms):
    d = 1 << n
    for p in perms:
        for q in perms:
            v = u2[np.ix_(p, q)]
            if abs(abs(np.vdot(u1, v)) - d) < 1e-9:
                return True
    return False


def invariant(u):
    return tuple(np.round(np.sort(np.abs(u).ravel()), 9))


def check_keys(circuits, n, ev):
    perms = [perm_index(p, n) for p in itertools.permutations(range(n))]
    us = [unitary(c, n) for c in circuits]
    keys = [ev.evaluate(c)[0].hash_value() for c in circuits]
    inv = [invariant(u) for u in us]
    by_inv = {}
    for i, x in enumerate(inv):
        by_inv.setdefault(x, []).append(i)
    # Classes of true equivalence, built within invariant groups only.
    cls = list(range(len(circuits)))

    def find(i):
        while cls[i] != i:
            cls[i] = cls[cls[i]]
            i = cls[i]
        return i
    for group in by_inv.values():
        reps = []
        for i in group:
            for r in reps:
                if equivalent(us[r], us[i], n, perms):
                    cls[find(i)] = find(r)
                    break
            else:
                reps.append(i)
    bad = 0
    key_of_class, class_of_key = {}, {}
    for i, c in enumerate(circuits):
        root = find(i)
        if key_of_class.setdefault(root, keys[i]) != keys[i]:
            bad += 1
            print(f"  equivalent circuits with different keys: {[str(x) for x in c]}")
        if class_of_key.setdefault(keys[i], root) != root:
            bad += 1
            print(f"  inequivalent circuits with the same key: {[str(x) for x in c]}")
    return bad, len(key_of_class)


def instructions(n, g1, g2):
    out = [L.Instr(L.Gate.from_name(g), [q]) for g in g1 for q in range(n)]
    out += [L.Instr(L.Gate.from_name(g), list(p)) for g in g2 for p in itertools.permutations(range(n), 2)]
    return out


def exhaustive(n, length, g1, g2):
    ins = instructions(n, g1, g2)
    circs = [[]]
    for k in range(1, length + 1):
        circs += [list(c) for c in itertools.product(ins, repeat=k)]
    return circs


def relabel(circ, perm):
    return [i.apply_permutation(perm) for i in circ]


def swaps_for(perm):
    cur, out = list(range(len(perm))), []
    for k in range(len(perm)):
        j = cur.index(perm[k])
        if j != k:
            cur[j], cur[k] = cur[k], cur[j]
            out.append(L.Instr(L.Gate.from_name("swap"), [j, k]))
    return out[::-1]


def sampled(rng, n, count, g1, g2):
    ins = instructions(n, g1, g2)
    phase = L.Gate("phase-check", [], np.eye(2) * np.exp(0.37j))
    circs = []
    while len(circs) < count:
        c = [rng.choice(ins) for _ in range(rng.randrange(1, 6))]
        circs.append(c)
        if rng.random() < 0.5:
            before, after = tuple(rng.sample(range(n), n)), tuple(rng.sample(range(n), n))
            v = swaps_for(before) + relabel(c, after) + swaps_for(after)
            if rng.random() < 0.5:
                v.insert(rng.randrange(len(v) + 1), L.Instr(phase, [rng.randrange(n)]))
            circs.append(v)
    return circs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--seed", type=int, default=None)
    a = ap.parse_args()
    seed = a.seed if a.seed is not None else random.SystemRandom().randrange(2**31)
    rng = random.Random(seed)
    print(f"seed {seed}")
    t0 = time.time()
    ok, checks, worst = check_application(rng, 4 if a.quick else 5)
    print(f"gate application: {checks} (gate, placement, state) checks, max |error| {worst:.2e}, "
          f"{'OK' if ok else 'FAILED'} ({time.time() - t0:.1f} s)")
    failures = 0 if ok else 1
    g1, g2 = ["h", "x", "z", "s", "t", "y", "sdg"], ["cx", "cz", "swap", "cs"]
    plans = [(2, "exhaustive", exhaustive(2, 2 if a.quick else 3, g1, g2)),
             (3, "exhaustive", exhaustive(3, 2, ["h", "x", "s", "t"], ["cx", "swap"]))]
    for n in (2, 3, 4):
        plans.append((n, "sampled", sampled(rng, n, 150 if a.quick else 600, g1 + ["rz(pi/5)", "t1/2"], g2 + ["cy"])))
    for n, kind, circs in plans:
        t0 = time.time()
        ev = L.Evaluator(n)
        bad, classes = check_keys(circs, n, ev)
        failures += bad > 0
        print(f"evaluator keys, {n} qubits, {kind}: {len(circs)} circuits in {classes} classes, "
              f"{bad} disagreements ({time.time() - t0:.1f} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
