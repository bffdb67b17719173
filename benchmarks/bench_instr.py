"""Throughput of the Instr class from Python: construction, relabelling, hashing, masks.

Run: PYTHONPATH=build-dev/pkg python3 benchmarks/bench_instr.py
Figures include the Python call overhead, which dominates these tiny operations.
"""
import timeit

from larkspan import Gate, Instr

H, CX = Gate.from_name("h"), Gate.from_name("cx")
cx = Instr(CX, [0, 2])
perm = (1, 2, 0, 4, 3)
N = 200_000

cases = {
    "Instr(cx, [0, 2])": lambda: Instr(CX, [0, 2]),
    "apply_permutation(5-tuple)": lambda: cx.apply_permutation(perm),
    "hash(instr)": lambda: hash(cx),
    "pass_mask(1)": lambda: cx.pass_mask(1),
    "disjoint(other)": lambda: cx.disjoint(cx),
    "str(instr)": lambda: str(cx),
}
for name, fn in cases.items():
    t = min(timeit.repeat(fn, number=N, repeat=3)) / N
    print(f"{name:30s} {t * 1e9:8.0f} ns/call")
