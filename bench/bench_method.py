"""Wall time of the core's detection method next to the native detector's
defaults on the same long series, run alternately in one process each.

    python bench/bench_method.py [--sizes 100000,1000000] [--repeats 5] [--tool PATH]

Both run in the core's command-line runner (quarn_method_tool), which times
the call itself, without reading the file. Series: Gaussian noise whose level
or spread changes every 1,000 values (bench/_series.py), and pure Gaussian
noise. Prints the median time of each and the ratio method / native.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _core_method import CoreMethod  # noqa: E402
from _series import piecewise_noise  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--tool", help="path of quarn_method_tool")
    args = parser.parse_args()
    core = CoreMethod.find(args.tool)
    if core is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    print(f"cpus available: {len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()}")
    print(f"{'series':>10} {'n':>8} {'native s':>9} {'method s':>9} {'ratio':>6} {'leaders':>8} {'changes':>8}")
    for n in (int(s) for s in args.sizes.split(",")):
        inputs = {
            "piecewise": np.asarray(piecewise_noise(n)),
            "noise": np.random.default_rng(0).standard_normal(n),
        }
        for label, values in inputs.items():
            native_times, method_times = [], []
            leaders = changes = 0
            for _ in range(args.repeats):
                native = core.run_detailed([values], extra=("--native",))[0]
                method = core.run_detailed([values])[0]
                native_times.append(native["seconds"])
                method_times.append(method["seconds"])
                leaders, changes = len(native["points"] or []), len(method["points"] or [])
            native_median = statistics.median(native_times)
            method_median = statistics.median(method_times)
            print(
                f"{label:>10} {n:>8} {native_median:>9.3f} {method_median:>9.3f} "
                f"{method_median / native_median:>6.2f} {leaders:>8} {changes:>8}"
            )


if __name__ == "__main__":
    main()
