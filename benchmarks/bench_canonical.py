"""Throughput of the canonical forms and the subcircuit splits.

Run: PYTHONPATH=build-dev/pkg python3 benchmarks/bench_canonical.py

Measures Circ.representative, Circ.rotate_representative (which includes the
randomized identity check) and the subcircuit splits of IdentityCirc on random
identities of 4-12 instructions over 2-4 qubits, once with one worker thread
and once with two (OMP_NUM_THREADS). Each configuration runs in a fresh
process because OpenMP reads the thread count at start-up; each runs three
times and the best rate is kept, since a machine shared with other work can
stall a parallel region for milliseconds when the second core is busy.
"""
import os
import subprocess
import sys

WORKER = r"""
import random, sys, time
from larkspan import Circ, Gate, Instr, IdentityCirc
from _timing import rate

rng = random.Random(12345)
ONE = [Gate.from_name(n) for n in ("h", "x", "s", "t", "z")]
TWO = [Gate.from_name(n) for n in ("cx", "cz")]

def random_identity(nqubits, ninstrs):
    half = ninstrs // 2
    while True:
        instrs = []
        for _ in range(half):
            if rng.random() < 0.4:
                a, b = rng.sample(range(nqubits), 2)
                instrs.append(Instr(rng.choice(TWO), [a, b]))
            else:
                instrs.append(Instr(rng.choice(ONE), [rng.randrange(nqubits)]))
        if {q for i in instrs for q in i.qargs} == set(range(nqubits)):
            c = Circ(instrs, tuple(rng.sample(range(nqubits), nqubits)))
            return c + c.inverse()

circs = [random_identity(rng.randint(2, 4), rng.choice((4, 6, 8, 10, 12))) for _ in range(60)]
idents = [c.rotate_representative() for c in circs]


print("representative", rate(lambda c: c.representative(), circs, 1.0))
print("rotate_representative", rate(lambda c: c.rotate_representative(), circs, 1.0))
print("subcircuit_splits", rate(lambda i: i._subcircuit_splits(), idents, 1.0))
by_len = {}
for i in idents:
    by_len.setdefault(len(i), i)
for n in sorted(by_len):
    print(f"subcircuit_splits[{n}]", rate(lambda i: i._subcircuit_splits(), [by_len[n]], 0.3))
"""


def run_once(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    here = os.path.dirname(os.path.abspath(__file__))  # the worker imports _timing from here
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, "-c", WORKER], env=env, capture_output=True, text=True, check=True)
    return dict((name, float(v)) for name, v in (line.rsplit(" ", 1) for line in out.stdout.splitlines()))


def run(threads, repeats=3):
    best = {}
    for _ in range(repeats):
        for name, v in run_once(threads).items():
            best[name] = max(best.get(name, 0.0), v)
    return best


def main():
    one, two = run(1), run(2)
    print(f"{'operation (random identities, 4-12 instrs, 2-4 qubits)':58s} {'1 thread':>12s} {'2 threads':>12s}")
    for name in one:
        print(f"{name:58s} {one[name]:10.0f}/s {two[name]:10.0f}/s")


if __name__ == "__main__":
    main()
