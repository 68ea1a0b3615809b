"""Peak memory of quarn.detect on long series, in a fresh interpreter each.

For each length, a new interpreter imports numpy and quarn, builds the
series (Gaussian noise whose level moves every 100,000 values, made in
place), runs ``quarn.detect`` with the default options and keeps the
result. It reports the resident-set high-water mark (ru_maxrss) of the
whole process, interpreter, imports and series included: before the call
and at the end. The engine's own ``detect`` on the same series is shown for
comparison (no centring and scaling, no result object).

    python bench/bench_detect_memory.py [--sizes 10000000,50000000] [--engine]
"""

import argparse
import json
import subprocess
import sys
import textwrap

MEASURE = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np
    import quarn
    import quarn._engine as engine

    which, n = sys.argv[1], int(sys.argv[2])
    rng = np.random.default_rng(0)
    series = np.empty(n)
    for start in range(0, n, 100_000):
        piece = series[start:start + 100_000]
        rng.standard_normal(out=piece)
        piece += rng.choice([-3.0, 0.0, 3.0])

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    before = peak()
    start = time.perf_counter()
    if which == "quarn.detect":
        result = quarn.detect(series)
        found = len(result.change_points)
    else:
        result = engine.detect(series)
        found = len(result["consensus"]["leaders"])
    seconds = time.perf_counter() - start
    print(json.dumps({"before": before, "peak": peak(), "seconds": seconds, "found": found}))
""")


def measure(which, n):
    completed = subprocess.run([sys.executable, "-c", MEASURE, which, str(n)],
                               capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000000,50000000",
                        help="series lengths, comma-separated")
    parser.add_argument("--engine", action="store_true",
                        help="also measure quarn._engine.detect on the same series")
    args = parser.parse_args()
    ways = ["quarn.detect"] + (["engine.detect"] if args.engine else [])
    print(f"{'call':>13} {'n':>10} {'before MB':>10} {'peak MB':>8} {'peak MiB':>9} "
          f"{'call B/value':>13} {'seconds':>8} {'change points':>14}")
    for n in (int(size) for size in args.sizes.split(",") if size):
        for which in ways:
            r = measure(which, n)
            print(f"{which:>13} {n:>10} {r['before'] / 1e6:>10.0f} {r['peak'] / 1e6:>8.0f} "
                  f"{r['peak'] / 2**20:>9.0f} {(r['peak'] - r['before']) / n:>13.1f} "
                  f"{r['seconds']:>8.2f} {r['found']:>14}")


if __name__ == "__main__":
    main()
