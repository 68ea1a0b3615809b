"""Time of detection in two builds, side by side.

    python bench/compare_builds.py package BASELINE_PYTHON CANDIDATE_PYTHON
        [--n 1000000] [--repeats 5] [--workers 1,2]
    python bench/compare_builds.py core BASELINE_TOOL [--tool PATH]
        [--sizes 1000000] [--repeats 7]

package: CPU time of quarn_detector in two installed builds. Each
interpreter (for example the virtual environment of an older commit and
that of the working tree) runs in its own child process; the parent asks
them in turn, one detection at a time, so that load on the machine falls
on both alike. Prints, per worker count, the median process CPU time and wall
time of each build, the ratios, and whether the two builds return the same
result. ``--workers 0`` stands for the default pool (workers=None).

core: the core's confirm method in two builds of quarn_method_tool, run in
turn on the same series, one fresh process per run. Series: Gaussian noise
whose level or spread changes every 1,000 values, and pure Gaussian noise.
Prints the median seconds of the method (timed inside the tool, without
reading the file) of each build, the ratio tool / baseline, and whether
both found the same change points, kinds and p-values.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs inside each child: builds the series once, then one detection per
# request line ("<workers>"), answering with one JSON line.
CHILD = r"""
import hashlib, json, struct, sys, time
sys.path.insert(0, sys.argv[1])
from _series import piecewise_noise
import quarn

series = piecewise_noise(int(sys.argv[2]))

def digest(value, out):
    if isinstance(value, float):
        out.update(struct.pack("<d", value))
    elif isinstance(value, dict):
        for k, v in value.items():
            digest(k, out)
            digest(v, out)
    elif isinstance(value, (list, tuple)):
        out.update(b"[" if isinstance(value, list) else b"(")
        for v in value:
            digest(v, out)
    else:
        out.update(repr(value).encode())

print(json.dumps({"ready": quarn.__file__}), flush=True)
for line in sys.stdin:
    workers = int(line)
    cpu, wall = time.process_time(), time.perf_counter()
    result = quarn.quarn_detector(series, workers=workers or None)
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    h = hashlib.sha256()
    digest(result, h)
    print(json.dumps({"cpu": cpu, "wall": wall, "digest": h.hexdigest(),
                      "leaders": len(result["out"]["cdf"])}), flush=True)
"""


class Build:
    def __init__(self, python, n):
        if os.sep in python:  # a path: keep it valid from the child's directory
            python = os.path.abspath(python)
        self.process = subprocess.Popen(
            [python, "-c", CHILD, HERE, str(n)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True, cwd=os.path.expanduser("~"))  # outside any source tree
        self.location = json.loads(self.process.stdout.readline())["ready"]

    def run(self, workers):
        self.process.stdin.write(f"{workers}\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def package(args):
    builds = {"baseline": Build(args.baseline, args.n), "candidate": Build(args.candidate, args.n)}
    for name, build in builds.items():
        print(f"{name}: {build.location}")
    print(f"n = {args.n}, {args.repeats} runs per build and worker count, alternating")
    print(f"{'workers':>7} | {'baseline cpu':>12} {'candidate cpu':>13} {'cpu ratio':>9} | "
          f"{'baseline wall':>13} {'candidate wall':>14} {'wall ratio':>10} | same result")
    try:
        for workers in (int(w) for w in args.workers.split(",")):
            runs = {name: [] for name in builds}
            for name, build in builds.items():
                build.run(workers)  # warm-up
            for _ in range(args.repeats):
                for name, build in builds.items():
                    runs[name].append(build.run(workers))
            cpu = {name: statistics.median(r["cpu"] for r in runs[name]) for name in builds}
            wall = {name: statistics.median(r["wall"] for r in runs[name]) for name in builds}
            same = len({r["digest"] for rs in runs.values() for r in rs}) == 1
            label = str(workers) if workers else "default"
            print(f"{label:>7} | {cpu['baseline']:>12.3f} {cpu['candidate']:>13.3f} "
                  f"{cpu['baseline'] / cpu['candidate']:>9.2f} | {wall['baseline']:>13.3f} "
                  f"{wall['candidate']:>14.3f} {wall['baseline'] / wall['candidate']:>10.2f} | "
                  f"{'yes' if same else 'NO'}")
    finally:
        for build in builds.values():
            build.close()


def core(args):
    import numpy as np

    sys.path.insert(0, HERE)
    from _core_method import CoreMethod
    from _series import piecewise_noise

    tool = CoreMethod.find(args.tool)
    if tool is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    baseline = CoreMethod(args.baseline)
    print(f"baseline {baseline.tool}\ntool     {tool.tool}")
    print(f"{'series':>10} {'n':>8} {'baseline s':>10} {'tool s':>8} {'ratio':>6} {'same':>5}")
    for n in (int(s) for s in args.sizes.split(",") if s):
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[1:]))
    commands = parser.add_subparsers(dest="command", required=True)
    python = commands.add_parser("package", help="quarn_detector in two installed builds")
    python.add_argument("baseline", help="python of the baseline build")
    python.add_argument("candidate", help="python of the candidate build")
    python.add_argument("--n", type=int, default=10**6)
    python.add_argument("--repeats", type=int, default=5)
    python.add_argument("--workers", default="1,2")
    python.set_defaults(run=package)
    tool = commands.add_parser("core", help="the core's confirm method in two builds of its runner")
    tool.add_argument("baseline", help="path of the baseline quarn_method_tool")
    tool.add_argument("--tool", help="path of the quarn_method_tool to compare")
    tool.add_argument("--sizes", default="1000000")
    tool.add_argument("--repeats", type=int, default=7)
    tool.set_defaults(run=core)
    args = parser.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
