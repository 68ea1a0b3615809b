"""Cost of the documented package functions (quarn.wasserstein_statistic and
the others) against the extension's own functions they forward to.

Calls alternate between the two in every round, so both see the same load;
the figures are medians over the rounds, per call.

    python bench/bench_reexports.py [--rounds N]
"""

import argparse
import random
import statistics
import time

import quarn
import quarn._quarn_native as native


def per_call(function, args, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        function(*args)
    return (time.perf_counter_ns() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    rng = random.Random(1)
    step = [rng.gauss(0.0, 1.0) + (3.0 if i >= 150 else 0.0) for i in range(300)]
    cases = [
        ("wasserstein_statistic, 2+1 values", "wasserstein_statistic", ([0.0, 1.0], [0.5]), 20000),
        ("refine_cusum, 300 values", "refine_cusum", (step,), 5000),
        ("quarn_detector, 300 values", "quarn_detector", (step, [10, 20], 50), 20),
    ]
    print(f"{'call':<36} {'native ns':>11} {'package ns':>11} {'extra ns':>9} {'ratio':>6}")
    for label, name, call_args, calls in cases:
        direct, package = getattr(native, name), getattr(quarn, name)
        times = {"native": [], "package": []}
        for _ in range(args.rounds):
            times["native"].append(per_call(direct, call_args, calls))
            times["package"].append(per_call(package, call_args, calls))
        a, b = statistics.median(times["native"]), statistics.median(times["package"])
        print(f"{label:<36} {a:>11.0f} {b:>11.0f} {b - a:>9.0f} {b / a:>6.3f}")


if __name__ == "__main__":
    main()
