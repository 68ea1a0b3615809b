"""Per-call time of ``quarn.detect(x)`` (the defaults) in two builds, in turn.

    python bench/compare_calls.py --baseline-path DIR [--baseline-python PY]
                                  [--sizes 50,1000,5000] [--rounds 9]
                                  [--clock process|thread]

The baseline is the package found first on ``DIR`` (for example an older
wheel installed with ``pip install --target DIR``), run by ``PY`` (by default
this interpreter); the candidate is the package this interpreter imports
without it. Each build runs in a child interpreter of its own; the parent
asks them in turn, a batch of calls at a time, so that load on a shared
machine falls on both alike. Series: Gaussian noise with a level shift of
1.5 standard deviations every 1,000 values (bench/_shifts.py).

Prints per size the median over rounds of each batch's median wall time
and CPU time, and the ratios before / after. The CPU time is the process's
(``--clock process``, the default: it counts the pool's workers) or the
calling thread's (``--clock thread``). The calling thread runs the package's
Python layer (checks, the private copy, building the result), the engine's
hand-over of the work to its run thread and its conversion of what the core
found into Python objects, while the detection itself runs on the run
thread and the pool: its time is the fixed cost of a call, free of the
pool's waiting and much less noisy on a loaded machine than wall time.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

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
    clock = time.thread_time if sys.argv[2] == "thread" else time.process_time
    walls, cpus = [], []
    for _ in range(calls):
        cpu, wall = clock(), time.perf_counter()
        quarn.detect(x)
        walls.append(time.perf_counter() - wall)
        cpus.append(clock() - cpu)
    print(json.dumps([statistics.median(walls), statistics.median(cpus)]), flush=True)
"""


def start(python: str, path: str | None, clock: str) -> subprocess.Popen[str]:
    environment = dict(os.environ)
    environment.pop("PYTHONPATH", None)
    if path:
        environment["PYTHONPATH"] = path
    child = subprocess.Popen([python, "-c", CHILD, HERE, clock], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=environment, cwd=HERE)
    assert child.stdin is not None and child.stdout is not None
    print("#", json.loads(child.stdout.readline())["ready"])
    return child


def ask(child: subprocess.Popen[str], n: int, calls: int) -> list[float]:
    assert child.stdin is not None and child.stdout is not None
    child.stdin.write(f"{n} {calls}\n")
    child.stdin.flush()
    return json.loads(child.stdout.readline())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline-path", required=True)
    parser.add_argument("--baseline-python", default=sys.executable)
    parser.add_argument("--sizes", default="50,1000,5000")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--clock", choices=("process", "thread"), default="process")
    args = parser.parse_args()
    before = start(args.baseline_python, args.baseline_path, args.clock)
    after = start(sys.executable, None, args.clock)
    print(f"{'n':>7} {'before wall':>12} {'after wall':>11} {'ratio':>6} "
          f"{'before cpu':>11} {'after cpu':>10} {'ratio':>6}  (ms; cpu: {args.clock})")
    for n in (int(size) for size in args.sizes.split(",")):
        calls = max(3, min(200, 10_000 // max(n, 1)))
        times: dict[str, list[list[float]]] = {"before": [], "after": []}
        for round_ in range(args.rounds):
            order = [("before", before), ("after", after)]
            for name, child in order if round_ % 2 == 0 else order[::-1]:
                times[name].append(ask(child, n, calls))
        wall = {k: statistics.median(t[0] for t in v) for k, v in times.items()}
        cpu = {k: statistics.median(t[1] for t in v) for k, v in times.items()}
        print(f"{n:>7} {wall['before'] * 1e3:>12.3f} {wall['after'] * 1e3:>11.3f} "
              f"{wall['before'] / wall['after']:>6.2f} {cpu['before'] * 1e3:>11.3f} "
              f"{cpu['after'] * 1e3:>10.3f} {cpu['before'] / cpu['after']:>6.2f}")
    for child in (before, after):
        assert child.stdin is not None
        child.stdin.close()
        child.wait()


if __name__ == "__main__":
    main()
