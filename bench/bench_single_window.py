"""Wall time of quarn_single_window on noise with one level shift
(default: 100,000 values, window size 10, default arguments).

    python bench/bench_single_window.py [--n 100000] [--window 10] [--repeats 7]
"""

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import median_time  # noqa: E402

import quarn  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--window", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    rng = random.Random(0)
    half = args.n // 2
    series = [rng.gauss(0.0, 1.0) for _ in range(half)]
    series += [rng.gauss(3.0, 1.0) for _ in range(args.n - half)]

    result = quarn.quarn_single_window(series, args.window)
    median, times = median_time(lambda: quarn.quarn_single_window(series, args.window),
                                args.repeats)
    print(f"n={args.n} window={args.window} positions={len(result['starts'])} "
          f"change_points={len(result['change_points'])}")
    print(f"median {median:.4f} s  min {min(times):.4f} s  max {max(times):.4f} s "
          f"over {args.repeats} runs")


if __name__ == "__main__":
    main()
