"""Peak resident memory of one detection on a long series, in a fresh
interpreter each: quarn.detect, the engine's detect (no centring and
scaling, no result object) and the native module's quarn_detector.

Each measurement reports the resident-set high-water mark (ru_maxrss) of
the whole process (interpreter, imports and the float64 series included)
before the call and after it, with the result still held. The series is
Gaussian noise whose level moves every 100,000 values.

    python bench/bench_memory.py [--sizes 10000000,50000000]
                                 [--calls quarn.detect,engine,native]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import child_peak  # noqa: E402

CALLS = {
    "quarn.detect": """
        import quarn
        def run(series):
            result = quarn.detect(series)
            return len(result.change_points)
    """,
    "engine": """
        import sys
        sys.path.insert(0, %r)
        import quarn._engine as engine
        from _harness import engine_arguments
        arguments = engine_arguments()
        def run(series):
            global result
            result = engine.detect(series, **arguments)
            return len(result["consensus"]["leaders"])
    """ % os.path.dirname(os.path.abspath(__file__)),
    "native": """
        import quarn._quarn_native as native
        def run(series):
            global result
            result = native.quarn_detector(series)
            return len(result["out"]["cdf"])
    """,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000000,50000000",
                        help="series lengths, comma-separated")
    parser.add_argument("--calls", default="quarn.detect,engine",
                        help=f"what to measure, comma-separated, of {', '.join(CALLS)}")
    args = parser.parse_args()
    calls = [c for c in args.calls.split(",") if c]
    unknown = [c for c in calls if c not in CALLS]
    if unknown:
        parser.error(f"unknown calls: {', '.join(unknown)}")
    print(f"{'call':>13} {'n':>10} {'before MB':>10} {'peak MB':>8} {'call MB':>8} "
          f"{'call B/value':>13} {'seconds':>8} {'change points':>14}")
    for n in (int(size) for size in args.sizes.split(",") if size):
        for call in calls:
            r = child_peak(call, n, CALLS[call])
            grown = r["peak"] - r["before"]
            print(f"{call:>13} {n:>10} {r['before'] / 1e6:>10.0f} {r['peak'] / 1e6:>8.0f} "
                  f"{grown / 1e6:>8.0f} {grown / n:>13.1f} {r['seconds']:>8.2f} "
                  f"{r['found']:>14}")


if __name__ == "__main__":
    main()
