"""Memory over many calls of every entry point, on success and on every
failure path: growth of the resident set size (from /proc/self/statm) and of
the memory traced by tracemalloc, and the change of the reference counts of
the arguments, per case over --calls calls (default 10,000) after a warm-up.

    python bench/leak_check.py [--calls N] [--warm-up N] [--filter TEXT]

The cases are those of tests/test_leaks.py. Exits with status 1 when a case
grows by more than the limits (--rss-limit, --traced-limit, in KiB) or moves
a reference count."""

import argparse
import gc
import os
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from helpers import resident_bytes as rss_bytes  # noqa: E402
from test_leaks import CASES, refcounts, run  # noqa: E402


def measure(case, calls, warm_up):
    tracked = case.tracked()
    calls = max(1, calls // case.cost)
    run(case, max(1, warm_up // case.cost))
    gc.collect()
    counts = refcounts(tracked)

    start = time.perf_counter()
    rss_before = rss_bytes()
    run(case, calls)
    gc.collect()
    rss_growth = rss_bytes() - rss_before
    seconds = time.perf_counter() - start

    tracemalloc.start()
    try:
        traced_before, _ = tracemalloc.get_traced_memory()
        run(case, calls)
        gc.collect()
        traced_after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    ref_delta = sum(after - before for after, before in zip(refcounts(tracked), counts))
    return calls, rss_growth, traced_after - traced_before, ref_delta, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--warm-up", type=int, default=500)
    parser.add_argument("--filter", default="", help="only cases whose name contains this text")
    parser.add_argument("--rss-limit", type=float, default=1024.0, help="KiB per case")
    parser.add_argument("--traced-limit", type=float, default=64.0, help="KiB per case")
    args = parser.parse_args()

    print(f"python {sys.version.split()[0]}, {args.calls} calls per case "
          f"(cases marked * cost more per call and run calls/cost), warm-up {args.warm_up}")
    header = (f"{'case':<44} {'calls':>6} {'RSS KiB':>9} {'B/call':>8} "
              f"{'traced KiB':>10} {'refs':>5} {'s':>6}")
    print(header)
    print("-" * len(header))
    failures = []
    rss_start = rss_bytes()
    for case in CASES:
        if args.filter not in case.name:
            continue
        calls, rss, traced, refs, seconds = measure(case, args.calls, args.warm_up)
        bad = rss > args.rss_limit * 1024 or traced > args.traced_limit * 1024 or refs != 0
        if bad:
            failures.append(case.name)
        name = case.name + (" *" if case.cost > 1 else "")
        print(f"{name:<44} {calls:>6} {rss / 1024:>9.1f} {rss / calls:>8.1f} "
              f"{traced / 1024:>10.1f} {refs:>5} {seconds:>6.1f}" + ("  <-- " if bad else ""),
              flush=True)
    print("-" * len(header))
    print(f"resident set over the whole run: {(rss_bytes() - rss_start) / 1024:.1f} KiB")
    if failures:
        print(f"{len(failures)} case(s) over the limits: {', '.join(failures)}")
        return 1
    print("all cases within the limits")
    return 0


if __name__ == "__main__":
    sys.exit(main())
