"""Peak memory of the core's detection method, per value of the series.

    python bench/bench_method_memory.py [--sizes 1000000,10000000]
                                        [--tool PATH] [--baseline PATH]

Runs quarn_method_tool once per size, in a fresh process each, on Gaussian
noise whose level or spread changes every 1,000 values, and reads the peak
resident memory of that process as the tool reports it (VmHWM; Linux only: a
parent's resource usage would also count the parent's memory at the fork). The tool itself holds the series (8 bytes
per value) and its code and thread pool; a run on 1,000 values measures
that fixed part. The method's own extra memory is the peak less the fixed
part and the series. With --baseline, a second build runs on the same files
right after, and both are printed side by side.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _core_method import CoreMethod  # noqa: E402
from _series import piecewise_noise  # noqa: E402


def peak_bytes(tool: str, path: str) -> tuple[int, float]:
    """Peak resident bytes and the method's seconds of one run."""
    run = subprocess.run([tool, "--peak-memory", path], capture_output=True, text=True, check=False)
    words = run.stdout.split()
    if run.returncode != 0 or "peak_rss_bytes" not in words:
        sys.exit(f"{tool} failed on {path}: {run.stderr or run.stdout[-500:]}")
    peak = int(words[words.index("peak_rss_bytes") + 1])
    if peak < 0:
        sys.exit("the tool cannot read its peak memory on this system")
    return peak, float(words[words.index("seconds") + 1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--tool", help="path of quarn_method_tool")
    parser.add_argument("--baseline", help="path of another quarn_method_tool to compare with")
    args = parser.parse_args()
    core = CoreMethod.find(args.tool)
    if core is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    tools = [("baseline", args.baseline)] if args.baseline else []
    tools.append(("tool", core.tool))
    with tempfile.TemporaryDirectory() as folder:
        def series_file(n: int) -> str:
            path = os.path.join(folder, f"{n}.bin")
            np.asarray(piecewise_noise(n), dtype="<f8").tofile(path)
            return path

        small = series_file(1000)
        fixed = {label: peak_bytes(tool, small)[0] for label, tool in tools}
        print("build     n           peak MB  extra B/value  seconds")
        for n in (int(s) for s in args.sizes.split(",")):
            path = series_file(n)
            for label, tool in tools:
                peak, seconds = peak_bytes(tool, path)
                extra = (peak - fixed[label] - 8 * n) / n
                print(f"{label:<9} {n:<11} {peak / 1e6:7.1f}  {extra:13.1f}  {seconds:7.2f}")
            os.remove(path)


if __name__ == "__main__":
    main()
