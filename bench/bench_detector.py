"""Wall and CPU time of quarn_detector with default arguments on 10^4, 10^5
and 10^6 values, given as a list and as a numpy array, on one worker thread
and on the default pool.

    python bench/bench_detector.py [--repeats N] [--sizes 10000,100000]

CPU time is the process's (all threads), so the ratio of CPU time to wall
time shows how many cores a run kept busy.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import median_wall_and_cpu  # noqa: E402
from _series import piecewise_noise  # noqa: E402

import quarn  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    args = parser.parse_args()
    try:
        import numpy
    except ImportError:
        numpy = None

    print(f"cpus available: {len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()}")
    print(f"{'n':>9} {'input':>6} {'workers':>7} {'median s':>9} {'min s':>8} {'max s':>8} "
          f"{'cpu s':>8} {'leaders':>8}")
    for n in (int(s) for s in args.sizes.split(",")):
        values = piecewise_noise(n)
        inputs = [("list", values)]
        if numpy is not None:
            inputs.append(("numpy", numpy.asarray(values)))
        repeats = args.repeats if n < 10**6 else max(3, args.repeats // 2)
        for label, series in inputs:
            for workers in (1, None):
                def run():
                    return quarn.quarn_detector(series, workers=workers)

                result = run()  # warm-up, also the reported result
                median, times, cpu = median_wall_and_cpu(run, repeats)
                leaders = len(result["out"]["cdf"])
                print(f"{n:>9} {label:>6} {workers or 'pool':>7} {median:>9.3f} {min(times):>8.3f} "
                      f"{max(times):>8.3f} {cpu:>8.3f} {leaders:>8}")


if __name__ == "__main__":
    main()
