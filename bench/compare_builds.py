"""CPU time of quarn_detector in two installed builds, side by side.

Each interpreter (for example the virtual environment of an older commit and
that of the working tree) runs in its own child process; the parent asks
them in turn, one detection at a time, so that load on the machine falls on
both alike. Prints, per worker count, the median process CPU time and wall
time of each build, the ratios, and whether the two builds return the same
result.

    python bench/compare_builds.py BASELINE_PYTHON CANDIDATE_PYTHON
        [--n 1000000] [--repeats 5] [--workers 1,2]

``--workers 0`` stands for the default pool (workers=None).
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline", help="python of the baseline build")
    parser.add_argument("candidate", help="python of the candidate build")
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--workers", default="1,2")
    args = parser.parse_args()

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


if __name__ == "__main__":
    sys.exit(main())
