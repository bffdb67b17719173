#!/usr/bin/env python3
"""Randomized robustness fuzzer for the value classes of larkspan.

Calls every member of Gate, Instr, Argument, Instruction, StateVec and
Evaluator with random and hostile arguments (wrong types, huge and negative
integers, lying or raising sequences, NaN/inf, deep parameter expressions,
objects that re-enter the receiver while being converted, the same object
passed twice) and checks that

  * every outcome is a result or a Python exception, never a crash
    (workers run in subprocesses; a dead worker is re-run with tracing to
    name the call that killed it);
  * exceptions are of the documented kinds, TypeErrors carry the member's or
    the parameter's name, fatal errors carry a known message (an unknown one
    means an unplanned native path such as a std::length_error);
  * no call leaves an access counter taken, no failed call changes its
    receiver, and no call leaks references to its arguments;
  * results agree with pure-Python references: Instr mask/relabel methods,
    the SipHash-1-3 based hashes, StateVec text/hash/check/normalisation and
    gate application (against NumPy), and Gate.params_f of random
    expressions generated from the grammar with known values.

    python3 dev/fuzz_api.py                       # 2 workers, 90 s in total
    python3 dev/fuzz_api.py --seconds 300 --workers 2 --threads
    python3 dev/fuzz_api.py --worker 123 --iterations 5000 --trace

Run it against a sanitizer build by pointing PYTHONPATH at that build's
package and preloading the sanitizer runtimes (see dev/fuzz_asan.sh).
"""
import argparse
import collections
import gc
import json
import math
import os
import random
import re
import struct
import subprocess
import sys
import threading
import time
import traceback

import numpy as np

import larkspan as L

FatalError = None  # set on first fatal error seen (the class is not exported)

# ---------------------------------------------------------------- references


def siphash13(data):
    M = 0xFFFFFFFFFFFFFFFF

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & M

    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & M; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & M; v[3] = rotl(v[3], 16); v[3] ^= v[2]
        v[0] = (v[0] + v[3]) & M; v[3] = rotl(v[3], 21); v[3] ^= v[0]
        v[2] = (v[2] + v[1]) & M; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32)

    n = len(data)
    end = n - n % 8
    for i in range(0, end, 8):
        m = int.from_bytes(data[i:i + 8], "little")
        v[3] ^= m; rnd(); v[0] ^= m
    b = ((n & 0xFF) << 56) | int.from_bytes(data[end:], "little")
    v[3] ^= b; rnd(); v[0] ^= b
    v[2] ^= 0xFF
    rnd(); rnd(); rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def py_hash(h):
    h = h - (1 << 64) if h >= 1 << 63 else h
    return -2 if h == -1 else h


def qgrid(x):
    """The quantised form: round(x * 2^24) half away from zero, saturated."""
    y = x * 16777216.0
    if y != y:
        return 0
    if y >= 9223372036854775808.0:
        return (1 << 63) - 1
    if y <= -9223372036854775808.0:
        return -(1 << 63)
    a = abs(y)
    f = math.floor(a)
    r = int(f) + (1 if a - f >= 0.5 else 0)
    return r if y >= 0 else -r


def sv_hash_ref(re_, im_):
    b = bytearray(struct.pack("<I", len(re_)))
    for x in re_:
        b += struct.pack("<q", qgrid(x))
    b += struct.pack("<I", len(im_))
    for x in im_:
        b += struct.pack("<q", qgrid(x))
    return siphash13(bytes(b))


def fmt4(x):
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.4f}"


def sv_str_ref(re_, im_):
    eps = 2.0 ** -24
    items = []
    for r, i in zip(re_, im_):
        if abs(i) < eps:
            items.append(fmt4(r))
        elif abs(r) < eps:
            items.append(fmt4(i) + "j")
        else:
            s = fmt4(i)
            items.append(fmt4(r) + ("" if s.startswith("-") else "+") + s + "j")
    return "[" + ", ".join(items) + "]"


def sv_check_ref(re_, im_):
    if not re_:
        return False
    s = 0.0
    for r, i in zip(re_, im_):
        s += r * r + i * i
    return abs(s - 1.0) < 2.0 ** -24


def near_zero(x):
    return abs(x) < 2.0 ** -24


def normalize_arg_ref(re_, im_):
    n = len(re_)
    if not (near_zero(re_[0]) and near_zero(im_[0])):
        zr, zi = re_[0], im_[0]
    elif not (near_zero(re_[-1]) and near_zero(im_[-1])):
        zr, zi = re_[-1], im_[-1]
    else:
        sr = si = 0.0
        for k in range(n):
            sr += re_[k]
            si += im_[k]
        a = math.sqrt(sr * sr + si * si)
        if a == 0.0:
            return None  # an implementation choice: not compared
        zr, zi = sr / a, si / a
    m = zr * zr + zi * zi
    sq = math.sqrt(m)
    fr, fi = (zr / m) * sq, (-zi / m) * sq
    out_re = [fr * r - fi * i for r, i in zip(re_, im_)]
    out_im = [fr * i + fi * r for r, i in zip(re_, im_)]
    out_im[0] = 0.0
    return out_re, out_im


def normalize_ref(re_, im_):
    s = 0.0
    for r, i in zip(re_, im_):
        s += r * r + i * i
    if not (2.2250738585072014e-308 <= s <= 1.7976931348623157e308):
        return None  # degenerate norms: an implementation choice
    r = math.sqrt(s)
    return normalize_arg_ref([x / r for x in re_], [x / r for x in im_])


def same_bits(a, b):
    return len(a) == len(b) and all(struct.pack("<d", x) == struct.pack("<d", y) for x, y in zip(a, b))


def apply_ref(psi, m, qargs):
    k = len(qargs)
    mask = sum(1 << q for q in qargs)
    out = np.zeros_like(psi)
    for i, a in enumerate(psi):
        col = sum(((i >> q) & 1) << (k - 1 - t) for t, q in enumerate(qargs))
        for row in range(1 << k):
            j = (i & ~mask) | sum(((row >> (k - 1 - t)) & 1) << q for t, q in enumerate(qargs))
            out[j] += m[row, col] * a
    return out


# Instr reference (the packed instruction as (qubits, mask arithmetic)).
def arg_mask_ref(qs):
    m = 0
    for q in qs:
        m |= 1 << (q % 8)
    return m


def pass_mask_ref(qs, mask):
    for q in qs:
        if mask >> (q % 8) & 1:
            continue
        lowest = 0
        while lowest < 8 and mask >> lowest & 1:
            lowest += 1
        if q != lowest:
            return None
        mask |= 1 << q
    return mask


def debug_quote_ref(s):
    out = '"'
    esc = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
    for ch in s:
        cp = ord(ch)
        if ch in esc:
            out += esc[ch]
        elif (cp < 0x20 or 0x7F <= cp <= 0x9F or cp == 0xAD or 0x200B <= cp <= 0x200F
              or 0x2028 <= cp <= 0x202E or 0x2060 <= cp <= 0x2064 or cp == 0xFEFF):
            out += "\\u{%x}" % cp
        else:
            out += ch
    return out + '"'


def argument_hash_ref(regid, index):
    return py_hash(siphash13(regid.encode() + b"\xff" + struct.pack("<Q", index)))


# ---------------------------------------------------------------- parameter expressions


def c_pow(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) ** np.float64(b))


def c_fn(name, x):
    try:
        return {"sin": math.sin, "cos": math.cos, "tan": math.tan, "exp": math.exp,
                "ln": math.log, "sqrt": math.sqrt}[name](x)
    except OverflowError:
        return math.inf
    except ValueError:
        if name == "ln" and x == 0:
            return -math.inf
        return math.nan


class DivZero(Exception):
    pass


class ExprGen:
    """Random expressions of the parameter grammar with their values."""

    def __init__(self, rng):
        self.rng = rng

    def ws(self):
        return self.rng.choice(["", "", "", " ", "\t", "  ", "\n"])

    def exp(self, d):
        text, val = self.term(d)
        for _ in range(self.rng.choice([0, 0, 1, 2])):
            op = self.rng.choice("+-")
            t, w = self.term(d)
            text += self.ws() + op + self.ws() + t
            val = (lambda v, w, op: (lambda: v() + w() if op == "+" else v() - w()))(val, w, op)
        return text, val

    def term(self, d):
        text, val = self.factor(d)
        for _ in range(self.rng.choice([0, 0, 1, 2])):
            op = self.rng.choice("*/")
            t, w = self.factor(d)
            text += self.ws() + op + self.ws() + t

            def combine(v=val, w=w, op=op):
                a = v()
                b = w()
                if op == "*":
                    return a * b
                if b == 0:
                    raise DivZero
                return a / b
            val = combine
        return text, val

    def factor(self, d):
        text, val = self.power(d)
        for _ in range(self.rng.choice([0, 0, 0, 1])):
            t, w = self.power(d)
            text += self.ws() + "^" + self.ws() + t
            val = (lambda v, w: (lambda: c_pow(v(), w())))(val, w)
        return text, val

    def power(self, d):
        r = self.rng.random()
        if d <= 0 or r < 0.45:
            return self.atom()
        if r < 0.65:
            t, v = self.exp(d - 1)
            return "(" + self.ws() + t + self.ws() + ")", v
        if r < 0.85:
            fn = self.rng.choice(["sin", "cos", "tan", "exp", "ln", "sqrt"])
            t, v = self.exp(d - 1)
            return fn + self.ws() + "(" + t + ")", (lambda fn, v: (lambda: c_fn(fn, v())))(fn, v)
        t, v = self.power(d - 1)
        return "-" + self.ws() + t, (lambda v: (lambda: -v()))(v)

    def atom(self):
        r = self.rng.random()
        if r < 0.25:
            return "pi", lambda: 3.141592653589793
        if r < 0.6:
            s = self.rng.choice(["0", "1", "2", "3", "10", "255", "12345678901234567890123"])
            return s, (lambda s: lambda: float(s))(s)
        s = self.rng.choice(["0.", "3.", "0.5", "2.25", "1.000000000000001", "123.456", "0.1"])
        return s, (lambda s: lambda: float(s))(s)


def float_same(a, b):
    if a != a or b != b:
        return a != a and b != b
    return struct.pack("<d", a) == struct.pack("<d", b)


# ---------------------------------------------------------------- hostile values


class Boom(Exception):
    """Raised by hostile objects; must propagate unchanged."""


def fresh(e):
    """A new exception like `e`: raising a stored one would keep the raising
    frames (and so the hostile object) alive through its traceback."""
    return type(e)(*e.args)


class Hostile:
    """One object that can act as an integer, float, complex, sequence or
    string-like thing, misbehaving as configured."""

    def __init__(self, kind, value=None, exc=None, action=None):
        self.kind, self.value, self.exc, self.action = kind, value, exc, action

    def _act(self):
        if self.action:
            self.action()
        if self.exc is not None:
            raise fresh(self.exc)
        return self.value

    def __repr__(self):
        return f"Hostile({self.kind}, {self.value!r:.40}, exc={self.exc!r})"


class HIndex(Hostile):
    def __index__(self):
        return self._act()


class HFloat(Hostile):
    def __float__(self):
        return self._act()


class HComplex(Hostile):
    def __complex__(self):
        return self._act()


class HSeq(Hostile):
    """Sequence protocol: `value` is (items, claimed_len); exc raised from
    __getitem__ at index `fail_at`."""

    def __init__(self, items, claimed=None, fail_at=None, exc=None, len_exc=None, action=None):
        super().__init__("seq", items, exc, action)
        self.claimed, self.fail_at, self.len_exc = claimed, fail_at, len_exc

    def __len__(self):
        if self.len_exc is not None:
            raise fresh(self.len_exc)
        return len(self.value) if self.claimed is None else self.claimed

    def __getitem__(self, i):
        if self.action:
            self.action()
        if self.fail_at is not None and i >= self.fail_at:
            raise fresh(self.exc or Boom("getitem"))
        return self.value[i]


class HNoLen:
    def __getitem__(self, i):
        if i < 2:
            return 0
        raise IndexError


class HList(list):
    """A list whose item access mutates it."""

    def __getitem__(self, i):
        v = list.__getitem__(self, i)
        if len(self) > 1:
            del self[-1]
        return v


class HArrayLike:
    def __init__(self, value=None, exc=None):
        self.value, self.exc = value, exc

    def __array__(self, dtype=None, copy=None):
        if self.exc:
            raise fresh(self.exc)
        return self.value


BUILTIN_NAMES = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg",
                 "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)",
                 "rz(pi/16)", "rz(-pi/16)"]
BUILTIN_INDEX = {n: i for i, n in enumerate(BUILTIN_NAMES)}

INTS = [0, 1, 2, 3, 4, 7, 8, 9, 31, 32, 254, 255, 256, 65535, 65536, 2**31 - 1, 2**31, 2**32,
        2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -2, -255, -2**31, -2**63, -2**64, -2**100,
        True, False]
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, 5e-324, 1e300, 1.7976931348623157e308, math.inf,
          -math.inf, math.nan, 2.0 ** -25, 2.0 ** -24, 0.7071067811865476]
TEXTS = ["", "h", "H", "cx", "rz", "rz(pi/3)", "swap", "x" * 5000, "\x00", "h\x00", "\ud800",
         "é†\u202e", "q", "c", "rz(-pi/16)", "t1/2", "i", "Gate(1 -> h)", "q[0]", " h"]


class Ctx:
    def __init__(self, rng, trace=False, threads=False):
        self.rng = rng
        self.trace = trace
        self.threads = threads
        self.stats = collections.Counter()
        self.fatal_msgs = collections.Counter()
        self.findings = []
        self.gates = [L.Gate.from_name(n) for n in BUILTIN_NAMES]
        self.custom = []  # (gate, params, matrix) of gates registered here
        self.instrs = []
        self.args = [L.Argument("q", 0), L.Argument("c", 1)]
        self.instructions = []
        self.svs = [L.StateVec([1.0], [0.0]), L.StateVec.random(2)]
        self.evs = [L.Evaluator(2)]
        self.lock = threading.Lock()
        self.nested = collections.Counter()

    # ------------------------------------------------------------ reporting

    # What threads may still report: with several threads changing the pool,
    # a value read before a call need not be the value the call saw, so the
    # reference checks of results are off and only robustness is judged.
    ROBUSTNESS = ("unexpected", "unknown fatal", "fatal error", "nested RuntimeError", "access left taken",
                  "TypeError without", "OverflowError wrapped")

    def finding(self, what, desc):
        if self.threads and not what.startswith(self.ROBUSTNESS):
            return
        msg = f"{what}: {desc}"
        with self.lock:
            self.findings.append(msg[:2000])
        print("FINDING", msg[:2000], file=sys.stderr, flush=True)

    # ------------------------------------------------------------ random picks

    def pick(self, lst):
        return self.rng.choice(lst)

    def gate(self):
        return self.pick(self.gates)

    def sv(self):
        return self.pick(self.svs)

    def ev(self):
        return self.pick(self.evs)

    def instr(self):
        if not self.instrs or self.rng.random() < 0.2:
            g = self.gate()
            k = g.nqargs
            try:
                self.instrs.append(L.Instr(g, self.rng.sample(range(6), k)))
            except BaseException:
                pass
        return self.pick(self.instrs) if self.instrs else L.Instr(L.Gate.from_name("h"), [0])

    def argument(self):
        if self.rng.random() < 0.2:
            self.args.append(L.Argument(self.pick(["q", "c", "anc", "é"]), self.rng.randrange(10)))
            del self.args[:-40]
        return self.pick(self.args)

    def instruction(self):
        if not self.instructions or self.rng.random() < 0.2:
            self.instructions.append(L.Instruction(self.gate(), [self.argument() for _ in range(self.rng.randrange(3))],
                                                   [self.argument() for _ in range(self.rng.randrange(2))]))
            del self.instructions[:-40]
        return self.pick(self.instructions)

    def any_obj(self):
        r = self.rng.random()
        if r < 0.15:
            return self.gate()
        if r < 0.3:
            return self.instr()
        if r < 0.45:
            return self.argument()
        if r < 0.55:
            return self.instruction()
        if r < 0.7:
            return self.sv()
        if r < 0.8:
            return self.ev()
        return self.pick([None, object(), 1.5, 3, "s", b"b", [], (), {}, {1: 2}, set(), L.Gate, L.StateVec,
                          np.eye(2), np.float64(1.0), np.int64(3), range(3), iter([1]), Ellipsis, 1j])

    # ------------------------------------------------------------ reentrancy

    def reentrant_action(self):
        """A call on some pool object, made while a conversion is running."""
        rng = self.rng
        sv, ev, a, ins = self.sv(), self.ev(), self.argument(), self.instruction()
        acts = [
            lambda: sv.normalize(), lambda: sv[0], lambda: sv.__setitem__(0, 1.0),
            lambda: sv.__imul__(self.instr()), lambda: sv == sv, lambda: str(sv), lambda: sv.hash_value(),
            lambda: ev.evaluate([]), lambda: ev.initial_key(), lambda: ev == ev,
            lambda: setattr(a, "index", 3), lambda: setattr(a, "regid", "r"), lambda: a == a, lambda: hash(a),
            lambda: setattr(ins, "qargs", [a]), lambda: setattr(ins, "gate", self.gate()), lambda: ins == ins,
            lambda: str(ins), lambda: gc.collect(), lambda: self.svs.clear() or self.svs.append(L.StateVec([1.0], [0.0])),
            lambda: self.args.clear() or self.args.append(L.Argument("q", 0)),
            lambda: L.Gate("re", [], np.diag([1, np.exp(1j * rng.random())])),
        ]
        if self.threads:
            acts.append(lambda: time.sleep(0))
        act = rng.choice(acts)

        def run():
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

    # ------------------------------------------------------------ hostile values by kind

    def hostile_int(self):
        r = self.rng.random()
        if r < 0.5:
            return self.pick(INTS)
        if r < 0.65:
            return HIndex("int", self.pick(INTS))
        if r < 0.75:
            return HIndex("int", exc=self.pick([Boom("index"), TypeError("bad index"), OverflowError("ovf"),
                                                ValueError("v"), RecursionError("r")]))
        if r < 0.8:
            return HIndex("int", value=self.pick([1.5, "3", None, 2**70]))
        if r < 0.88:
            return HIndex("int", self.rng.randrange(4), action=self.reentrant_action())
        return self.pick([1.5, "3", None, 3 + 0j, np.int64(3), np.uint8(200), np.float64(2.0), [1], b"\x01"])

    def hostile_float(self):
        r = self.rng.random()
        if r < 0.5:
            return self.pick(FLOATS)
        if r < 0.6:
            return self.pick(INTS)
        if r < 0.7:
            return HFloat("float", self.pick(FLOATS))
        if r < 0.78:
            return HFloat("float", exc=self.pick([Boom("float"), TypeError("no float")]))
        if r < 0.82:
            return HFloat("float", value=self.pick(["x", None, 1]))
        if r < 0.9:
            return HFloat("float", self.rng.random(), action=self.reentrant_action())
        return self.pick(["1.0", None, 1j, HIndex("int", 3), np.float32(0.5), np.float64("nan")])

    def hostile_complex(self):
        r = self.rng.random()
        if r < 0.4:
            return complex(self.pick(FLOATS), self.pick(FLOATS))
        if r < 0.6:
            return self.hostile_float()
        if r < 0.7:
            return HComplex("complex", complex(self.pick(FLOATS), self.pick(FLOATS)))
        if r < 0.8:
            return HComplex("complex", exc=self.pick([Boom("c"), TypeError("no complex")]))
        if r < 0.85:
            return HComplex("complex", value=self.pick([1.0, "x", None]))
        if r < 0.93:
            return HComplex("complex", 0.5j, action=self.reentrant_action())
        return self.pick(["1j", None, self.sv(), np.complex64(1j), np.complex128(2 + 1j)])

    def hostile_text(self):
        r = self.rng.random()
        if r < 0.6:
            return self.pick(TEXTS + [g[0].name for g in self.custom[-5:]])
        return self.pick([None, b"h", 1, ["h"], HIndex("int", 1), bytearray(b"x"), str])

    def seq_of(self, item, lo=0, hi=4):
        """A sequence of items from `item()`, sometimes in a hostile container."""
        n = self.rng.randrange(lo, hi + 1)
        items = [item() for _ in range(n)]
        r = self.rng.random()
        if r < 0.45:
            return items
        if r < 0.6:
            return tuple(items)
        if r < 0.65:
            return HSeq(items, claimed=self.pick([2**62, 2**40, 2**31, 10**6, len(items) + 1, len(items) + 1000]),
                        fail_at=len(items), exc=self.pick([IndexError("short"), Boom("short")]))
        if r < 0.7:
            return HSeq(items, len_exc=self.pick([Boom("len"), TypeError("len"), OverflowError("len")]))
        if r < 0.73:
            return HSeq(items, claimed=self.pick([-1, 2**100, "3", 1.5]))
        if r < 0.78:
            return HSeq(items, fail_at=self.rng.randrange(n + 1), exc=self.pick([Boom("get"), TypeError("get"),
                                                                                 ValueError("get")]))
        if r < 0.83:
            return HSeq(items, action=self.reentrant_action())
        if r < 0.86:
            return HList(items)
        if r < 0.88:
            return HNoLen()
        if r < 0.9:
            return iter(items)
        if r < 0.92:
            return self.pick(["", "01", "h", b"\x00\x01", bytearray(b"\x00"), None, 3, {0: 1}, {0, 1}])
        if r < 0.94:
            return np.array([0, 1] * (n // 2), dtype=self.pick([np.int64, np.uint8, np.float64, object]))
        if r < 0.96:
            return memoryview(bytes(range(n)))
        return range(self.pick([0, 1, 2, 3, 300, 2**20]))

    def hostile_u8_list(self):
        return self.seq_of(self.hostile_int if self.rng.random() < 0.3 else (lambda: self.rng.randrange(8)))

    def hostile_perm(self):
        r = self.rng.random()
        if r < 0.5:
            n = self.rng.randrange(9)
            return tuple(self.rng.sample(range(n), n))
        if r < 0.6:
            return [self.rng.randrange(12) for _ in range(self.rng.randrange(10))]
        return self.hostile_u8_list()

    def hostile_matrix(self):
        rng = self.rng
        r = rng.random()
        d = rng.choice([1, 2, 2, 2, 4, 4, 8])
        if r < 0.45:
            z = np.random.default_rng(rng.randrange(2**32)).normal(size=(d, d, 2)) @ [1, 1j]
            u, _ = np.linalg.qr(z)
            m = u.astype(np.complex128)
            t = rng.random()
            if t < 0.1:
                m = np.asfortranarray(m)
            elif t < 0.2:
                big = np.zeros((2 * d, 3 * d), dtype=complex)
                big[::2, ::3] = m
                m = big[::2, ::3]
            elif t < 0.25:
                m = m.astype(">c16")
            elif t < 0.3:
                m = m[::-1]
            elif t < 0.35:
                m = m.tolist()
            elif t < 0.4:
                buf = np.zeros(d * d * 16 + 1, dtype=np.uint8)
                mis = buf[1:].view(np.complex128).reshape(d, d)
                mis[...] = m
                m = mis
            elif t < 0.45:
                m = m.copy()
                m[0, 0] = complex(rng.choice(FLOATS), rng.choice(FLOATS))
            return m
        if r < 0.55:
            shape = rng.choice([(0, 0), (3, 3), (4, 2), (2, 4), (1, 0), (0, 1), (2,), (2, 2, 2), (), (6, 6)])
            return np.zeros(shape, dtype=complex)
        if r < 0.62:
            try:
                return np.broadcast_to(np.complex128(1), rng.choice([(2, 2), (3, 2**40), (2, 2**40), (2**31, 2**31),
                                                                     (1, 2**50), (4, 4)]))
            except ValueError:
                return np.broadcast_to(np.complex128(1), (2, 2**40))
        if r < 0.7:
            return rng.choice([np.eye(2), np.eye(2, dtype=np.complex64), np.eye(2, dtype=object), [[1, 0], [0, 1]],
                               [[1j]], [[1j, 0], [0]], "ab", None, 3, HArrayLike(np.eye(2, dtype=complex)),
                               HArrayLike(exc=Boom("arr")), HArrayLike(exc=TypeError("arr")), HArrayLike(value=3),
                               np.ma.masked_array(np.eye(2, dtype=complex)), np.matrix(np.eye(2, dtype=complex))])
        return np.diag([1.0, np.exp(1j * rng.uniform(-7, 7))]).astype(complex)


# ---------------------------------------------------------------- one call with its checks

ALLOWED = (TypeError, OverflowError, ValueError, RuntimeError, AttributeError, NotImplementedError, MemoryError,
           UnicodeError, Boom, IndexError, RecursionError)

KNOWN_FATAL = [re.compile(p) for p in [
    r"Matrix must have a number of rows that is a power of two$", r"Matrix must be squared$",
    r"The given array can not be viewed: it has a negative stride$",
    r"Gate registry is full", r"Number of arguments not match for gate ",
    r"Number of qubit arguments does not match gate arity$", r"Qubit arguments must be unique$",
    r"Qubit index 255 is reserved for an absent qubit$",
    r"index out of bounds: the len is \d+ but the index is \d+$",
    r"Permutation values must be less than 8$", r"Permutation values must be unique$",
    r"assertion failed: idx < 8$", r"Permutation length must be less than or equal to 8$",
    r"Permutation of length \d+ cannot relabel a state of \d+ qubits$",
    r"Length must be a power of 2$",
    r"assertion `left == right` failed: Real and imaginary parts must have the same length\n  left: \d+\n right: \d+$",
    r"Number of qubits too large, resulting in overflow for state vector size\.$",
    r"assertion failed: matrix\.nrows\(\) == \d && matrix\.ncols\(\) == \d$", r"Unsupported number of qubits: \d+$",
    r"Evaluator supports at most 8 qubits, got \d+$",
    r"Non-deterministic front permutation detected during evaluation$",
    r"Already mutably borrowed$",
]]


def is_larkspan(o):
    return type(o).__module__ == "larkspan" or type(o).__name__ in ("Gate", "Instr", "Argument", "Instruction",
                                                                      "StateVec", "Evaluator")


def tracked(objs):
    """Objects whose refcount must not change across a call: freshly made
    containers and hostile objects, and the items of containers."""
    out = []
    seen = set()

    def add(o, depth):
        if id(o) in seen or isinstance(o, (int, float, complex, str, bytes, bool, type(None), type)) or (type(o) is tuple and not o):
            return
        seen.add(id(o))
        out.append(o)
        if depth and isinstance(o, (list, tuple)):
            for x in o[:50]:
                add(x, depth - 1)
        if depth and isinstance(o, HSeq) and isinstance(o.value, list):
            for x in o.value[:50]:
                add(x, depth - 1)
    for o in objs:
        add(o, 2)
    return out


def snapshot(o):
    t = type(o).__name__
    try:
        if t == "StateVec":
            return [o[i] for i in range(o.len())]
        if t in ("Argument", "Instruction"):
            return repr(o)
    except BaseException:
        return None
    return None


def borrow_free(o):
    """A write (or read, for read-only classes) on `o` must succeed after every call."""
    t = type(o).__name__
    if t == "StateVec":
        o[0] = o[0]
    elif t == "Argument":
        o.index = o.index
    elif t == "Instruction":
        o.gate = o.gate
    elif t == "Evaluator":
        o.nqubits()
    elif t in ("Instr", "Gate"):
        str(o)


class Call:
    def __init__(self, ctx, member, params=(), receiver=None, mutating=False, op=False):
        self.ctx, self.member, self.params, self.receiver = ctx, member, params, receiver
        self.mutating, self.op = mutating, op

    def __call__(self, fn, /, *args, **kwargs):
        """Runs fn(*args, **kwargs); returns (ok, value, desc)."""
        ctx = self.ctx
        desc = f"{self.member} args={args!r:.300} kwargs={kwargs!r:.200}"
        if ctx.trace:
            print("CALL", desc, file=sys.stderr, flush=True)
        objs = [self.receiver, *args, *kwargs.values()]
        watch = [] if ctx.threads else tracked(objs)
        before_rc = [sys.getrefcount(o) for o in watch]
        before = snapshot(self.receiver) if self.mutating else None
        nested_before = sum(ctx.nested.values())
        ok, value, kind = False, None, None
        try:
            value = fn(*args, **kwargs)
            ok = True
            kind = "ok"
        except BaseException as e:
            kind = self.classify(e, desc)
        ctx.stats[f"{self.member}:{kind}"] += 1
        ctx.stats["calls"] += 1
        if watch:
            after_rc = [sys.getrefcount(o) - (o is value) for o in watch]
            if after_rc != before_rc:
                gc.collect()
                after_rc = [sys.getrefcount(o) - (o is value) for o in watch]
            for o, b, a in zip(watch, before_rc, after_rc):
                if a > b:
                    ctx.finding("reference leak", f"{desc}: {type(o).__name__} {b} -> {a}")
                    break
        del watch
        # A re-entrant call made by a hostile argument may change the receiver itself.
        reentered = sum(ctx.nested.values()) != nested_before
        if not ok and self.mutating and before is not None and not ctx.threads and not reentered:
            after = snapshot(self.receiver)
            if not same_snapshot(before, after):
                ctx.finding("failed call changed its receiver", f"{desc} before={before!r:.200} after={after!r:.200}")
        if not ctx.threads:
            for o in objs:
                if is_larkspan(o):
                    try:
                        borrow_free(o)
                    except RuntimeError as e:
                        ctx.finding("access left taken", f"{desc}: {e}")
                    except BaseException:
                        pass
        return ok, value, desc

    def classify(self, e, desc):
        ctx = self.ctx
        global FatalError
        if not isinstance(e, Exception):
            if type(e).__name__ == "FatalError" and type(e).__mro__[1] is BaseException:
                FatalError = type(e)
                msg = str(e)
                ctx.fatal_msgs[re.sub(r"\d+", "N", msg)[:80]] += 1
                if not any(p.match(msg) for p in KNOWN_FATAL):
                    ctx.finding("unknown fatal error", f"{desc}: {msg!r:.300}")
                if len(e.args) != 1:
                    ctx.finding("fatal error args", f"{desc}: {e.args!r:.200}")
                return "fatal"
            ctx.finding("unexpected BaseException", f"{desc}: {type(e).__name__}: {e!r:.300}")
            return type(e).__name__
        if isinstance(e, SystemError) or not isinstance(e, ALLOWED):
            ctx.finding("unexpected exception", f"{desc}: {type(e).__name__}: {e!r:.300}\n"
                        + "".join(traceback.format_exception(e))[-1500:])
            return type(e).__name__
        if type(e) is TypeError and not self.op:
            msg = str(e)
            heads = [f"argument '{p}': " for p in self.params] + [self.member.split(" ")[0] + " "]
            if not any(msg.startswith(h) for h in heads) and not msg.startswith("attribute '"):
                ctx.finding("TypeError without member or argument name", f"{desc}: {msg!r:.300}")
        if type(e) is OverflowError and str(e).startswith("argument '"):
            ctx.finding("OverflowError wrapped with the argument name", f"{desc}: {e}")
        if type(e) is RuntimeError and str(e) not in ("Already borrowed", "Already mutably borrowed"):
            ctx.finding("unexpected RuntimeError", f"{desc}: {e}")
        return type(e).__name__


def same_snapshot(a, b):
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(
            float_same(x.real, y.real) and float_same(x.imag, y.imag) for x, y in zip(a, b))
    return a == b



# ---------------------------------------------------------------- the members


def kwargs_for(ctx, names, values):
    """Passes the values positionally, by keyword, or with a twist (missing,
    extra, unknown or doubled keyword)."""
    rng = ctx.rng
    r = rng.random()
    if r < 0.6:
        return list(values), {}
    if r < 0.8:
        k = rng.randrange(len(values) + 1)
        return list(values[:k]), dict(zip(names[k:], values[k:]))
    if r < 0.85:
        return list(values) + [1], {}
    if r < 0.9:
        return list(values[:-1]) if values else [], {}
    if r < 0.95:
        return list(values), {rng.choice(["bogus", "self", "name\x00", "Name", names[0] if names else "x"]): 1}
    return list(values), {"é": 1, "x" * 100: 2}


def op_gate_new(ctx):
    rng = ctx.rng
    name = ctx.hostile_text() if rng.random() < 0.2 else f"g{rng.randrange(10**6)}"
    params = ctx.seq_of(ctx.hostile_text) if rng.random() < 0.3 else [f"pi/{rng.randrange(1, 9)}"]
    m = ctx.hostile_matrix()
    args, kw = kwargs_for(ctx, ["name", "params", "matrix"], [name, params, m])
    ok, g, tok = Call(ctx, "Gate.__new__()", ["name", "params", "matrix"])(L.Gate, *args, **kw)
    if ok:
        ctx.gates.append(g)
        if isinstance(m, np.ndarray) and m.ndim == 2 and m.dtype == np.complex128 and isinstance(name, str):
            got = g.matrix
            if g.name == name and not np.array_equal(got, m, equal_nan=True):
                ctx.finding("Gate matrix not copied faithfully", f"{m!r:.200} -> {got!r:.200}")
        if isinstance(m, np.ndarray) and m.dtype.byteorder == ">" and not np.array_equal(g.matrix, m.astype(complex)):
            ctx.finding("byte-swapped matrix misread", repr(m))
        del g


def op_gate_from_name(ctx):
    name = ctx.hostile_text() if ctx.rng.random() < 0.5 else ctx.pick(BUILTIN_NAMES + [str(g) for g in ctx.gates[-5:]])
    args, kw = kwargs_for(ctx, ["name"], [name])
    ok, g, tok = Call(ctx, "Gate.from_name()", ["name"])(L.Gate.from_name, *args, **kw)
    if ok and g is not None and not kw and len(args) == 1 and str(g) != name:
        ctx.finding("from_name returned another gate", f"{name!r} -> {g}")
    if ok and g is None and name in BUILTIN_NAMES:
        ctx.finding("from_name missed a built-in", name)
    del g


def op_gate_members(ctx):
    g = ctx.gate()
    rng = ctx.rng
    r = rng.random()
    c = Call(ctx, "Gate.adjoint()", [], receiver=g)
    if r < 0.15:
        args, kw = kwargs_for(ctx, [], [])
        ok, adj, tok = c(g.adjoint, *args, **kw)
        if ok:
            if not np.allclose(adj.matrix, g.matrix.conj().T, equal_nan=True) and np.isfinite(g.matrix).all():
                ctx.finding("adjoint matrix", f"{g} {g.matrix!r:.300} -> {adj} {adj.matrix!r:.300}")
            if adj.params != g.params and adj.name not in (g.name + "\u2020",) and str(g) in BUILTIN_NAMES:
                pass
            ctx.gates.append(adj)
    elif r < 0.5:
        prop = rng.choice(["name", "params", "matrix", "nqargs", "params_f"])
        ok, v, tok = Call(ctx, f"Gate.{prop}", [], receiver=g)(getattr, g, prop)
        if ok and prop == "nqargs":
            d = g.matrix.shape[0]
            if v != (d.bit_length() - 1):
                ctx.finding("nqargs", f"{g}: {v} for dimension {d}")
        if ok and prop == "matrix" and not (v.flags.f_contiguous and v.dtype == np.complex128 and v.ndim == 2):
            ctx.finding("matrix layout", f"{g}: {v.flags}")
    elif r < 0.6:
        prop = rng.choice(["name", "params", "matrix", "nqargs", "params_f", "bogus"])
        if rng.random() < 0.5:
            ok, _, _ = Call(ctx, f"Gate.{prop}=", [prop], receiver=g)(setattr, g, prop, 1)
        else:
            try:
                delattr(g, prop)
                ctx.finding("deleted a Gate property", prop)
            except AttributeError as e:
                if prop != "bogus" and str(e) != "can't delete attribute":
                    ctx.finding("delete message", f"{prop}: {e}")
                ctx.stats["Gate.del:AttributeError"] += 1
    elif r < 0.85:
        # __call__ with qubits, registers, or junk
        rr = rng.random()
        if rr < 0.4:
            args = [rng.randrange(4) for _ in range(g.nqargs)]
        elif rr < 0.6:
            args = [ctx.argument() for _ in range(rng.randrange(4))]
        else:
            args = [rng.choice([ctx.hostile_int, ctx.argument, ctx.any_obj])() for _ in range(rng.randrange(4))]
        kw = {} if rng.random() < 0.9 else {rng.choice(["args", "q"]): 1}
        ok, res, tok = Call(ctx, "Gate.__call__()", ["args"], receiver=g)(g, *args, **kw)
        if ok:
            if type(res).__name__ == "Instr":
                if res.gate != g or (all(type(a) is int for a in args) and list(res.qargs) != args):
                    ctx.finding("gate call", f"{g}{args} -> {res}")
                ctx.instrs.append(res)
            elif type(res).__name__ == "Instruction":
                k = g.nqargs
                if res.qargs != args[:k] or res.cargs != args[k:]:
                    ctx.finding("gate call registers", f"{g}{args} -> {res}")
        del res
    else:
        other = ctx.any_obj() if rng.random() < 0.7 else g
        opname = rng.choice(["==", "!=", "<", ">="])
        fn = {"==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
              ">=": lambda a, b: a >= b}[opname]
        ok, v, _ = Call(ctx, f"Gate{opname}", [], receiver=g, op=True)(fn, g, other)
        ok, h, _ = Call(ctx, "hash(Gate)", [], receiver=g, op=True)(hash, g)
        name = str(g)
        if ok and name in BUILTIN_INDEX and L.Gate.from_name(name) == g:
            if h != py_hash(siphash13(struct.pack("<H", BUILTIN_INDEX[name]))):
                ctx.finding("Gate hash", name)


def op_params_f(ctx):
    """Gate.params_f of random grammar expressions with known values, and hostile texts."""
    rng = ctx.rng
    gen = ExprGen(rng)
    params, expected = [], []
    for _ in range(rng.randrange(1, 4)):
        r = rng.random()
        if r < 0.7:
            t, v = gen.exp(rng.randrange(5))
            params.append(t)
            try:
                expected.append(("ok", v()))
            except DivZero:
                expected.append(("err", "DivisionByZero"))
        else:
            depth = rng.choice([99, 100, 101, 1000, 100000])
            t = rng.choice(["(" * depth + "1" + ")" * depth, "sin(" * depth + "1" + ")" * depth, "-" * depth + "1",
                            "1" + "+1" * depth, "2" + "^1" * depth, "", "theta", "1/0", "(" * depth,
                            "\x00", "é", "pi" * depth, "1e5", "sin", "sqrt(0-1)"])
            params.append(t)
            expected.append(None)
    m = np.diag([1.0, np.exp(1j * rng.uniform(-7, 7))]).astype(complex)
    g = L.Gate("pf", params, m)
    if g.params != params:
        return  # the matrix happened to exist already
    ok, vals, _ = Call(ctx, "Gate.params_f", [], receiver=g)(getattr, g, "params_f")
    if None in expected:
        return
    first_err = next((e for e in expected if e[0] == "err"), None)
    if first_err:
        if ok:
            ctx.finding("params_f missed an error", f"{params!r}: {vals}")
        return
    if not ok:
        ctx.finding("params_f failed", f"{params!r}")
        return
    for p, (_, want), got in zip(params, expected, vals):
        if not float_same(want, got):
            ctx.finding("params_f value", f"{p!r}: want {want!r} got {got!r}")


def op_instr_new(ctx):
    g = ctx.gate() if ctx.rng.random() < 0.85 else ctx.any_obj()
    q = ctx.hostile_u8_list() if ctx.rng.random() < 0.5 else ctx.rng.sample(range(6), g.nqargs if isinstance(g, L.Gate) else 1)
    args, kw = kwargs_for(ctx, ["gate", "qargs"], [g, q])
    ok, i, tok = Call(ctx, "Instr.__new__()", ["gate", "qargs"])(L.Instr, *args, **kw)
    if ok:
        if i.gate != g or (isinstance(q, list) and all(type(x) is int for x in q) and list(i.qargs) != q):
            ctx.finding("Instr construction", f"{g} {q!r} -> {i}")
        ctx.instrs.append(i)
        del ctx.instrs[:-60]
    del i


def op_instr_members(ctx):
    rng = ctx.rng
    i = ctx.instr()
    qs = list(i.qargs)
    r = rng.random()
    if r < 0.2:
        name = rng.choice(["apply_permutation", "permut"])
        perm = ctx.hostile_perm()
        args, kw = kwargs_for(ctx, ["perm"], [perm])
        ok, res, tok = Call(ctx, f"Instr.{name}()", ["perm"], receiver=i)(getattr(i, name), *args, **kw)
        if ok and not kw and len(args) == 1 and isinstance(perm, (list, tuple)) and all(type(x) is int for x in perm):
            p = list(perm)
            want = [p[q] if q < len(p) else 0 for q in qs]
            if list(res.qargs) != want or res.gate != i.gate:
                ctx.finding("Instr relabel", f"{i} by {perm!r} -> {res}")
        del res
    elif r < 0.35:
        mask = ctx.hostile_int() if rng.random() < 0.4 else rng.randrange(256)
        args, kw = kwargs_for(ctx, ["mask"], [mask])
        ok, res, tok = Call(ctx, "Instr.pass_mask()", ["mask"], receiver=i)(i.pass_mask, *args, **kw)
        if ok and not kw and len(args) == 1 and type(mask) is int and res != pass_mask_ref(qs, mask):
            ctx.finding("pass_mask", f"{i} {mask}: {res} want {pass_mask_ref(qs, int(mask))}")
    elif r < 0.5:
        q = ctx.hostile_int() if rng.random() < 0.4 else rng.randrange(256)
        args, kw = kwargs_for(ctx, ["qubit"], [q])
        ok, res, tok = Call(ctx, "Instr.position_of_qubit()", ["qubit"], receiver=i)(i.position_of_qubit, *args, **kw)
        if ok and not kw and len(args) == 1 and type(q) is int:
            want = qs.index(int(q)) if int(q) in qs else None
            if res != want:
                ctx.finding("position_of_qubit", f"{i} {q}: {res}")
    elif r < 0.62:
        other = ctx.instr() if rng.random() < 0.7 else rng.choice([i, ctx.any_obj()])
        args, kw = kwargs_for(ctx, ["other"], [other])
        ok, res, tok = Call(ctx, "Instr.disjoint()", ["other"], receiver=i)(i.disjoint, *args, **kw)
        if ok and not kw and len(args) == 1:
            want = (arg_mask_ref(qs) & arg_mask_ref(list(other.qargs))) == 0
            if res != want:
                ctx.finding("disjoint", f"{i} {other}: {res}")
    elif r < 0.8:
        name = rng.choice(["arg_mask", "largest_qubit", "adjoint"])
        args, kw = kwargs_for(ctx, [], [])
        ok, res, tok = Call(ctx, f"Instr.{name}()", [], receiver=i)(getattr(i, name), *args, **kw)
        if ok:
            if name == "arg_mask" and res != arg_mask_ref(qs):
                ctx.finding("arg_mask", f"{i}: {res}")
            if name == "largest_qubit" and res != (max(qs) if qs else 0):
                ctx.finding("largest_qubit", f"{i}: {res}")
            if name == "adjoint" and (list(res.qargs) != qs or res.gate != i.gate.adjoint()):
                ctx.finding("Instr adjoint", f"{i}: {res}")
    else:
        s = str(i)
        want = f"{i.gate}({', '.join(map(str, qs))})"
        if s != want or repr(i) != want:
            ctx.finding("Instr text", f"{s!r} want {want!r}")
        gname = str(i.gate)
        if gname in BUILTIN_INDEX and L.Gate.from_name(gname) == i.gate:
            b = struct.pack("<HI", BUILTIN_INDEX[gname], 2) + bytes(qs + [255] * (2 - len(qs)))
            if hash(i) != py_hash(siphash13(b)):
                ctx.finding("Instr hash", s)
        Call(ctx, "Instr==", [], receiver=i, op=True)(lambda a, b: a == b, i, ctx.any_obj())
        for prop in ("gate", "qargs"):
            Call(ctx, f"Instr.{prop}=", [prop], receiver=i)(setattr, i, prop, 1)
            Call(ctx, f"Instr.del {prop}", [prop], receiver=i)(delattr, i, prop)


def op_argument(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.35:
        regid = ctx.hostile_text() if rng.random() < 0.3 else rng.choice(["q", "c", "é\n\"\\", "\x00\u200b"])
        index = ctx.hostile_int() if rng.random() < 0.4 else rng.randrange(2**64)
        args, kw = kwargs_for(ctx, ["regid", "index"], [regid, index])
        ok, a, tok = Call(ctx, "Argument.__new__()", ["regid", "index"])(L.Argument, *args, **kw)
        if ok:
            check_argument(ctx, a)
            ctx.args.append(a)
            del ctx.args[:-40]
        del a
    elif r < 0.7:
        a = ctx.argument()
        prop = rng.choice(["regid", "index"])
        if rng.random() < 0.85:
            v = (ctx.hostile_text() if prop == "regid" else ctx.hostile_int()) if rng.random() < 0.6 else \
                ("r" if prop == "regid" else rng.randrange(100))
            ok, _, tok = Call(ctx, f"Argument.{prop}=", [prop], receiver=a, mutating=True)(setattr, a, prop, v)
            if ok and type(v) in (str, int) and getattr(a, prop) != v:
                ctx.finding("Argument setter", f"{prop}={v!r} -> {getattr(a, prop)!r}")
        else:
            ok, _, _ = Call(ctx, f"Argument.del {prop}", [prop], receiver=a, mutating=True)(delattr, a, prop)
            if ok:
                ctx.finding("deleted an Argument property", prop)
        check_argument(ctx, a)
    else:
        a = ctx.argument()
        b = rng.choice([a, ctx.argument(), ctx.any_obj(), ("q", 0)])
        opname = rng.choice(["==", "!=", "<"])
        fn = {"==": lambda x, y: x == y, "!=": lambda x, y: x != y, "<": lambda x, y: x < y}[opname]
        ok, v, _ = Call(ctx, f"Argument{opname}", [], receiver=a, op=True)(fn, a, b)
        if ok and opname != "<" and type(b).__name__ == "Argument":
            eq = (a.regid, a.index) == (b.regid, b.index)
            if v != (eq if opname == "==" else not eq):
                ctx.finding("Argument equality", f"{a!r} {opname} {b!r} -> {v}")


def check_argument(ctx, a):
    try:
        regid, index = a.regid, a.index
    except RuntimeError:
        return
    if str(a) != f"{regid}[{index}]":
        ctx.finding("Argument str", repr(str(a)))
    if repr(a) != f"Argument {{ regid: {debug_quote_ref(regid)}, index: {index} }}":
        ctx.finding("Argument repr", repr(a))
    if hash(a) != argument_hash_ref(regid, index):
        ctx.finding("Argument hash", repr(a))


def instruction_hash_ref(gate_idx, qargs, cargs):
    b = bytearray(struct.pack("<H", gate_idx))
    for lst in (qargs, cargs):
        b += struct.pack("<Q", len(lst))
        for a in lst:
            b += a.regid.encode() + b"\xff" + struct.pack("<Q", a.index)
    return py_hash(siphash13(bytes(b)))


def arg_item(ctx):
    r = ctx.rng.random()
    if r < 0.5:
        return ctx.argument()
    if r < 0.75:
        return (ctx.rng.choice(["q", "c"]), ctx.rng.randrange(5))
    return ctx.rng.choice([("q",), ("q", 1, 2), ["q", 0], ("q", -1), (1, "q"), ("q", HIndex("i", 2)),
                           ("q", 2**64), None, "q0", ctx.any_obj(), (ctx.hostile_text(), ctx.hostile_int())])


def op_instruction(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.3:
        g = ctx.gate() if rng.random() < 0.85 else ctx.any_obj()
        q = ctx.seq_of(lambda: arg_item(ctx))
        c = ctx.seq_of(lambda: arg_item(ctx)) if rng.random() < 0.7 else rng.choice([None, "c", []])
        vals = [g, q, c] if rng.random() < 0.7 else [g, q]
        args, kw = kwargs_for(ctx, ["gate", "qargs", "cargs"][:len(vals)], vals)
        ok, ins, tok = Call(ctx, "Instruction.__new__()", ["gate", "qargs", "cargs"])(L.Instruction, *args, **kw)
        if ok:
            check_instruction(ctx, ins)
            ctx.instructions.append(ins)
            del ctx.instructions[:-40]
        del ins
    elif r < 0.75:
        ins = ctx.instruction()
        prop = rng.choice(["gate", "qargs", "cargs"])
        if rng.random() < 0.85:
            if prop == "gate":
                v = ctx.gate() if rng.random() < 0.6 else ctx.any_obj()
            else:
                v = ctx.seq_of(lambda: ctx.argument() if rng.random() < 0.8 else arg_item(ctx))
            ok, _, tok = Call(ctx, f"Instruction.{prop}=", [prop], receiver=ins, mutating=True)(setattr, ins, prop, v)
        else:
            ok, _, _ = Call(ctx, f"Instruction.del {prop}", [prop], receiver=ins, mutating=True)(delattr, ins, prop)
            if ok:
                ctx.finding("deleted an Instruction property", prop)
        check_instruction(ctx, ins)
    else:
        a = ctx.instruction()
        b = rng.choice([a, ctx.instruction(), ctx.any_obj()])
        ok, v, _ = Call(ctx, "Instruction==", [], receiver=a, op=True)(lambda x, y: x == y, a, b)
        if ok and type(b).__name__ == "Instruction":
            eq = (a.gate == b.gate and a.qargs == b.qargs and a.cargs == b.cargs)
            if v != eq:
                ctx.finding("Instruction equality", f"{a!r} == {b!r} -> {v}")
        Call(ctx, "Instruction<", [], receiver=a, op=True)(lambda x, y: x < y, a, b)


def check_instruction(ctx, ins):
    try:
        g, q, c = ins.gate, ins.qargs, ins.cargs
    except RuntimeError:
        return
    want = f"{g} " + ", ".join(str(a) for a in q + c) + ";"
    if str(ins) != want:
        ctx.finding("Instruction str", f"{str(ins)!r} want {want!r}")
    rep = repr(ins)
    inner = ", ".join(repr(a) for a in q), ", ".join(repr(a) for a in c)
    if not re.fullmatch(r"Instruction \{ gate: Gate\(\d+ -> .*\), qargs: \[.*\], cargs: \[.*\] \}", rep, re.S) or \
            not rep.endswith(f"qargs: [{inner[0]}], cargs: [{inner[1]}] }}"):
        ctx.finding("Instruction repr", rep[:300])
    gname = str(g)
    if gname in BUILTIN_INDEX and L.Gate.from_name(gname) == g:
        if hash(ins) != instruction_hash_ref(BUILTIN_INDEX[gname], q, c):
            ctx.finding("Instruction hash", rep[:300])


def sv_parts(sv):
    v = [sv[i] for i in range(sv.len())]
    return [x.real for x in v], [x.imag for x in v]


def op_statevec_new(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.5:
        n = rng.choice([1, 1, 2, 4, 8, 16, 3, 0, 64])
        re_ = ctx.seq_of(ctx.hostile_float, n, n) if rng.random() < 0.5 else [rng.uniform(-1, 1) for _ in range(n)]
        im_ = ctx.seq_of(ctx.hostile_float, n, n) if rng.random() < 0.5 else [rng.uniform(-1, 1) for _ in range(n)]
        if rng.random() < 0.1:
            im_ = im_[:-1] if isinstance(im_, list) and im_ else im_
        args, kw = kwargs_for(ctx, ["re", "im"], [re_, im_])
        ok, sv, tok = Call(ctx, "StateVec.__new__()", ["re", "im"])(L.StateVec, *args, **kw)
        if ok:
            if sv.len() & (sv.len() - 1) or sv.len() == 0 or sv.nqubits() != sv.len().bit_length() - 1:
                ctx.finding("StateVec length", f"{sv.len()} {sv.nqubits()}")
            ctx.svs.append(sv)
            del ctx.svs[:-30]
        del sv
    else:
        name = rng.choice(["random", "random_symmetric"])
        n = ctx.hostile_int() if rng.random() < 0.3 else rng.randrange(7)
        if isinstance(n, int) and 26 <= n < 32:
            n = 40  # a real multi-GiB allocation would only test the machine
        args, kw = kwargs_for(ctx, ["num_qubits"], [n])
        ok, sv, tok = Call(ctx, f"StateVec.{name}()", ["num_qubits"])(getattr(L.StateVec, name), *args, **kw)
        if ok:
            if not sv.check() or (type(n) is int and sv.len() != 1 << n):
                ctx.finding("random state", f"{name}({n})")
            ctx.svs.append(sv)
            del ctx.svs[:-30]
        del sv


def op_statevec_members(ctx):
    rng = ctx.rng
    sv = ctx.sv()
    r = rng.random()
    if r < 0.3:
        instr = ctx.instr() if rng.random() < 0.85 else rng.choice([sv, ctx.any_obj()])
        re0, im0 = sv_parts(sv)
        ok, res, tok = Call(ctx, "StateVec*=", [], receiver=sv, mutating=True, op=True)(sv.__imul__, instr)
        if ok and res is not NotImplemented:
            if res is not sv:
                ctx.finding("*= returned another object", "")
            psi = np.array(re0) + 1j * np.array(im0)
            qs = list(instr.qargs)
            if np.isfinite(psi).all() and np.abs(psi).max() < 1e100 and np.isfinite(instr.gate.matrix).all() \
                    and np.abs(instr.gate.matrix).max() < 1e100:
                want = apply_ref(psi, instr.gate.matrix, qs)
                a, b = sv_parts(sv)
                got = np.array(a) + 1j * np.array(b)
                scale = max(1.0, np.abs(psi).max()) * max(1.0, np.abs(instr.gate.matrix).max())
                if not np.allclose(got, want, atol=1e-13 * scale, rtol=1e-13):
                    ctx.finding("gate application", f"{instr} on {psi!r:.300}: got {got!r:.300}")
        del res
    elif r < 0.45:
        idx = ctx.hostile_int() if rng.random() < 0.5 else rng.randrange(sv.len() + 1)
        if rng.random() < 0.5:
            ok, v, tok = Call(ctx, "StateVec[]", ["index"], receiver=sv)(lambda: sv[idx])
            if ok and type(idx) in (int, bool) and not 0 <= idx < sv.len():
                ctx.finding("getitem out of range accepted", repr(idx))
        else:
            val = ctx.hostile_complex()
            ok, _, tok = Call(ctx, "StateVec[]=", ["index", "value"], receiver=sv, mutating=True)(
                sv.__setitem__, idx, val)
            if ok and type(val) is complex and type(idx) is int:
                got = sv[idx]
                if not (float_same(got.real, val.real) and float_same(got.imag, val.imag)):
                    ctx.finding("setitem", f"{val!r} -> {got!r}")
        if rng.random() < 0.1:
            ok, _, _ = Call(ctx, "del StateVec[]", ["index"], receiver=sv, mutating=True)(sv.__delitem__, 0)
            if ok:
                ctx.finding("deleted an amplitude", "")
    elif r < 0.8:
        name = rng.choice(["nqubits", "len", "normalize", "normalize_arg", "hash_value", "clone", "check"])
        re0, im0 = sv_parts(sv)
        args, kw = kwargs_for(ctx, [], [])
        ok, res, tok = Call(ctx, f"StateVec.{name}()", [], receiver=sv, mutating=name.startswith("normalize"))(
            getattr(sv, name), *args, **kw)
        if ok:
            check_sv_result(ctx, sv, name, res, re0, im0)
        del res
    else:
        other = rng.choice([sv, ctx.sv(), sv.clone(), ctx.any_obj()])
        opname = rng.choice(["==", "!=", "<", "hash", "str"])
        fns = {"==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
               "hash": lambda a, b: hash(a), "str": lambda a, b: str(a)}
        ok, v, _ = Call(ctx, f"StateVec{opname}", [], receiver=sv, op=True)(fns[opname], sv, other)
        if ok and opname == "str":
            want = sv_str_ref(*sv_parts(sv))
            if v != want:
                ctx.finding("StateVec str", f"{v!r:.200} want {want!r:.200}")
        if ok and opname in ("==", "!=") and type(other).__name__ == "StateVec":
            a, b = sv_parts(sv), sv_parts(other)
            eq = len(a[0]) == len(b[0]) and all(qgrid(x) == qgrid(y) for x, y in zip(a[0] + a[1], b[0] + b[1]))
            if v != (eq if opname == "==" else not eq):
                ctx.finding("StateVec equality", f"{opname} -> {v}")


def check_sv_result(ctx, sv, name, res, re0, im0):
    re1, im1 = sv_parts(sv)
    if name == "hash_value" and res != sv_hash_ref(re0, im0):
        ctx.finding("StateVec.hash_value", f"{res} for {re0!r:.200} {im0!r:.200}")
    elif name == "check" and res != sv_check_ref(re0, im0):
        ctx.finding("StateVec.check", f"{res} for {re0!r:.200}")
    elif name == "clone":
        if res is sv or not same_bits(sv_parts(res)[0], re0) or not same_bits(sv_parts(res)[1], im0):
            ctx.finding("StateVec.clone", "")
    elif name in ("len", "nqubits"):
        want = len(re0) if name == "len" else len(re0).bit_length() - 1
        if res != want:
            ctx.finding(f"StateVec.{name}", f"{res} want {want}")
    elif name == "normalize_arg":
        if all(math.isfinite(x) for x in re0 + im0):
            want = normalize_arg_ref(re0, im0)
            if want is not None and not (same_bits(re1, want[0]) and same_bits(im1, want[1])):
                ctx.finding("normalize_arg", f"{re0!r:.200} {im0!r:.200} -> {re1!r:.200} {im1!r:.200}")
    elif name == "normalize":
        if all(math.isfinite(x) for x in re0 + im0):
            want = normalize_ref(re0, im0)
            if want is not None and not (same_bits(re1, want[0]) and same_bits(im1, want[1])):
                ctx.finding("normalize", f"{re0!r:.200} {im0!r:.200} -> {re1!r:.200} {im1!r:.200}")


def op_evaluator(ctx):
    rng = ctx.rng
    r = rng.random()
    if r < 0.1:
        n = ctx.hostile_int() if rng.random() < 0.4 else rng.choice([0, 1, 2, 2, 3, 3, 4, 5, 6, 8, 9])
        args, kw = kwargs_for(ctx, ["nqubits"], [n])
        ok, ev, tok = Call(ctx, "Evaluator.__new__()", ["nqubits"])(L.Evaluator, *args, **kw)
        if ok:
            if type(n) is int and ev.nqubits() != n:
                ctx.finding("Evaluator.nqubits", f"{n} -> {ev.nqubits()}")
            ctx.evs.append(ev)
            del ctx.evs[:-8]
        del ev
    elif r < 0.7:
        ev = ctx.ev()
        n = ev.nqubits()
        if rng.random() < 0.7:
            circ = []
            for _ in range(rng.randrange(6)):
                g = rng.choice(ctx.gates[:23] if rng.random() < 0.8 else ctx.gates)
                k = g.nqargs
                if k > min(n, 2) or k == 0:
                    continue
                circ.append(L.Instr(g, rng.sample(range(n + (rng.random() < 0.05)), k)))
        else:
            circ = ctx.seq_of(lambda: ctx.instr() if rng.random() < 0.8 else ctx.any_obj())
        args, kw = kwargs_for(ctx, ["instrs"], [circ])
        ok, res, tok = Call(ctx, "Evaluator.evaluate()", ["instrs"], receiver=ev)(ev.evaluate, *args, **kw)
        if ok:
            st, front, back, fwd = res
            if not (type(front) is tuple and type(back) is tuple and len(front) == n == len(back)
                    and sorted(front) == list(range(n)) == sorted(back) and st.len() == 1 << n == fwd.len()):
                ctx.finding("evaluate result shape", f"{res!r:.300}")
            if not kw and len(args) == 1 and isinstance(circ, list) and rng.random() < 0.3:
                again = ev.evaluate(circ)
                if again[1:3] != res[1:3] or not same_bits(sv_parts(again[0])[0], sv_parts(st)[0]):
                    ctx.finding("evaluate not repeatable", str([str(i) for i in circ]))
        del res
    elif r < 0.85:
        ev = ctx.ev()
        name = rng.choice(["nqubits", "initial_key"])
        args, kw = kwargs_for(ctx, [], [])
        ok, res, _ = Call(ctx, f"Evaluator.{name}()", [], receiver=ev)(getattr(ev, name), *args, **kw)
        if ok and name == "initial_key" and not (0 <= res < 2**64 and res == ev.evaluate([])[0].hash_value()):
            ctx.finding("initial_key", str(res))
    else:
        ev = ctx.ev()
        other = rng.choice([ev, ctx.ev(), ctx.any_obj()])
        opname = rng.choice(["==", "!=", "<", "hash"])
        fns = {"==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
               "hash": lambda a, b: hash(a)}
        ok, v, _ = Call(ctx, f"Evaluator{opname}", [], receiver=ev, op=True)(fns[opname], ev, other)
        if ok and opname == "==" and other is ev and v is not True:
            ctx.finding("evaluator not equal to itself", "")


def misuse(ctx, classes, dunders, call=None):
    """Descriptors with foreign receivers, __new__ on foreign classes, __class__
    assignment, subclassing, pickling, copying, weak references. `dunders` are
    the special members exercised besides the public ones; `call` is the
    checked-call class (default Call)."""
    rng = ctx.rng
    cls = rng.choice(classes)
    names = [k for k in dir(cls) if not k.startswith("__") or k in dunders]
    name = rng.choice(names)
    target = ctx.any_obj()
    attr = cls.__dict__.get(name) or getattr(cls, name)
    r = rng.random()
    c = (call or Call)(ctx, f"{cls.__name__}.{name} misuse", [], op=True)
    if hasattr(attr, "__get__") and hasattr(attr, "__set__") and r < 0.3:
        c(attr.__set__, target, ctx.any_obj())
    elif hasattr(attr, "__get__") and r < 0.5:
        c(lambda: attr.__get__(target, type(target)))
    elif name == "__new__":
        c(cls.__new__, rng.choice(classes + [object, int]), *[ctx.any_obj() for _ in range(rng.randrange(4))])
    elif callable(attr):
        c(attr, target, *[ctx.any_obj() for _ in range(rng.randrange(3))])
    rr = rng.random()
    import copy
    import pickle
    import weakref
    obj = ctx.any_obj()
    if rr < 0.2:
        c(setattr, obj, "__class__", rng.choice(classes))
    elif rr < 0.35:
        c(lambda: type("Sub", (cls,), {}))
    elif rr < 0.5:
        c(pickle.dumps, obj)
    elif rr < 0.65:
        c(copy.copy, obj)
    elif rr < 0.75:
        c(copy.deepcopy, obj)
    elif rr < 0.85:
        c(weakref.ref, obj)
    else:
        c(setattr, obj, "anything", 1)


def op_misuse(ctx):
    misuse(ctx, [L.Gate, L.Instr, L.Argument, L.Instruction, L.StateVec, L.Evaluator],
           ("__call__", "__getitem__", "__setitem__", "__imul__", "__hash__", "__str__", "__repr__", "__eq__",
            "__init__", "__new__"))


OPS = [(op_gate_new, 4), (op_gate_from_name, 3), (op_gate_members, 10), (op_params_f, 3), (op_instr_new, 6),
       (op_instr_members, 10), (op_argument, 8), (op_instruction, 8), (op_statevec_new, 6),
       (op_statevec_members, 14), (op_evaluator, 8), (op_misuse, 4)]


def run_op(ctx, op):
    """Runs one fuzzing operation; whatever escapes it is recorded as a finding."""
    try:
        op(ctx)
    except RecursionError:
        pass
    except Exception as e:
        # A failure in the fuzzer's own checks of a result (for example
        # a result that breaks the reference code) is a finding too.
        ctx.finding(f"check failed in {op.__name__}", "".join(traceback.format_exception(e))[-1500:])
    except BaseException as e:
        if type(e).__name__ != "FatalError":
            raise
        ctx.finding(f"fatal error escaped in {op.__name__}", repr(e))


def worker(seed, iterations, seconds, trace, threads):
    import warnings
    warnings.simplefilter("ignore")
    rng = random.Random(seed)
    ctx = Ctx(rng, trace, threads)
    ops, weights = zip(*OPS)
    deadline = time.time() + seconds
    t0 = time.time()

    def loop(r, count):
        local = Ctx.__new__(Ctx)
        local.__dict__.update(ctx.__dict__)
        local.rng = r
        for k in range(count):
            run_op(local, r.choices(ops, weights)[0])
            if time.time() > deadline:
                break

    if threads:
        sys.setswitchinterval(1e-5)
        ts = [threading.Thread(target=loop, args=(random.Random(seed * 31 + t), iterations)) for t in range(3)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        for o in ctx.svs + ctx.args + ctx.instructions + ctx.evs + ctx.instrs:
            try:
                borrow_free(o)
            except RuntimeError as e:
                ctx.finding("access left taken after threads", str(e))
    else:
        loop(rng, iterations)
    rss_kb = int(open("/proc/self/status").read().split("VmRSS:")[1].split()[0])
    out = {"seed": seed, "seconds": round(time.time() - t0, 1), "calls": ctx.stats["calls"],
           "findings": ctx.findings, "nested": dict(ctx.nested), "rss_mb": rss_kb // 1024,
           "outcomes": dict(collections.Counter(k.rsplit(":", 1)[1] for k in ctx.stats if ":" in k
                                                for _ in range(ctx.stats[k]))),
           "members": sorted({k.rsplit(":", 1)[0] for k in ctx.stats if ":" in k}),
           "fatal": dict(ctx.fatal_msgs.most_common(40)), "registry_gates": len(ctx.gates)}
    print("RESULT " + json.dumps(out), flush=True)


# ---------------------------------------------------------------- driver


def self_test():
    """The SipHash reference against CPython's own (zero keys with PYTHONHASHSEED=0)."""
    code = "print([hash(bytes(range(n))) for n in range(1, 20)])"
    out = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONHASHSEED": "0"},
                         capture_output=True, text=True, check=True).stdout
    want = eval(out)
    got = [py_hash(siphash13(bytes(range(n)))) for n in range(1, 20)]
    assert got == want, "SipHash reference broken"


def add_driver_arguments(ap):
    ap.add_argument("--seconds", type=float, default=90, help="total wall time budget")
    ap.add_argument("--workers", type=int, default=2, help="subprocesses at a time")
    ap.add_argument("--chunk", type=float, default=15, help="seconds per worker process")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--worker", type=int, default=None, help=argparse.SUPPRESS)
    ap.add_argument("--iterations", type=int, default=10**9)
    ap.add_argument("--trace", action="store_true")


def drive(a, script, worker_args=lambda k: [], extra_summary=lambda results: ""):
    """Runs worker subprocesses of `script` until the time budget is spent and
    prints the summary; the exit status says whether anything was found.
    `worker_args(k)` gives extra arguments of the k-th worker."""
    self_test()
    seed = a.seed if a.seed is not None else random.SystemRandom().randrange(2**31)
    deadline = time.time() + a.seconds
    running, results, crashes = [], [], []
    k = 0
    while time.time() < deadline or running:
        while len(running) < a.workers and time.time() < deadline:
            s = seed + k
            extra = worker_args(k)
            k += 1
            budget = max(1.0, min(a.chunk, deadline - time.time()))
            cmd = [sys.executable, "-X", "faulthandler", script, "--worker", str(s), "--seconds", str(budget)]
            p = subprocess.Popen(cmd + extra, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            running.append((p, s, extra, time.time()))
        time.sleep(0.2)
        for item in list(running):
            p, s, extra, started = item
            if p.poll() is None:
                if time.time() - started > a.chunk * 4 + 60:
                    p.kill()
                continue
            running.remove(item)
            out, err = p.communicate()
            line = next((ln for ln in out.splitlines() if ln.startswith("RESULT ")), None)
            if p.returncode != 0 or line is None:
                crashes.append({"seed": s, "extra": extra, "returncode": p.returncode, "stderr": err[-4000:]})
                print(f"CRASH seed={s} {' '.join(extra)} rc={p.returncode}\n{err[-4000:]}", flush=True)
                continue
            r = json.loads(line[7:])
            results.append(r)
            for f in r["findings"]:
                print(f"[seed {s}] {f}", flush=True)
    calls = sum(r["calls"] for r in results)
    outcomes, fatal, nested = collections.Counter(), collections.Counter(), collections.Counter()
    members = set()
    for r in results:
        outcomes.update(r["outcomes"])
        fatal.update(r["fatal"])
        nested.update(r["nested"])
        members.update(r["members"])
    findings = sorted({f.split(":")[0] for r in results for f in r["findings"]})
    print(f"\nworker processes: {len(results)} finished, {len(crashes)} crashed; first seed {seed}")
    print(f"member calls: {calls} ({calls / max(1e-9, a.seconds):.0f}/s wall) over {len(members)} members, "
          f"{extra_summary(results)}max RSS of a worker: {max((r['rss_mb'] for r in results), default=0)} MiB")
    print("outcomes:", dict(outcomes.most_common()))
    print("re-entrant calls made during conversions:", dict(nested.most_common(12)))
    print("fatal errors by message:")
    for m, c in fatal.most_common(30):
        print(f"  {c:7d}  {m!r}")
    print(f"findings: {sum(len(r['findings']) for r in results)} {findings}")
    for c in crashes:
        print(f"re-run to locate: {sys.executable} {script} --worker {c['seed']} --seconds {a.chunk} --trace "
              + " ".join(c["extra"]))
    return 1 if crashes or any(r["findings"] for r in results) else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_driver_arguments(ap)
    ap.add_argument("--threads", action="store_true", help="also run worker processes with 3 Python threads")
    ap.add_argument("--thread-mode", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.worker is not None:
        worker(a.worker, a.iterations, a.seconds, a.trace, a.thread_mode)
        return 0
    return drive(a, __file__, lambda k: ["--thread-mode"] if a.threads and k % 3 == 2 else [])


if __name__ == "__main__":
    sys.exit(main())
