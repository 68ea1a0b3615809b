"""Time of the core's detection method in two builds, side by side.

    python bench/compare_method_builds.py BASELINE_TOOL [--tool PATH]
        [--sizes 1000000] [--repeats 7]

Both builds of quarn_method_tool run in turn on the same series, one fresh
process per run, so that load on the machine falls on both alike. Series:
Gaussian noise whose level or spread changes every 1,000 values, and pure
Gaussian noise. Prints the median seconds of the method (timed inside the
tool, without reading the file) of each build, the ratio tool / baseline,
and whether both found the same change points, kinds and p-values.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _core_method import CoreMethod  # noqa: E402
from _series import piecewise_noise  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline", help="path of the baseline quarn_method_tool")
    parser.add_argument("--tool", help="path of the quarn_method_tool to compare")
    parser.add_argument("--sizes", default="1000000")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    tool = CoreMethod.find(args.tool)
    if tool is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    baseline = CoreMethod(args.baseline)
    print(f"baseline {baseline.tool}\ntool     {tool.tool}")
    print(f"{'series':>10} {'n':>8} {'baseline s':>10} {'tool s':>8} {'ratio':>6} {'same':>5}")
    for n in (int(s) for s in args.sizes.split(",")):
        inputs = {
            "piecewise": np.asarray(piecewise_noise(n)),
            "noise": np.random.default_rng(0).standard_normal(n),
        }
        for label, values in inputs.items():
            times = {"baseline": [], "tool": []}
            same = True
            for _ in range(args.repeats):
                before = baseline.run_detailed([values])[0]
                after = tool.run_detailed([values])[0]
                times["baseline"].append(before.pop("seconds"))
                times["tool"].append(after.pop("seconds"))
                same = same and before == after
            old, new = statistics.median(times["baseline"]), statistics.median(times["tool"])
            print(f"{label:>10} {n:>8} {old:>10.3f} {new:>8.3f} {new / old:>6.2f} {str(same):>5}")


if __name__ == "__main__":
    main()
