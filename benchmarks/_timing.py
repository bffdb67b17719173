"""Shared timing helper of the benchmark scripts."""
import time


def rate(fn, items, min_time=0.5):
    """Calls fn on every item, round after round, for at least min_time
    seconds; returns calls per second."""
    calls, start = 0, time.perf_counter()
    while True:
        for it in items:
            fn(it)
        calls += len(items)
        elapsed = time.perf_counter() - start
        if elapsed >= min_time:
            return calls / elapsed
