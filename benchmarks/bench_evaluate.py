"""Evaluations per second of Evaluator.evaluate on random circuits.

Run: PYTHONPATH=build-dev/pkg python3 benchmarks/bench_evaluate.py
For each qubit count, 2000 random circuits of 1-6 instructions are evaluated
repeatedly. Two gate mixes: built-ins with fast kernels (h, x, s, t, tdg, cx,
swap) and gates that take the dense matrix path (y, rz(pi/5), cz, cy). The
figures include the Python call and the conversion of the 4-tuple result
(two new StateVec objects); the "call floor" row shows that fixed cost.
"""
import random

from larkspan import Evaluator, Gate, Instr
from _timing import rate

MIXES = {
    "fast kernels": (["h", "x", "s", "t", "tdg"], ["cx", "swap"]),
    "dense path": (["y", "rz(pi/5)"], ["cz", "cy"]),
}


def circuits(n, one_q, two_q, count, rng):
    out = []
    for _ in range(count):
        c = []
        for _ in range(rng.randint(1, 6)):
            if n >= 2 and rng.random() < 0.4:
                a, b = rng.sample(range(n), 2)
                c.append(Instr(Gate.from_name(rng.choice(two_q)), [a, b]))
            else:
                c.append(Instr(Gate.from_name(rng.choice(one_q)), [rng.randrange(n)]))
        out.append(c)
    return out




def main():
    rng = random.Random(1)
    print(f"{'qubits':>6} {'gates':>13} {'evals/s':>12} {'us/eval':>9}")
    for n in (2, 3, 4, 5):
        ev = Evaluator(n)
        for mix, (one_q, two_q) in MIXES.items():
            cs = circuits(n, one_q, two_q, 2000, rng)
            r = rate(ev.evaluate, cs)
            print(f"{n:>6} {mix:>13} {r:>12,.0f} {1e6 / r:>9.2f}")
        r = rate(lambda _: ev.nqubits(), list(range(2000)))
        print(f"{n:>6} {'call floor':>13} {r:>12,.0f} {1e6 / r:>9.2f}")
    ev = Evaluator(5)
    r = rate(lambda _: ev.initial_key(), list(range(50)))
    print(f"initial_key on 5 qubits (120 tied candidates): {r:,.0f}/s")


if __name__ == "__main__":
    main()
