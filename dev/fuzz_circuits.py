#!/usr/bin/env python3
"""Randomized robustness fuzzer for the circuit and search classes of larkspan.

Calls every member of Circ, IdentityCirc, RawECCs, ECC and ECCs with random
and hostile arguments (wrong types, huge and negative integers, sequences
that lie about their length or raise, objects that re-enter the receiver or
empty the container being read, malformed and deeply nested from_python
data, unknown gate names, gates of 0 and 3 qubits, user-registered gates,
evaluators of 1 to 8 qubits, searches of size 0 and 1, a sys.stdout whose
flush raises or searches again) and checks that

  * every outcome is a result or a Python exception, never a crash (workers
    run in subprocesses; a dead worker is reported with its seed so that
    `--worker SEED --trace` names the call that killed it);
  * exceptions are of the expected kinds and fatal errors carry known
    messages; no call leaks references to its arguments or leaves an access
    counter taken;
  * results agree with exact linear algebra (NumPy): permut, rotate,
    inverse, +, remove_swaps, instrs_with_swaps and the canonical forms
    transform the unitary as they should; IdentityCirc accepts identities
    and refuses everything else with the exact message; every member of a
    found class has the first member's unitary up to phase once its swaps
    are written out; generate equals search over the documented
    instruction order; progress lines, counters, text forms, hashes,
    qargs_forward/backward and pythonize agree with Python references.

    python3 dev/fuzz_circuits.py                   # 2 workers, 90 s in total
    python3 dev/fuzz_circuits.py --seconds 300 --workers 2
    python3 dev/fuzz_circuits.py --worker 123 --iterations 5000 --trace

The hostile values and the call checks come from dev/fuzz_api.py.
"""
import argparse
import collections
import collections.abc
import gc
import io
import json
import os
import random
import re
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzz_api as F  # noqa: E402

import larkspan as L  # noqa: E402

F.KNOWN_FATAL.extend(re.compile(p) for p in [
    r"Permutation length must be greater than the max qubit index\.$",
    r"range start index \d+ out of range for slice of length \d+$",
    r"Index out of bounds$",
    r"attempt to calculate the remainder with a divisor of zero$",
    r"IdentityCirc: circuit is not identity Circuit \{ .* \} \[.*\] \[.*\]$",
    r"rotate_representative: the circuit has instructions but none acts on a qubit$",
    r"Failed to deserialize Gate16 from ",
    r"index out of bounds: the len is 20 but the index is \d+ \(subcircuit selections exist",
    r"\[(\d+(, )?)*\] Identity \{ .* \}$",
    r"a \d+ Circ \{ instrs: \[.*\], perm: \(.*\) \} Identity \{ .* \}$",
    r"Only 1 and 2 qubit instructions are supported$",
    r"Permutation of length \d must hold the values 0 to \d+, got \([\d ]*\)$",
])

H, X, S, T, CX, CZ, SWAP = (L.Gate.from_name(n) for n in ("h", "x", "s", "t", "cx", "cz", "swap"))
BUILTIN = {F.BUILTIN_NAMES[i]: i for i in range(len(F.BUILTIN_NAMES))}

# ---------------------------------------------------------------- references


def raw_word(perm):
    w = len(perm) << 24
    for i, v in enumerate(perm):
        w |= v << (3 * i)
    return w


def perm_text(perm):
    return "(" + " ".join(str(v) for v in perm) + ")"


def handle(gate):
    """The registry handle of a built-in gate, None for others."""
    name = str(gate)
    return BUILTIN.get(name) if name in BUILTIN and gate == L.Gate.from_name(name) else None


def qpair(instr):
    qs = list(instr.qargs)
    return (qs + [255, 255])[:2]


def circ_hash_ref(c):
    b = bytearray(struct.pack("<I", len(c)))
    for i in c.instrs:
        hd = handle(i.gate)
        if hd is None or not i.qargs:  # no qubit shown: a second one may be hidden
            return None
        b += struct.pack("<HI", hd, 2) + bytes(qpair(i))
    b += struct.pack("<I", raw_word(c.perm))
    return F.py_hash(F.siphash13(bytes(b)))


def order_key(c):
    key = []
    for i in c.instrs:
        hd = handle(i.gate)
        if hd is None or not i.qargs:
            return None
        q0, q1 = qpair(i)
        key.append((q0, q1, hd))
    return (len(c), key, raw_word(c.perm))


MATRICES = {}


def matrix_of(gate):
    # Gate objects are made afresh by every access: key by value.
    key = (hash(gate), str(gate))
    m = MATRICES.get(key)
    if m is None:
        m = np.asarray(gate.matrix)
        MATRICES[key] = m
    return m


UNITARY = {}


def is_unitary(gate):
    key = (hash(gate), str(gate))
    if key not in UNITARY:
        m = matrix_of(gate)
        UNITARY[key] = bool(np.allclose(m.conj().T @ m, np.eye(len(m))))
    return UNITARY[key]


def simulable(instrs, n):
    """Instructions NumPy can run as unitaries (gates read back from from_python
    data by name may be any registered gate of that name, unitary or not)."""
    for i in instrs:
        qs = list(i.qargs)
        if not qs or len(set(qs)) != len(qs) or max(qs) >= n or len(qs) != i.gate.nqargs or not is_unitary(i.gate):
            return False
    return True


def apply(u, instr, n):
    qs = list(instr.qargs)
    k = len(qs)
    m = matrix_of(instr.gate).reshape([2] * (2 * k))
    t = u.reshape([2] * n + [-1])
    axes = [n - 1 - q for q in qs]
    t = np.tensordot(m, t, axes=(list(range(k, 2 * k)), axes))
    t = np.moveaxis(t, list(range(k)), axes)
    return t.reshape(2 ** n, -1)


def perm_matrix(perm, n):
    perm = list(perm) + list(range(len(perm), n))
    dim = 2 ** n
    p = np.zeros((dim, dim))
    for i in range(dim):
        p[sum(((i >> k) & 1) << perm[k] for k in range(n)), i] = 1
    return p


def unitary(instrs, perm, n):
    u = np.eye(2 ** n, dtype=complex)
    for i in instrs:
        u = apply(u, i, n)
    return perm_matrix(perm, n) @ u


def circ_unitary(c, n=None):
    n = len(c.perm) if n is None else n
    return unitary(c.instrs, c.perm, n)


def close(a, b):
    return np.allclose(a, b, atol=1e-8)


def same_up_to_phase(a, b):
    flat_a, flat_b = a.reshape(-1), b.reshape(-1)
    i = int(np.argmax(np.abs(flat_a)))
    if abs(flat_b[i]) < 1e-9:
        return False
    return np.allclose(a * (flat_b[i] / flat_a[i]), b, atol=1e-7)


def is_identity(u):
    return same_up_to_phase(np.eye(len(u)), u)


def relabel(pair, perm):
    return tuple(q if q == 255 else perm[q] for q in pair)


def inverse_perm(perm):
    inv = [0] * len(perm)
    for i, v in enumerate(perm):
        inv[v] = i
    return tuple(inv)


def slots_ref(pairs, perm, g, forward):
    """qargs_forward / qargs_backward on (q0, q1) pairs: None when a slot stays unset."""
    n = len(pairs)
    target = pairs[g]
    nslots = 0 if target[0] == 255 else (1 if target[1] == 255 else 2)
    inv = inverse_perm(perm)
    if forward:
        rot = pairs[g + 1:] + [relabel(p, inv) for p in pairs[:g + 1]]
        order = range(n)
        value = lambda p: (g + 1 + p) % n  # noqa: E731
    else:
        rot = [relabel(p, perm) for p in pairs[g:]] + pairs[:g]
        order = range(n - 1, -1, -1)
        value = lambda p: (g + p) % n  # noqa: E731
    slots = [None] * nslots
    for p in order:
        if all(s is not None for s in slots):
            break
        q0, q1 = rot[p]
        for x in ([] if q0 == 255 else [q0] + ([] if q1 == 255 else [q1])):
            if x == target[0]:
                k = 0
            elif nslots == 2 and x == target[1]:
                k = 1
            else:
                continue
            if slots[k] is None:
                slots[k] = value(p)
    return None if None in slots else slots


def generation_unordered(gates, n):
    """The placements of generate, for counting only."""
    gates = list(gates)
    for a in [g.adjoint() for g in gates]:
        if not any(a == g for g in gates):
            gates.append(a)
    return [None for g in gates for _ in range(n if g.nqargs == 1 else n * (n - 1))]


def generation_ref(gates, n):
    gates = list(gates)
    for a in [g.adjoint() for g in gates]:
        if not any(a == g for g in gates):
            gates.append(a)
    order = sorted(range(len(gates)), key=lambda k: (gates[k].nqargs, handle_order(gates[k])))
    instrs = []
    for k in order:
        g = gates[k]
        if g.nqargs == 1:
            instrs += [L.Instr(g, [q]) for q in range(n)]
        else:
            instrs += [L.Instr(g, [a, b]) for a in range(n) for b in range(n) if a != b]
    return sorted(instrs, key=lambda i: max(i.qargs))


HANDLES = {}


def handle_order(gate):
    """Gate handles rise with registration: the first Instr made of a gate
    shows its handle through the instruction order on equal qubits."""
    hd = handle(gate)
    if hd is not None:
        return hd
    key = [k for k, g in HANDLES.items() if g == gate]
    return key[0] if key else None


# ---------------------------------------------------------------- context


class Ctx(F.Ctx):
    def __init__(self, rng, trace=False, threads=False):
        super().__init__(rng, trace, threads)
        self.circs = [L.Circ([]), L.Circ([H(0), CX(0, 1)]), L.Circ([H(0)], (1, 0))]
        self.idents = [L.IdentityCirc(L.Circ([H(0), H(0)]))]
        self.raws = [L.RawECCs(L.Evaluator(1))]
        self.eccss = [self.raws[0].simplify()]
        self.evs = [L.Evaluator(1), L.Evaluator(2), L.Evaluator(3)]
        self.user_gates = []
        self.progress_checks = 0

    def circ(self):
        r = self.rng.random()
        if r < 0.3 or len(self.circs) < 4:
            c = self.random_circ()
            if c is not None:
                self.circs.append(c)
                del self.circs[:-40]
                return c
        if r < 0.4 and self.idents:
            return self.pick(self.idents).inner
        return self.pick(self.circs)

    def std_gate(self):
        pool = [H, X, S, T, CX, CZ, SWAP] + self.user_gates[-6:]
        return self.pick([g for g in pool if g.nqargs in (1, 2)])

    def instr_on(self, n):
        g = self.std_gate()
        k = g.nqargs
        if n < k:
            g, k = H, 1
        return L.Instr(g, self.rng.sample(range(n), k))

    def random_circ(self):
        rng = self.rng
        n = rng.choice([1, 2, 2, 3, 3, 4, 8])
        instrs = [self.instr_on(n) for _ in range(rng.randrange(7))]
        if rng.random() < 0.1:
            instrs.append(self.pick([CX(0, 0), self.instr_on(n), L.Instr(self.zero_gate(), [])]))
        perm = None if rng.random() < 0.3 else tuple(rng.sample(range(n), n))
        try:
            return L.Circ(instrs, perm)
        except BaseException:
            return None

    def zero_gate(self):
        return L.Gate("zero_q", [], np.array([[1j]]))

    def user_gate(self):
        rng = self.rng
        d = rng.choice([1, 2, 2, 4, 4, 8])
        z = np.random.default_rng(rng.randrange(2 ** 32)).normal(size=(d, d, 2)) @ [1, 1j]
        u, _ = np.linalg.qr(z)
        if rng.random() < 0.1:
            u = u * 2  # not unitary: a search must still end cleanly
        name = rng.choice(["u", "v", "h", "x y", "g(1)", "é"])
        g = L.Gate(name, [], u.astype(np.complex128))
        if g.nqargs in (1, 2) and np.allclose(u.conj().T @ u, np.eye(d)):
            self.user_gates.append(g)
            del self.user_gates[:-20]
        return g

    def identity(self):
        rng = self.rng
        r = rng.random()
        if r < 0.5 or not self.idents:
            c = self.circ()
            try:
                x = c + c.inverse()
                if rng.random() < 0.5 and len(x):
                    x = x.rotate(rng.randrange(-len(x), len(x) + 1))
                i = L.IdentityCirc(x)
                self.idents.append(i)
                del self.idents[:-30]
            except BaseException:
                pass
        return self.pick(self.idents)

    def any_obj(self):
        r = self.rng.random()
        if r < 0.2:
            return self.circ()
        if r < 0.3:
            return self.pick(self.idents)
        if r < 0.35:
            return self.pick(self.raws)
        if r < 0.4:
            return self.pick(self.eccss)
        return super().any_obj()

    def reentrant_action(self):
        base = super().reentrant_action()
        rng = self.rng
        c, i, raw, e = self.circ(), self.pick(self.idents), self.pick(self.raws), self.pick(self.eccss)
        acts = [
            lambda: c.representative(), lambda: c + c, lambda: hash(c), lambda: c < c,
            lambda: i.check(), lambda: setattr(i, "note", 1), lambda: i.__dict__.clear(), lambda: i.pythonize(),
            lambda: raw.simplify(), lambda: e.check(), lambda: str(e), lambda: e == e,
            lambda: self.circs.clear() or self.circs.append(L.Circ([])),
            lambda: self.raws.append(L.RawECCs.generate(self.ev(), [H], rng.randrange(3))[0]),
        ]
        act = rng.choice(acts)

        def run():
            if rng.random() < 0.5:
                return base()
            try:
                act()
                self.nested["ok"] += 1
            except RuntimeError as e:
                if str(e) not in ("Already borrowed", "Already mutably borrowed"):
                    self.finding("nested RuntimeError", repr(e))
                self.nested["borrow-conflict"] += 1
            except Exception as e:
                self.nested[type(e).__name__] += 1
            except BaseException as e:
                self.nested["fatal:" + str(e)[:40]] += 1
        return run

    def hostile_instrs(self, n=None):
        item = (lambda: self.instr_on(n)) if n else (lambda: self.pick([self.instr_on(3), self.instr()]))
        if self.rng.random() < 0.1:
            inner = item
            item = lambda: self.pick([inner(), inner(), self.gate(), 0, None, "h"])  # noqa: E731
        return self.seq_of(item, 0, 6)


# ---------------------------------------------------------------- Circ


def check_circ(ctx, c, instrs=None, perm=None, desc=""):
    """Text forms, accessors, hash and order of one Circ against references."""
    if ctx.threads:
        return
    got = c.instrs
    if instrs is not None and [hash(i) for i in got] != [hash(i) for i in instrs]:
        ctx.finding("Circ.instrs differs from the given list", desc)
    p = c.perm
    if perm is not None and p != perm:
        ctx.finding("Circ.perm differs", f"{desc}: {p} != {perm}")
    if len(c) != len(got) or c.len() != len(got) or c.is_empty() != (not got) or c.nqubits() != len(p):
        ctx.finding("Circ lengths disagree", desc)
    want = "Circuit { " + "".join(str(i) + " " for i in got) + perm_text(p) + " }"
    if str(c) != want:
        ctx.finding("Circ display", f"{str(c)!r} != {want!r}")
    want = "Circ { instrs: [" + ", ".join(str(i) for i in got) + "], perm: " + perm_text(p) + " }"
    if repr(c) != want:
        ctx.finding("Circ debug", f"{repr(c)!r} != {want!r}")
    h = circ_hash_ref(c)
    if h is not None and hash(c) != h:
        ctx.finding("Circ hash", f"{desc}: {hash(c)} != {h}")
    if got:
        k = ctx.rng.choice([0, -1, len(got), 2 ** 62, -(2 ** 63), ctx.rng.randrange(-50, 50)])
        if hash(c[k]) != hash(got[k % len(got)]):
            ctx.finding("Circ indexing", f"{desc} [{k}]")
    if [hash(i) for i in c] != [hash(i) for i in got]:
        ctx.finding("Circ iteration", desc)


def op_circ_new(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.5:
        n = rng.choice([1, 2, 3, 8])
        instrs = [ctx.instr_on(n) for _ in range(rng.randrange(6))]
        perm = rng.choice([None, tuple(rng.sample(range(n), n)), tuple(range(n + 1)) if n < 8 else None])
        if rng.random() < 0.2:
            instrs.append(H(rng.choice([7, 8, 200, 254])))
        args, kwargs = F.kwargs_for(ctx, ["instrs", "perm"], [instrs, perm] if perm is not None or rng.random() < 0.5
                                    else [instrs])
        ok, c, desc = CheckedCall(ctx, "Circ.__new__()", ["instrs", "perm"])(L.Circ, *args, **kwargs)
        if ok and args == [instrs, perm]:
            qs = [q for i in instrs for q in i.qargs]
            want = perm if perm is not None else tuple(range(max(qs) + 1 if qs else 0))
            check_circ(ctx, c, instrs, want, desc)
        elif not ok and args == [instrs, perm] and not kwargs:
            qs = [q for i in instrs for q in i.qargs]
            if perm is None and qs and max(qs) < 8 or perm is not None and (not qs or max(qs) < len(perm)):
                ctx.finding("Circ() refused a valid circuit", desc)
        if ok:
            ctx.circs.append(c)
        return
    instrs = ctx.hostile_instrs()
    perm = ctx.pick([None, ctx.hostile_perm()])
    args, kwargs = F.kwargs_for(ctx, ["instrs", "perm"], [instrs, perm])
    ok, c, _ = CheckedCall(ctx, "Circ.__new__()", ["instrs", "perm"])(L.Circ, *args, **kwargs)
    if ok:
        check_circ(ctx, c)
        ctx.circs.append(c)


def check_algebra(ctx, name, c, arg, res):
    """The unitary of a result against the receiver's."""
    if ctx.threads or not isinstance(res, L.Circ):
        return
    n = max(len(c.perm), len(res.perm), len(arg.perm) if isinstance(arg, L.Circ) else 0,
            len(arg) if isinstance(arg, tuple) else 0)
    if n > 4 or not simulable(c.instrs, n) or not simulable(res.instrs, n):
        return
    if isinstance(arg, L.Circ) and not simulable(arg.instrs, n):
        return
    ctx.stats["numpy checks"] += 1
    try:
        u = circ_unitary(c, n)
        v = circ_unitary(res, n)
    except IndexError as e:
        raise AssertionError(f"{name} {c!r} {arg!r} {res!r} {n}") from e
    if name == "permut":
        p = perm_matrix(arg, n)
        want = p @ u @ p.T
    elif name == "rotate":
        k = arg
        # The gates that moved around the cycle, as they stood before.
        moved = c.instrs[:k] if k > 0 else res.instrs[:-k]
        w = unitary(moved, (), n)
        want = w @ u @ w.conj().T if k > 0 else w.conj().T @ u @ w
    elif name == "inverse":
        want = u.conj().T
    elif name == "+":
        want = circ_unitary(arg, n) @ u
    elif name in ("remove_swaps", "_reorder_instrs", "_compact_qubits"):
        want = u
    else:
        return
    if not close(v, want):
        ctx.finding(f"Circ.{name} changes the operator", f"{c!r} arg={arg!r} -> {res!r}")


def valid_perms(ctx, res, desc):
    """Every permutation inside a result is a permutation."""
    stack = [res]
    while stack:
        x = stack.pop()
        if isinstance(x, (list, tuple)):
            stack.extend(x)
        elif isinstance(x, L.IdentityCirc):
            stack.append(x.inner)
        elif isinstance(x, L.Circ):
            p = x.perm
            if sorted(p) != list(range(len(p))):
                ctx.finding("result holds no permutation", f"{desc} -> {x!r}")


def op_circ_members(ctx):
    rng = ctx.rng
    c = ctx.circ()
    if sorted(c.perm) != list(range(len(c.perm))):
        ctx.finding("pool circuit holds no permutation", repr(c))
    name = rng.choice(["nqubits", "representative", "representative_with_perm", "rotate_representative",
                       "permut", "remove_swaps", "inverse", "rotate", "len", "is_empty", "instrs_with_swaps",
                       "_compact_qubits", "_reorder_instrs", "+", "cmp", "getitem", "hash", "getattr"])
    call = CheckedCall(ctx, f"Circ.{name}()", ["perm", "n", "idx"], receiver=c, op=name in ("+", "cmp", "getitem", "hash"))
    if name == "permut":
        if rng.random() < 0.6:
            m = rng.choice([len(c.perm), len(c.perm), rng.randrange(9)])
            p = tuple(rng.sample(range(m), m))
        else:
            p = ctx.hostile_perm()
        args, kwargs = F.kwargs_for(ctx, ["perm"], [p])
        ok, res, _ = call(c.permut, *args, **kwargs)
        plain = isinstance(p, tuple) and all(type(v) is int for v in p)
        if ok and plain and args == [p]:
            check_algebra(ctx, "permut", c, p, res)
        elif (not ok and plain and args == [p] and not kwargs and sorted(p) == list(range(len(p)))
              and sound(c) and not any(q >= len(p) for i in c.instrs for q in i.qargs)):
            ctx.finding("Circ.permut refused a permutation", f"{c!r} {p}")
    elif name == "rotate":
        k = rng.randrange(-len(c) - 1, len(c) + 2) if rng.random() < 0.7 else ctx.hostile_int()
        args, kwargs = F.kwargs_for(ctx, ["n"], [k])
        ok, res, _ = call(c.rotate, *args, **kwargs)
        if type(k) is int and args == [k] and not kwargs and sound(c):
            if ok != (abs(k) <= len(c)):
                ctx.finding("Circ.rotate range", f"{c!r} {k} ok={ok}")
            if ok:
                check_algebra(ctx, "rotate", c, k, res)
                if res.perm != c.perm:
                    ctx.finding("Circ.rotate changed the permutation", f"{c!r} {k}")
    elif name in ("inverse", "remove_swaps", "_compact_qubits", "_reorder_instrs"):
        ok, res, _ = call(getattr(c, name))
        if ok:
            check_algebra(ctx, name, c, None, res)
    elif name == "+":
        other = ctx.circ() if rng.random() < 0.8 else ctx.any_obj()
        ok, res, _ = call(lambda: c + other)
        if ok and isinstance(other, L.Circ):
            check_algebra(ctx, "+", c, other, res)
        elif ok and not isinstance(res, np.ndarray):  # NumPy reads a Circ as a sequence
            ctx.finding("Circ + non-Circ succeeded", repr(other))
    elif name == "instrs_with_swaps":
        ok, res, _ = call(c.instrs_with_swaps)
        n = len(c.perm)
        if ok and not ctx.threads and n <= 4 and simulable(c.instrs, n):
            if not close(unitary(res, (), n), circ_unitary(c)):
                ctx.finding("Circ.instrs_with_swaps changes the operator", repr(c))
    elif name in ("representative", "representative_with_perm"):
        ok, res, _ = call(getattr(c, name))
        if ok and not ctx.threads:
            check_representative(ctx, c, res if name == "representative" else res[0],
                                 None if name == "representative" else res[1])
    elif name == "rotate_representative":
        if rng.random() < 0.5:
            try:
                c = c + c.inverse()
                c = c.rotate(rng.randrange(-len(c), len(c) + 1))
            except BaseException:
                pass
        ok, res, desc = call(c.rotate_representative)
        if not ctx.threads and len(c.perm) <= 4 and simulable(c.instrs, len(c.perm)):
            ident = is_identity(circ_unitary(c))
            if ok and not ident and not lucky_acceptance(ctx, c):
                ctx.finding("rotate_representative accepted a non-identity", repr(c))
            if not ok and ident and c.instrs:
                ctx.finding("rotate_representative refused an identity", repr(c))
            if ok and not is_identity(circ_unitary(res.inner)):
                ctx.finding("rotate_representative result is no identity", f"{c!r} -> {res!r}")
            if ok:
                check_rotate_representative(ctx, c, res)
        if ok:
            ctx.idents.append(res)
    elif name == "cmp":
        other = ctx.circ() if rng.random() < 0.8 else ctx.any_obj()
        op = rng.choice(["==", "!=", "<", "<=", ">", ">="])
        ok, res, _ = call(lambda: eval(f"a {op} b", {"a": c, "b": other}))
        if isinstance(other, L.Circ) and not ctx.threads:
            ka, kb = order_key(c), order_key(other)
            if ka is not None and kb is not None:
                want = eval(f"a {op} b", {"a": ka, "b": kb})
                if not ok or res != want:
                    ctx.finding("Circ order", f"{c!r} {op} {other!r}: {res}")
    elif name == "getitem":
        k = ctx.hostile_int() if rng.random() < 0.5 else rng.randrange(-40, 40)
        ok, res, _ = call(lambda: c[k])
        if type(k) is int and -2 ** 63 <= k < 2 ** 63 and len(c) and not ctx.threads:
            if not ok or hash(res) != hash(c.instrs[k % len(c)]):
                ctx.finding("Circ indexing", f"{c!r}[{k}]")
    elif name == "hash":
        ok, res, _ = call(hash, c)
        if ok and not ctx.threads:
            check_circ(ctx, c)
    elif name == "getattr":
        call(lambda: (c.instrs, c.perm, str(c), repr(c), list(c)))
        ok, _, _ = call(setattr, c, rng.choice(["instrs", "perm", "x"]), [])
        if ok:
            ctx.finding("Circ attribute set", "")
    else:
        args = [] if rng.random() < 0.9 else [ctx.any_obj()]
        call(getattr(c, name), *args)


def sound(c):
    """Every qubit below the permutation's length (false for some from_python data)."""
    return all(q < len(c.perm) for i in c.instrs for q in i.qargs) and all(i.qargs or i.gate.nqargs == 0
                                                                           for i in c.instrs)


def check_representative(ctx, c, rep, p):
    try:
        base = c._compact_qubits().remove_swaps()
    except BaseException:
        return
    if p is not None:
        if not base.instrs:
            if p != () or rep != base:
                ctx.finding("representative_with_perm of an empty base", f"{c!r} -> {rep!r} {p}")
            return
        try:
            cand = base.permut(p)._reorder_instrs()._compact_qubits()
        except BaseException as e:
            ctx.finding("representative_with_perm perm does not apply", f"{c!r} {p}: {e}")
            return
        if cand != rep:
            ctx.finding("representative_with_perm pair disagrees", f"{c!r} -> {rep!r} {p}, {cand!r}")
        if rep != c.representative():
            ctx.finding("representative differs from representative_with_perm", repr(c))
    n = len(base.perm)
    if n <= 4 and simulable(base.instrs, n) and base.instrs and len(rep.perm) <= n:
        # Some relabelling of the base has the representative's operator.
        ctx.stats["numpy checks"] += 1
        import itertools
        u = circ_unitary(rep, n)
        b = circ_unitary(base, n)
        if not any(close(perm_matrix(q, n) @ b @ perm_matrix(q, n).T, u) for q in itertools.permutations(range(n))):
            ctx.finding("representative is no relabelling", f"{c!r} -> {rep!r}")
    if rep.instrs:
        best = order_key(rep)
        if best is not None and len(base.perm) <= 4:
            import itertools
            for q in itertools.permutations(range(len(base.perm))):
                k = order_key(base.permut(q)._reorder_instrs()._compact_qubits())
                if k is not None and k < best:
                    ctx.finding("representative is not the smallest candidate", f"{c!r} -> {rep!r} vs {q}")
                    break
                # Among relabellings giving the same circuit the smallest raw word wins.
                if p is not None and k == best and raw_word(q) < raw_word(p):
                    ctx.finding("representative_with_perm tie-break", f"{c!r} -> {p} but {q}")
                    break


def check_rotate_representative(ctx, c, res):
    """The smallest rotation starting on a gate at qubit 0, over every relabelling."""
    import itertools
    base = c._compact_qubits().remove_swaps()
    if not base.instrs or len(base.perm) > 3 or len(base) > 8:
        return
    best = None
    for q in itertools.permutations(range(len(base.perm))):
        d = base.permut(q)
        for i, ins in enumerate(d.instrs):
            if 0 in ins.qargs:
                k = order_key(d.rotate(i)._reorder_instrs()._compact_qubits())
                if k is None:
                    return
                best = k if best is None or k < best else best
    if best is not None and order_key(res.inner) != best:
        ctx.finding("rotate_representative is not the smallest candidate", f"{c!r} -> {res!r}")


# ---------------------------------------------------------------- IdentityCirc


def lucky_acceptance(ctx, c):
    """The identity check compares two states at a resolution of 1/256 per
    amplitude, so a random state close enough to an eigenvector lets a
    non-identity through now and then (a few in 10^4 on one qubit). Such an
    acceptance is counted, not reported, when the next checks refuse it."""
    for _ in range(3):
        try:
            L.IdentityCirc(c)
        except BaseException:
            ctx.stats["lucky identity acceptances"] += 1
            return True
    return False


ID_PREFIX = "IdentityCirc: circuit is not identity "


def op_identity_new(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.4:
        c = ctx.circ()
        try:
            c = c + c.inverse() if rng.random() < 0.5 else c
            if rng.random() < 0.3 and len(c):
                c = c.rotate(rng.randrange(-len(c), len(c) + 1))
            if rng.random() < 0.2 and len(c):
                c = L.Circ(c.instrs[:-1] + [ctx.instr_on(len(c.perm))] if len(c.perm) else c.instrs, c.perm)
        except BaseException:
            return
    elif r < 0.9:
        c = ctx.circ()
    else:
        c = ctx.any_obj()
    args, kwargs = F.kwargs_for(ctx, ["circuit"], [c])
    ok, res, desc = CheckedCall(ctx, "IdentityCirc.__new__()", ["circuit"])(L.IdentityCirc, *args, **kwargs)
    if isinstance(c, L.Circ) and args == [c] and not kwargs and not ctx.threads:
        n = len(c.perm)
        if n <= 5 and simulable(c.instrs, n):
            ctx.stats["numpy checks"] += 1
            ident = is_identity(circ_unitary(c))
            if ok and not ident and not lucky_acceptance(ctx, c):
                ctx.finding("IdentityCirc accepted a non-identity", repr(c))
            if not ok and ident:
                ctx.finding("IdentityCirc refused an identity", repr(c))
            if not ok and not ident:
                try:
                    L.IdentityCirc(c)
                except BaseException as e:
                    msg = str(e)
                    if not msg.startswith(ID_PREFIX + str(c) + " [") or not msg.endswith("]") or "] [" not in msg:
                        ctx.finding("IdentityCirc refusal message", f"{msg!r}")
        if ok and res.inner != c:
            ctx.finding("IdentityCirc changed its circuit", repr(c))
    if ok:
        ctx.idents.append(res)


def check_slots(ctx, i, g, forward, ok, res):
    c = i.inner
    pairs = [tuple(qpair(x)) for x in c.instrs]
    perm = c.perm
    if type(g) is not int:
        return
    if g < 0 or g >= len(pairs):
        if ok:
            ctx.finding("qargs slots out of range succeeded", f"{i!r} {g}")
        return
    if any(q != 255 and q >= len(perm) for p in pairs for q in p):
        return  # a broken invariant (from_python data): any fatal error will do
    want = slots_ref(pairs, perm, g, forward)
    if want is None:
        if ok:
            ctx.finding("qargs slots: unset slot not reported", f"{i!r} {g}")
        return
    if not ok or res != want:
        ctx.finding("qargs slots", f"{i!r} g={g} forward={forward}: {res} != {want}")


def op_identity_members(ctx):
    rng = ctx.rng
    i = ctx.identity() if rng.random() < 0.8 else ctx.pick(ctx.idents)
    name = rng.choice(["nqubits", "qargs_forward", "qargs_backward", "check", "hash_value", "pythonize",
                       "inner", "text", "len", "getitem", "cmp", "dict", "_subcircuit", "_split",
                       "_subcircuit_splits", "_combinations"])
    call = CheckedCall(ctx, f"IdentityCirc.{name}()", ["gate_id", "selection", "n", "idx"], receiver=i,
                  op=name in ("getitem", "cmp", "dict", "text"))
    if name in ("qargs_forward", "qargs_backward"):
        g = rng.randrange(len(i) + 2) if rng.random() < 0.7 else ctx.hostile_int()
        args, kwargs = F.kwargs_for(ctx, ["gate_id"], [g])
        ok, res, _ = call(getattr(i, name), *args, **kwargs)
        if args == [g] and not kwargs and not ctx.threads:
            check_slots(ctx, i, g, name == "qargs_forward", ok, res)
    elif name == "check":
        ok, res, _ = call(i.check)
        c = i.inner
        if not ctx.threads and len(c.perm) <= 5 and simulable(c.instrs, len(c.perm)):
            if ok != is_identity(circ_unitary(c)) and not (ok and lucky_acceptance(ctx, c)):
                ctx.finding("IdentityCirc.check", f"{i!r}: {ok}")
    elif name == "hash_value":
        ok, res, _ = call(i.hash_value)
        want = circ_hash_ref(i.inner)
        if ok and want is not None and (F.py_hash(res) != want or not 0 <= res < 2 ** 64 or hash(i) != want):
            ctx.finding("IdentityCirc.hash_value", f"{i!r}: {res}")
    elif name == "pythonize":
        ok, res, _ = call(i.pythonize)
        if ok and not ctx.threads:
            c = i.inner
            want = {"instrs": [(str(x.gate), tuple(qpair(x))) for x in c.instrs], "perm": {"raw": raw_word(c.perm)}}
            # An absent first qubit hides a second one from Instr.qargs.
            hidden = [k for k, x in enumerate(c.instrs) if not x.qargs]
            for k in hidden:
                want["instrs"][k] = (want["instrs"][k][0], res["instrs"][k][1])
            if res != want or list(res) != ["instrs", "perm"]:
                ctx.finding("IdentityCirc.pythonize", f"{res!r} != {want!r}")
            try:
                back = L.IdentityCirc.from_python(res)
            except BaseException as e:
                ctx.finding("from_python(pythonize()) failed", f"{i!r}: {e!r}")
            else:
                if back != i and all(handle(x.gate) is not None for x in c.instrs):
                    ctx.finding("from_python(pythonize()) differs", f"{i!r} -> {back!r}")
    elif name == "text":
        ok, res, _ = call(lambda: (str(i), repr(i)))
        if ok and not ctx.threads:
            c = i.inner
            if res[0] != "Identity" + str(c)[len("Circuit"):] or res[1] != f"IdentityCirc({c!r})":
                ctx.finding("IdentityCirc text forms", f"{res}")
    elif name == "getitem":
        k = ctx.hostile_int() if rng.random() < 0.5 else rng.randrange(-40, 40)
        ok, res, _ = call(lambda: i[k])
        if type(k) is int and -2 ** 63 <= k < 2 ** 63 and len(i) and (not ok or hash(res) != hash(i.inner.instrs[k % len(i)])):
            ctx.finding("IdentityCirc indexing", f"{i!r}[{k}]")
    elif name == "cmp":
        other = ctx.pick(ctx.idents) if rng.random() < 0.8 else ctx.any_obj()
        op = rng.choice(["==", "!=", "<", "<=", ">", ">="])
        ok, res, _ = call(lambda: eval(f"a {op} b", {"a": i, "b": other}))
        if isinstance(other, L.IdentityCirc) and not ctx.threads:
            ka, kb = order_key(i.inner), order_key(other.inner)
            if ka is not None and kb is not None and (not ok or res != eval(f"a {op} b", {"a": ka, "b": kb})):
                ctx.finding("IdentityCirc order", f"{i!r} {op} {other!r}")
    elif name == "dict":
        # Stored attributes keep their values: no reference accounting here.
        k, v = rng.choice(["note", "x", "__dict__"]), rng.choice([1, {}, {"a": i}, None])
        CheckedCall(ctx, "IdentityCirc attributes", [], op=True)(lambda: setattr(i, k, v))
        CheckedCall(ctx, "IdentityCirc attributes", [], op=True)(lambda: i.__dict__.update(self_ref=i))
    elif name in ("_subcircuit", "_split"):
        sel = rng.sample(range(len(i)), rng.randrange(len(i) + 1)) if rng.random() < 0.7 else ctx.hostile_u8_list()
        ok, res, _ = call(getattr(i, name), sel)
        if ok and name == "_split" and res is not None and not ctx.threads:
            check_split(ctx, i, res)
    elif name == "_subcircuit_splits":
        if len(i) > 14:
            return
        ok, res, _ = call(i._subcircuit_splits)
        if ok and not ctx.threads:
            for s in res[:5]:
                check_split(ctx, i, s)
    elif name == "_combinations":
        k = rng.randrange(22) if rng.random() < 0.7 else ctx.hostile_int()
        call(L.IdentityCirc._combinations, k)
    else:
        args = [] if rng.random() < 0.9 else [ctx.any_obj()]
        call(lambda: getattr(i, name)(*args) if name not in ("inner", "len") else
             (i.inner if name == "inner" else len(i)))


def check_split(ctx, i, s):
    a, b = s
    n = len(i.inner.perm)
    if n > 4 or not simulable(a.instrs + b.instrs, n):
        return
    ctx.stats["numpy checks"] += 1
    if is_identity(circ_unitary(i.inner, n)) and not is_identity(circ_unitary(a + b, n)):
        ctx.finding("split is no identity", f"{i!r} -> {a!r} {b!r}; the identity itself: "
                    f"{is_identity(circ_unitary(i.inner, n))} {[matrix_of(x.gate).tolist() for x in i.inner.instrs]}")


# ---------------------------------------------------------------- from_python


def deep(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x


class Mapping(collections.abc.Mapping):
    """A mapping that is not a dict, optionally hostile."""

    def __init__(self, items, exc=None):
        self._items, self.exc = items, exc

    def __iter__(self):
        return iter([k for k, _ in self._items])

    def items(self):
        if self.exc:
            raise F.fresh(self.exc)
        return list(self._items)

    def __getitem__(self, k):
        return dict(self._items)[k]

    def __len__(self):
        return len(self._items)


def mutate(ctx, obj, depth=0):
    """A random malformed variant of a pythonize() form."""
    rng = ctx.rng
    if depth > 6:
        return obj
    r = rng.random()
    if r < 0.45:
        if isinstance(obj, dict):
            obj = dict(obj)
            if obj and rng.random() < 0.7:
                k = rng.choice(list(obj))
                obj[k] = mutate(ctx, obj[k], depth + 1)
            return obj
        if isinstance(obj, (list, tuple)):
            obj = list(obj)
            if obj:
                k = rng.randrange(len(obj))
                obj[k] = mutate(ctx, obj[k], depth + 1)
            return obj if rng.random() < 0.5 else tuple(obj)
        return obj
    if r < 0.5:
        return None
    if r < 0.55:
        return deep(rng.choice([10, 500]))
    if r < 0.6:
        return rng.choice(["", "h", "nosuchgate", "h\x00", "\ud800", "rz(pi/3)", "x" * 10000, "zero_q", "é"])
    if r < 0.7:
        return ctx.hostile_int()
    if r < 0.75:
        return rng.choice([1.5, b"h", bytearray(b"\x00"), 1j, object(), {1: 2}, set(), range(3), "ab"])
    if r < 0.82:
        return ctx.seq_of(lambda: mutate(ctx, obj, depth + 1), 0, 3)
    if r < 0.86 and isinstance(obj, dict):
        return Mapping(list(obj.items()), exc=rng.choice([None, F.Boom("items"), TypeError("items")]))
    if r < 0.9 and isinstance(obj, dict):
        d = dict(obj)
        d[rng.choice([1, None, (1,), "extra", "\ud800"])] = 0
        return d
    if r < 0.95 and isinstance(obj, dict) and obj:
        d = dict(obj)
        del d[rng.choice(list(d))]
        return d
    return obj


class CheckedCall(F.Call):
    def __call__(self, fn, /, *args, **kwargs):
        ok, value, desc = super().__call__(fn, *args, **kwargs)
        if ok:
            valid_perms(self.ctx, value, desc)
        return ok, value, desc


F_Call = F.Call


class FromPythonCall(CheckedCall):
    def classify(self, e, desc):
        if type(e) is Exception and re.fullmatch(r"missing field `(instrs|perm|raw)`", str(e)):
            return "Exception"
        return super().classify(e, desc)


def op_from_python(ctx):
    rng = ctx.rng
    i = ctx.pick(ctx.idents)
    try:
        base = i.pythonize()
    except BaseException:
        return
    r = rng.random()
    if r < 0.2:
        # Valid shapes, hostile contents: raw words, qubits beyond the permutation, unknown gates.
        n = rng.randrange(10)
        instrs = [(rng.choice(F.BUILTIN_NAMES + ["zero_q", "nosuch"] + [str(g) for g in ctx.user_gates[-3:]]),
                   (rng.choice([0, 1, 2, 7, 8, 254, 255]), rng.choice([0, 1, 3, 255])))
                  for _ in range(rng.randrange(8))]
        raw = rng.choice([raw_word(tuple(rng.sample(range(n), n))), rng.randrange(2 ** 32), 0, 1 << 24])
        obj = {"instrs": instrs, "perm": {"raw": raw}}
    elif r < 0.3:
        data = list(base["instrs"]) * rng.randrange(1, 4)

        class Emptier:
            def __index__(self):
                data.clear()
                gc.collect()
                return 0
        if data:
            k = rng.randrange(len(data))
            data[k] = (data[k][0], (Emptier(), 255))
        obj = {"instrs": data, "perm": base["perm"]}
    else:
        obj = mutate(ctx, base)
    # The converter's own TypeErrors name no argument: from_python takes any object.
    ok, res, _ = FromPythonCall(ctx, "IdentityCirc.from_python()", ["obj"], op=True)(L.IdentityCirc.from_python, obj)
    if ok:
        ctx.idents.append(res)
        # Unchecked data: every member must still end in a result or an exception.
        for name in ("check", "nqubits", "hash_value", "pythonize", "_subcircuit_splits"):
            CheckedCall(ctx, f"IdentityCirc.{name}() of from_python data", [], receiver=res)(getattr(res, name))
        for g in range(min(len(res), 3)):
            CheckedCall(ctx, "IdentityCirc.qargs_forward() of from_python data", ["gate_id"], receiver=res)(
                res.qargs_forward, g)
            CheckedCall(ctx, "IdentityCirc.qargs_backward() of from_python data", ["gate_id"], receiver=res)(
                res.qargs_backward, g)
        inner = res.inner
        for name in ("representative", "representative_with_perm", "rotate_representative", "inverse",
                     "remove_swaps", "instrs_with_swaps", "_compact_qubits"):
            CheckedCall(ctx, f"Circ.{name}() of from_python data", [], receiver=inner)(getattr(inner, name))
        CheckedCall(ctx, "Circ ops of from_python data", [], receiver=inner, op=True)(
            lambda: (inner + inner, inner.rotate(len(inner) // 2), inner.permut(tuple(range(len(inner.perm)))),
                     str(inner), hash(inner)))


# ---------------------------------------------------------------- searches


class Stdout(io.TextIOBase):
    """A sys.stdout replacement whose flush misbehaves."""

    def __init__(self, action):
        self.action = action

    def write(self, s):
        return len(s)

    def flush(self):
        self.action()


PROGRESS = re.compile(r"#(\d+) Exploring (.*) \((\d+) queued, (\d+) ECCs, (\d+) circs, (\d+) circs perm\)")


def search_gates(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.1:
        return []
    if r < 0.2:
        return [ctx.user_gate() for _ in range(rng.randrange(1, 3))]
    pool = [H, X, S, T, CX, CZ, SWAP, L.Gate.from_name("rz(pi/5)")] + ctx.user_gates[-4:]
    gates = rng.sample(pool, rng.randrange(1, 4))
    if rng.random() < 0.1:
        gates.append(rng.choice(gates))
    if rng.random() < 0.05:
        gates.append(ctx.zero_gate())
    return gates


def op_search(ctx):
    rng = ctx.rng
    n = rng.choice([1, 1, 2, 2, 3, 4, 8])
    ev = L.Evaluator(n)
    gates = search_gates(ctx)
    generate = rng.random() < 0.6
    naive = rng.random() < 0.3
    if generate:
        fn = L.RawECCs.generate_naive if naive else L.RawECCs.generate
        listed = gates
    else:
        fn = L.RawECCs.search_naive if naive else L.RawECCs.search
        listed = [ctx.instr_on(n) for _ in range(rng.randrange(5))] if rng.random() < 0.8 else \
            [L.Instr(g, rng.sample(range(n), g.nqargs)) for g in gates if g.nqargs <= min(n, 2)]
        if rng.random() < 0.1:
            # Instructions the evaluator cannot run: qubits beyond it, a repeated qubit, no qubit.
            listed.insert(rng.randrange(len(listed) + 1),
                          rng.choice([ctx.instr_on(n + 1), ctx.instr(), CX(0, 0), L.Instr(ctx.zero_gate(), [])]))
    width = max(1, len(listed) * (n if generate else 1) * (n if generate and any(g.nqargs == 2 for g in gates) else 1))
    cap = 1 if n >= 8 or width > 60 else (2 if width > 12 else 4)
    max_size = rng.randrange(cap + 1)
    if rng.random() < 0.04:
        # Large enough for the search's helper threads to start.
        n, generate, fn = rng.choice([1, 2]), True, (L.RawECCs.generate_naive if naive else L.RawECCs.generate)
        ev, listed = L.Evaluator(n), ([H, T] if n == 1 else [H, S, T, CX])
        max_size = 18 if n == 1 else 5
    hostile = rng.random() < 0.15
    if hostile:
        listed = ctx.seq_of(lambda: ctx.pick(listed) if listed else ctx.any_obj(), 0, 4)
        # Hostile sizes, but none that would make the search large.
        max_size = ctx.pick([max_size, -1, 2 ** 64, 2 ** 100, -(2 ** 70), "3", None, 1.5, True,
                             F.HIndex("int", cap), F.HIndex("int", exc=F.Boom("index")),
                             F.HIndex("int", value=1.5), F.HIndex("int", cap, action=ctx.reentrant_action())])
        ev = ctx.pick([ev, ev, ctx.any_obj()])
    ctx.sink.reset()
    old = sys.stdout
    replaced = rng.random() < 0.1
    if replaced:
        acts = [lambda: None, lambda: (_ for _ in ()).throw(F.Boom("flush")),
                lambda: (_ for _ in ()).throw(ValueError("closed")), ctx.reentrant_action(),
                lambda: L.RawECCs.search(L.Evaluator(1), [H(0)], 1)]
        sys.stdout = Stdout(rng.choice(acts))
    try:
        args, kwargs = F.kwargs_for(ctx, ["evaluator", "gates" if generate else "instrs", "max_size"],
                                    [ev, listed, max_size])
        ok, res, desc = CheckedCall(ctx, f"RawECCs.{fn.__name__}()",
                               ["evaluator", "gates" if generate else "instrs", "max_size"])(fn, *args, **kwargs)
    finally:
        sys.stdout = old
    if not ok:
        return
    raw, counters = res
    ctx.raws.append(raw)
    del ctx.raws[:-10]
    if hostile or args != [ev, listed, max_size] or ctx.threads:
        return
    check_search(ctx, ev, fn, generate, naive, listed, max_size, raw, counters, n, not replaced)


def check_search(ctx, ev, fn, generate, naive, listed, max_size, raw, counters, n, lines_are_ours):
    desc = f"{fn.__name__}(Evaluator({n}), {[str(x) for x in listed]}, {max_size})"
    known = all(handle_order(g) is not None for g in listed) if generate else True
    instrs = (generation_ref(listed, n) if known else generation_unordered(listed, n)) if generate else listed
    m = len(instrs)
    if counters[1] != counters[0] * m or counters[2] < counters[1] or (naive and counters[2] != counters[1]):
        ctx.finding("search counters", f"{desc}: {counters}")
    if max_size <= 1 and counters[0] != 1:
        ctx.finding("search extended more than the empty circuit", f"{desc}: {counters}")
    eccs = raw.simplify()
    ctx.eccss.append(eccs)
    del ctx.eccss[:-10]
    # Progress lines: one per 400 extended circuits, the first for the empty circuit.
    lines = ctx.sink.getvalue().splitlines() if lines_are_ours else []
    want = (counters[0] + 399) // 400 if lines_are_ours else 0
    if len(lines) != want or (lines and lines[0] != "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)"):
        ctx.finding("progress lines", f"{desc}: {len(lines)} lines, want {want}: {lines[:2]}")
    for k, line in enumerate(lines):
        mm = PROGRESS.fullmatch(line)
        if not mm or int(mm.group(1)) != 400 * k or int(mm.group(5)) != 400 * k * m:
            ctx.finding("progress line format", f"{desc}: {line!r}")
            break
    if generate:
        # generate is search over the documented instruction order.
        if known:
            try:
                raw2, c2 = (L.RawECCs.search_naive if naive else L.RawECCs.search)(ev, instrs, max_size)
                if c2 != counters or raw2.simplify() != eccs:
                    ctx.finding("generate differs from search over the placed gates", desc)
            except BaseException as e:
                ctx.finding("search over generate's instructions failed", f"{desc}: {e!r}")
    gate_list = listed if generate else [i.gate for i in instrs]
    unitary_gates = all(np.allclose(matrix_of(g).conj().T @ matrix_of(g), np.eye(len(matrix_of(g)))) for g in gate_list)
    if not unitary_gates:
        return
    if eccs.check() != []:
        ctx.finding("ECCs.check fails generated classes", desc)
    if n > 3:
        return
    for ecc in eccs.to_list()[:60]:
        circuits = ecc.circuits()
        used = sorted({q for i in circuits[0] for q in i.qargs})
        if used != list(range(len(used))):
            ctx.finding("first member not relabelled onto the lowest qubits", f"{desc}: {ecc}")
        first = unitary(circuits[0], (), n)
        ctx.stats["numpy checks"] += 1
        for c in circuits[1:]:
            if not same_up_to_phase(first, unitary(c, (), n)):
                ctx.finding("ECC member differs from the first", f"{desc}: {ecc}")
                break


def op_raw(ctx):
    rng = ctx.rng
    if rng.random() < 0.5:
        ev = ctx.pick([ctx.ev(), ctx.ev(), L.Evaluator(rng.choice([1, 5, 6, 8])), ctx.any_obj()])
        args, kwargs = F.kwargs_for(ctx, ["evaluator"], [ev])
        ok, raw, _ = CheckedCall(ctx, "RawECCs.__new__()", ["evaluator"])(L.RawECCs, *args, **kwargs)
        if ok:
            ctx.raws.append(raw)
            if args == [ev] and not kwargs:
                eccs = raw.simplify()
                root = eccs.to_list()
                if len(eccs) != 1 or eccs.nqubits != ev.nqubits() or root[0].circuits() != [[]]:
                    ctx.finding("new RawECCs is not the empty circuit's class", repr(ev))
        return
    raw = ctx.pick(ctx.raws)
    args = [] if rng.random() < 0.9 else [ctx.any_obj()]
    ok, eccs, _ = CheckedCall(ctx, "RawECCs.simplify()", [], receiver=raw)(raw.simplify, *args)
    if ok:
        ctx.eccss.append(eccs)
        del ctx.eccss[:-10]
        if not ctx.threads and eccs != raw.simplify():
            ctx.finding("RawECCs.simplify is not deterministic", "")


# ---------------------------------------------------------------- ECC / ECCs


def op_eccs(ctx):
    rng = ctx.rng
    e = ctx.pick(ctx.eccss)
    name = rng.choice(["check", "to_list", "filter_single", "nqubits", "len", "str", "cmp", "ecc"])
    call = CheckedCall(ctx, f"ECCs.{name}()", [], receiver=e, op=name in ("len", "str", "cmp"))
    if name in ("check", "to_list", "filter_single"):
        args = [] if rng.random() < 0.9 else [ctx.any_obj()]
        ok, res, _ = call(getattr(e, name), *args)
        if ok and name == "filter_single" and not ctx.threads:
            want = [x for x in e.to_list() if len(x.circuits()) > 1]
            if res.to_list() != want or res.nqubits != e.nqubits:
                ctx.finding("ECCs.filter_single", "")
    elif name == "str":
        ok, res, _ = call(str, e)
        if ok and not ctx.threads:
            want = " & ".join(str(x) for x in e.to_list() if len(x.circuits()) >= 2)
            if res != want:
                ctx.finding("ECCs display", f"{res!r:.200} != {want!r:.200}")
    elif name == "cmp":
        other = ctx.pick(ctx.eccss) if rng.random() < 0.7 else ctx.any_obj()
        op = rng.choice(["==", "!=", "<"])
        ok, res, _ = call(lambda: eval(f"a {op} b", {"a": e, "b": other}))
        if op == "<" and ok:
            ctx.finding("ECCs ordering succeeded", "")
    elif name == "ecc":
        eccs = e.to_list()
        if not eccs:
            return
        x = rng.choice(eccs)
        ok, circuits, _ = CheckedCall(ctx, "ECC.circuits()", [], receiver=x)(x.circuits)
        ok2, text, _ = CheckedCall(ctx, "ECC.__str__", [], receiver=x, op=True)(str, x)
        if ok and ok2 and not ctx.threads:
            want = "ECC {\n" + "".join("\t" + " ".join(str(i) for i in c) + ",\n" for c in circuits) + "}"
            if text != want:
                ctx.finding("ECC display", f"{text!r} != {want!r}")
        other = rng.choice(eccs + [ctx.any_obj()])
        CheckedCall(ctx, "ECC ==", [], receiver=x, op=True)(lambda: (x == other, x != other))
        CheckedCall(ctx, "ECC <", [], receiver=x, op=True)(lambda: x < other)
    else:
        call(lambda: (e.nqubits, len(e)))
        call(setattr, e, "nqubits", 3)
        call(delattr, e, "nqubits")


def op_misuse(ctx):
    F.misuse(ctx, [L.Circ, L.IdentityCirc, L.RawECCs, L.ECC, L.ECCs],
             ("__getitem__", "__add__", "__hash__", "__str__", "__repr__", "__eq__", "__lt__", "__len__", "__iter__",
              "__new__", "__init__"), CheckedCall)


def borrow_free(o):
    t = type(o).__name__
    if t in ("Circ", "IdentityCirc", "ECC", "ECCs"):
        str(o)
    elif t == "RawECCs":
        o.simplify()
    else:
        ORIGINAL_BORROW_FREE(o)


ORIGINAL_BORROW_FREE = F.borrow_free
F.borrow_free = borrow_free

OPS = [(op_circ_new, 6), (op_circ_members, 16), (op_identity_new, 6), (op_identity_members, 12),
       (op_from_python, 8), (op_search, 5), (op_raw, 2), (op_eccs, 5), (op_misuse, 2)]


def worker(seed, iterations, seconds, trace):
    import warnings
    warnings.simplefilter("ignore")
    rng = random.Random(seed)
    ctx = Ctx(rng, trace, False)
    # Native progress lines go to file descriptor 1: send it to a file that
    # is read back after each search; the RESULT line goes to the real one.
    real_stdout = os.dup(1)
    fd, ctx.sink_path = tempfile.mkstemp(prefix="fuzz_circuits_")
    os.dup2(fd, 1)
    os.close(fd)
    ctx.sink = Sink(ctx.sink_path)
    ops, weights = zip(*OPS)
    deadline = time.time() + seconds
    t0 = time.time()
    for k in range(iterations):
        F.run_op(ctx, rng.choices(ops, weights)[0])
        if time.time() > deadline:
            break
    sys.stdout.flush()
    os.dup2(real_stdout, 1)
    os.unlink(ctx.sink_path)
    rss_kb = int(open("/proc/self/status").read().split("VmRSS:")[1].split()[0])
    out = {"seed": seed, "seconds": round(time.time() - t0, 1), "calls": ctx.stats["calls"],
           "numpy": ctx.stats["numpy checks"], "lucky": ctx.stats["lucky identity acceptances"], "findings": ctx.findings, "nested": dict(ctx.nested),
           "rss_mb": rss_kb // 1024,
           "outcomes": dict(collections.Counter(k.rsplit(":", 1)[1] for k in ctx.stats if ":" in k
                                                for _ in range(ctx.stats[k]))),
           "members": sorted({k.rsplit(":", 1)[0] for k in ctx.stats if ":" in k}),
           "fatal": dict(ctx.fatal_msgs.most_common(40))}
    print("RESULT " + json.dumps(out), flush=True)


class Sink:
    """File descriptor 1's file: truncated before each search, read after."""

    def __init__(self, path):
        self.path = path

    def reset(self):
        sys.stdout.flush()
        os.ftruncate(1, 0)
        os.lseek(1, 0, os.SEEK_SET)

    def getvalue(self):
        with open(self.path) as f:
            return f.read()


# ---------------------------------------------------------------- driver


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    F.add_driver_arguments(ap)
    a = ap.parse_args()
    if a.worker is not None:
        worker(a.worker, a.iterations, a.seconds, a.trace)
        return 0
    return F.drive(a, __file__, extra_summary=lambda results: (
        f"NumPy cross-checks: {sum(r['numpy'] for r in results)} "
        f"(non-identities let through by the randomized check: {sum(r['lucky'] for r in results)}), "))


if __name__ == "__main__":
    sys.exit(main())
