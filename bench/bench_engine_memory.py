"""Peak resident memory of one detection on a long series: the engine at
10^7 and 5*10^7 values, the native module at 10^7 for comparison.

Each measurement runs in a fresh interpreter and reports its resident-set
high-water mark (ru_maxrss) in MB: before the call (interpreter, numpy,
quarn and the float64 series) and after it, with the result still held.
The series is Gaussian noise whose level moves every 100,000 values.

    python bench/bench_engine_memory.py [--sizes 10000000,50000000] [--native 10000000]
"""

import argparse
import json
import subprocess
import sys
import textwrap

MEASURE = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np
    import quarn._engine as engine
    import quarn._quarn_native as native

    which, n = sys.argv[1], int(sys.argv[2])
    # Gaussian noise whose level moves every 100,000 values, made in place
    # so that no temporary array raises the high-water mark.
    rng = np.random.default_rng(0)
    series = np.empty(n)
    for start in range(0, n, 100_000):
        piece = series[start:start + 100_000]
        rng.standard_normal(out=piece)
        piece += rng.choice([-3.0, 0.0, 3.0])
    def peak_mb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    before = peak_mb()
    start = time.perf_counter()
    if which == "engine":
        result = engine.detect(series)
        leaders = len(result["consensus"]["leaders"])
    else:
        result = native.quarn_detector(series)
        leaders = len(result["out"]["cdf"])
    seconds = time.perf_counter() - start
    print(json.dumps({"before": before, "peak": peak_mb(), "seconds": seconds,
                      "leaders": leaders}))
""")


def measure(which, n):
    completed = subprocess.run([sys.executable, "-c", MEASURE, which, str(n)],
                               capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000000,50000000",
                        help="series lengths for the engine, comma-separated")
    parser.add_argument("--native", default="10000000",
                        help="series lengths for the native module ('' for none)")
    args = parser.parse_args()
    runs = [("engine", int(n)) for n in args.sizes.split(",") if n]
    runs += [("native", int(n)) for n in args.native.split(",") if n]
    print(f"{'module':>7} {'n':>10} {'before MB':>10} {'peak MB':>9} {'call MB':>8} "
          f"{'B/value':>8} {'seconds':>8} {'leaders':>8}")
    for which, n in runs:
        r = measure(which, n)
        grown = r["peak"] - r["before"]
        print(f"{which:>7} {n:>10} {r['before']:>10.0f} {r['peak']:>9.0f} {grown:>8.0f} "
              f"{grown * 2**20 / n:>8.1f} {r['seconds']:>8.2f} {r['leaders']:>8}")


if __name__ == "__main__":
    main()
