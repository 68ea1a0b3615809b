"""Per-call cost of ``quarn.detect(x)`` on the calling thread, in two builds.

    python bench/compare_calling_thread.py --baseline-path DIR
                                           [--sizes 50,1000,5000] [--rounds 15]

The calling thread runs the package's Python layer (checks, the private
copy, building the result), the engine's hand-over of the work to its run
thread and its conversion of what the core found into Python objects; the
detection itself runs on the run thread and the pool, whose time is left
out. Its processor time (``time.thread_time``) is therefore the fixed cost
of a call, free of the pool's waiting and much less noisy on a loaded
machine than wall time, which is printed beside it.

The baseline is the package found first on ``DIR`` (for example an older
build's package directory copied there); the candidate is the package this
interpreter imports without it. Each runs in a child interpreter; the
parent asks them in turn, 40 calls at a time. Series: Gaussian noise with a
level shift of 1.5 standard deviations every 1,000 values (bench/_shifts.py).
Prints per size the medians over rounds of each batch's median.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CALLS = 40

CHILD = r"""
import json, statistics, sys, time
sys.path.insert(0, sys.argv[1])
from _shifts import level_shifts
import quarn

series = {}
print(json.dumps({"ready": quarn.__file__}), flush=True)
for line in sys.stdin:
    n, calls = map(int, line.split())
    x = series.setdefault(n, level_shifts(n, seed=1))
    quarn.detect(x)
    threads, walls = [], []
    for _ in range(calls):
        thread, wall = time.thread_time(), time.perf_counter()
        quarn.detect(x)
        threads.append(time.thread_time() - thread)
        walls.append(time.perf_counter() - wall)
    print(json.dumps([statistics.median(threads), statistics.median(walls)]), flush=True)
"""


def start(path: str | None) -> subprocess.Popen[str]:
    environment = dict(os.environ)
    environment.pop("PYTHONPATH", None)
    if path:
        environment["PYTHONPATH"] = path
    child = subprocess.Popen([sys.executable, "-c", CHILD, HERE], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=environment, cwd=HERE)
    assert child.stdin is not None and child.stdout is not None
    print("#", json.loads(child.stdout.readline())["ready"])
    return child


def ask(child: subprocess.Popen[str], n: int) -> list[float]:
    assert child.stdin is not None and child.stdout is not None
    child.stdin.write(f"{n} {CALLS}\n")
    child.stdin.flush()
    return json.loads(child.stdout.readline())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline-path", required=True)
    parser.add_argument("--sizes", default="50,1000,5000")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    children = {"before": start(args.baseline_path), "after": start(None)}
    print(f"{'n':>7} {'before thread':>14} {'after thread':>13} {'ratio':>6} "
          f"{'before wall':>12} {'after wall':>11}  (us)")
    for n in (int(size) for size in args.sizes.split(",")):
        times: dict[str, list[list[float]]] = {name: [] for name in children}
        for round_ in range(args.rounds):
            order = list(children)
            for name in order if round_ % 2 == 0 else order[::-1]:
                times[name].append(ask(children[name], n))
        thread = {k: statistics.median(t[0] for t in v) * 1e6 for k, v in times.items()}
        wall = {k: statistics.median(t[1] for t in v) * 1e6 for k, v in times.items()}
        print(f"{n:>7} {thread['before']:>14.1f} {thread['after']:>13.1f} "
              f"{thread['before'] / thread['after']:>6.2f} {wall['before']:>12.1f} "
              f"{wall['after']:>11.1f}")
    for child in children.values():
        assert child.stdin is not None
        child.stdin.close()
        child.wait()


if __name__ == "__main__":
    main()
