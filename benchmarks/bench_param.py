"""Throughput of parameter evaluation (Gate.params_f) and of register-style instructions.

Run: PYTHONPATH=build-dev/pkg python3 benchmarks/bench_param.py
Figures include the Python call overhead; the long expressions show the matcher itself.
"""
import timeit

import numpy as np

from larkspan import Argument, Gate, Instruction

RZ = Gate.from_name("rz(pi/3)")
H, CX = Gate.from_name("h"), Gate.from_name("cx")
typical = Gate("u", ["pi/3", "-pi/16", "sin(pi/7)^2 + 2*cos(pi/5)"], np.diag([1, 3.25 + 0j]))
flat = Gate("flat", ["+".join(["pi/3"] * 10_000)], np.diag([1, 3.5 + 0j]))
nested = Gate("nested", ["(" * 100 + "pi" + ")" * 100], np.diag([1, 3.75 + 0j]))
q0, q1 = Argument("q", 0), Argument("q", 1)
inst = Instruction(CX, [q0, q1], [("c", 0)])

cases = {
    "rz(pi/3).params_f": (lambda: RZ.params_f, 200_000),
    "3 typical params": (lambda: typical.params_f, 100_000),
    "10k-term sum (per term)": (lambda: flat.params_f, 50),
    "100 nested parens": (lambda: nested.params_f, 5_000),
    "Argument('q', 0)": (lambda: Argument("q", 0), 200_000),
    "cx(q0, q1)": (lambda: CX(q0, q1), 200_000),
    "cx(0, 1)": (lambda: CX(0, 1), 200_000),
    "hash(instruction)": (lambda: hash(inst), 200_000),
    "instruction == instruction": (lambda: inst == inst, 200_000),
}
for name, (fn, n) in cases.items():
    t = min(timeit.repeat(fn, number=n, repeat=3)) / n
    if "per term" in name:
        t /= 10_000
    print(f"{name:30s} {t * 1e9:10.0f} ns/call")
