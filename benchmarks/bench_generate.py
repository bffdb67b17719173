"""Throughput of RawECCs.generate: classes found, circuits evaluated, wall
time and circuits evaluated per second, on one thread and on all cores.

Run: PYTHONPATH=build-dev/pkg python3 benchmarks/bench_generate.py [--repeat N] [--quick]

Each measurement runs in a fresh process whose OpenMP thread count is set
through OMP_NUM_THREADS (read once when the runtime loads). The search's
progress lines are sent to /dev/null. Times are the best of --repeat runs and
cover generate only (not simplify); classes are counted with simplify.
"""
import argparse
import json
import os
import subprocess
import sys
import time

# (qubits, gates, max_size); the first five are the reference workloads. Most
# of them take a few milliseconds, less than a search needs before it starts
# its helper threads (some 8000 queued evaluations), so they stay on one
# thread; the larger ones show the parallel speedup.
WORKLOADS = [
    (1, ("h", "s", "t"), 6),
    (2, ("h", "s", "t", "cx"), 4),
    (3, ("h", "t", "cx"), 4),
    (3, ("h", "x", "s", "t", "cx"), 4),
    (4, ("h", "cx"), 4),
    (2, ("h", "s", "t", "cx"), 6),
    (3, ("h", "t", "cx"), 5),
    (3, ("h", "x", "s", "t", "cx"), 5),
    (4, ("h", "t", "cx"), 5),
    (2, ("h", "s", "t", "cx"), 7),
    (3, ("h", "x", "s", "t", "cx"), 6),
]


def child(n, names, size, repeat):
    """Runs one workload `repeat` times in this process; prints JSON on the original stdout."""
    out = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    from larkspan import Evaluator, Gate, RawECCs

    gates = [Gate.from_name(g) for g in names]
    best = None
    for _ in range(repeat):
        ev = Evaluator(n)
        t0 = time.perf_counter()
        raw, counters = RawECCs.generate(ev, gates, size)
        dt = time.perf_counter() - t0
        if best is None or dt < best[0]:
            best = (dt, counters, len(raw.simplify()))
    dt, counters, classes = best
    os.write(out, (json.dumps({"seconds": dt, "evaluated": counters[1], "classes": classes}) + "\n").encode())


def measure(n, names, size, threads, repeat):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--child", str(n), ",".join(names), str(size), str(repeat)]
    res = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="only the five reference workloads")
    p.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        n, names, size, repeat = a.child
        child(int(n), names.split(","), int(size), int(repeat))
        return
    cores = os.cpu_count() or 1
    header = (f"{'qubits':>6} {'gates':<14} {'size':>4} {'classes':>8} {'evaluated':>10} "
              f"{'1 thread s':>10} {'circ/s':>10} {f'{cores} threads s':>11} {'circ/s':>10} {'speedup':>7}")
    print(header)
    print("-" * len(header))
    for n, names, size in WORKLOADS[:5] if a.quick else WORKLOADS:
        one = measure(n, names, size, 1, a.repeat)
        all_ = measure(n, names, size, cores, a.repeat)
        rate1 = one["evaluated"] / one["seconds"]
        rate_all = all_["evaluated"] / all_["seconds"]
        print(f"{n:>6} {','.join(names):<14} {size:>4} {one['classes']:>8} {one['evaluated']:>10} "
              f"{one['seconds']:>10.4f} {rate1:>10.0f} {all_['seconds']:>11.4f} {rate_all:>10.0f} "
              f"{one['seconds'] / all_['seconds']:>6.2f}x", flush=True)


if __name__ == "__main__":
    main()
