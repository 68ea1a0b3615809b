"""Wall time of quarn.detect's defaults (the confirm method) next to the
native detector's defaults on the same series, run alternately.

    python bench/bench_defaults.py [--sizes 100000,1000000] [--repeats 5]

Three calls per series: ``quarn.detect(x)`` (the defaults),
``quarn.detect(x, method="native")`` and ``quarn.quarn_detector(x)`` (the
native module as it is). Series: Gaussian noise whose level or spread
changes every 1,000 values, and pure Gaussian noise. Prints medians, the
ratio defaults / native module, and the share of the processors the process
got (the machine may be shared).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _series import piecewise_noise  # noqa: E402

import quarn  # noqa: E402

CALLS = {
    "defaults": lambda x: quarn.detect(x),
    "native method": lambda x: quarn.detect(x, method="native"),
    "quarn_detector": lambda x: quarn.quarn_detector(x),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"processors: {cpus}")
    header = "".join(f"{name + ' s':>18}" for name in CALLS)
    print(f"{'series':>10} {'n':>8}{header} {'ratio':>6} {'cpu share':>10}")
    for n in (int(s) for s in args.sizes.split(",")):
        inputs = {
            "piecewise": np.asarray(piecewise_noise(n)),
            "noise": np.random.default_rng(5).normal(size=n),
        }
        for label, x in inputs.items():
            times: dict[str, list[float]] = {name: [] for name in CALLS}
            wall = cpu = 0.0
            for _ in range(args.repeats):
                for name, call in CALLS.items():
                    start, start_cpu = time.perf_counter(), time.process_time()
                    call(x)
                    times[name].append(time.perf_counter() - start)
                    wall += times[name][-1]
                    cpu += time.process_time() - start_cpu
            medians = {name: statistics.median(values) for name, values in times.items()}
            cells = "".join(f"{medians[name]:18.3f}" for name in CALLS)
            ratio = medians["defaults"] / medians["quarn_detector"]
            print(f"{label:>10} {n:>8}{cells} {ratio:6.2f} {cpu / wall / cpus:10.2f}")


if __name__ == "__main__":
    main()
