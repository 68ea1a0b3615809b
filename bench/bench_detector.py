"""Wall time of quarn_detector with default arguments on 10^4, 10^5 and 10^6
values, given as a list and as a numpy array.

    python bench/bench_detector.py [--repeats N] [--sizes 10000,100000]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _series import median_time, piecewise_noise  # noqa: E402

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
    print(f"{'n':>9} {'input':>6} {'median s':>9} {'min s':>8} {'max s':>8} {'leaders':>8}")
    for n in (int(s) for s in args.sizes.split(",")):
        values = piecewise_noise(n)
        inputs = [("list", values)]
        if numpy is not None:
            inputs.append(("numpy", numpy.asarray(values)))
        repeats = args.repeats if n < 10**6 else max(3, args.repeats // 2)
        for label, series in inputs:
            result = quarn.quarn_detector(series)  # warm-up, also the reported result
            median, times = median_time(lambda: quarn.quarn_detector(series), repeats)
            leaders = len(result["out"]["cdf"])
            print(f"{n:>9} {label:>6} {median:>9.3f} {min(times):>8.3f} {max(times):>8.3f} {leaders:>8}")


if __name__ == "__main__":
    main()
