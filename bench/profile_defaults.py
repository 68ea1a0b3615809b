"""Where the time of quarn.detect's defaults goes, stage by stage.

    python bench/profile_defaults.py [--sizes 1000,5000,20000,100000,1000000]
                                     [--repeats 3] [--tool PATH]
                                     [--baseline OTHER_TOOL]

Series: Gaussian noise with a level shift of 1.5 standard deviations every
1,000 values, up or down at random (bench/_shifts.py).
For every size it prints the median wall time of
``quarn.detect(x)``, its time per value, and a table of stages with their
median seconds, their share of the call and their time per value:

- Python: the input checks and the copy of the series (``prepare_series``,
  ``check_options``, ``float_values``), and everything after the engine
  returned (building the result);
- the core, timed stage by stage by its command-line runner
  (``quarn_method_tool --profile``, built with the core's tests, which
  runs the method once untimed first, as the calls before it in a running
  program would have): the standardisation, the seasonal search, the
  standardised copy, the candidate detector (all window sizes as the
  method runs them; below it, each window size run on its own, which is
  not counted in the total), the rank scores, the whole-stretch
  candidates, the dependence estimates, the confirmation (the
  eliminations), the relocation and the naming.

The core's stages are scaled to the time the engine took inside
``quarn.detect`` (the runner's own sum differs from it by a few per cent),
so that the shares add up to the call.

With ``--baseline``, an older build's runner (for example one built from an
earlier commit) is timed in turn with ``--tool`` on the same series, and a
second table sets the two builds' core stages side by side: the seconds the
runners measured themselves (unscaled) and the ratio tool / baseline.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _core_method import CANDIDATES  # noqa: E402
from _shifts import level_shifts  # noqa: E402

import quarn  # noqa: E402
from quarn import _runner  # noqa: E402
from quarn._inputs import float_values, prepare_series  # noqa: E402
from quarn.options import check_options  # noqa: E402

DEFAULT_OPTIONS = dict(
    method="confirm", window_sizes=None, n_perm=None, alpha=None, seed=123, tol=None,
    workers=None, change_type=None, block_length=None, taper_ratio=None, center=None,
    progress=None,
)



class EngineClock:
    """Times the engine's calls inside quarn.detect."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.original = _runner._engine.run

    def __enter__(self) -> EngineClock:
        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return self.original(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start

        _runner._engine.run = timed
        return self

    def __exit__(self, *exc) -> None:
        _runner._engine.run = self.original


def python_side(x: np.ndarray, repeats: int) -> dict[str, float]:
    totals, engine, checks = [], [], []
    for _ in range(repeats):
        start = time.perf_counter()
        float_values(prepare_series(x))
        check_options(dict(DEFAULT_OPTIONS))
        checks.append(time.perf_counter() - start)
        with EngineClock() as clock:
            start = time.perf_counter()
            quarn.detect(x)
            totals.append(time.perf_counter() - start)
        engine.append(clock.seconds)
    total, inside, check = (statistics.median(v) for v in (totals, engine, checks))
    return {"total": total, "engine": inside, "checks": check,
            "building": max(total - inside - check, 0.0)}


def core_stages(tools: list[str], x: np.ndarray, repeats: int) -> list[dict[str, float]]:
    """Median seconds of each stage, per runner; the runners take turns."""
    runs: list[dict[str, list[float]]] = [{} for _ in tools]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "series.f64")
        x.astype("<f8").tofile(path)
        for _ in range(repeats):
            for tool, found in zip(tools, runs):
                text = subprocess.run([tool, "--profile", path], check=True,
                                      capture_output=True, text=True).stdout
                for line in text.splitlines():
                    if line.startswith("# stage "):
                        _, _, name, seconds = line.split()
                        found.setdefault(name, []).append(float(seconds))
    return [{name: statistics.median(v) for name, v in found.items()} for found in runs]


def print_comparison(baseline: dict[str, float], core: dict[str, float]) -> None:
    print(f"{'stage (core runners)':>24} {'baseline s':>11} {'tool s':>10} {'ratio':>7}")
    for name in [*baseline, *(k for k in core if k not in baseline)]:
        old, new = baseline.get(name, float("nan")), core.get(name, float("nan"))
        print(f"{name:>24} {old:11.5f} {new:10.5f} {new / old if old > 0 else float('nan'):7.2f}")
    old = sum(v for k, v in baseline.items() if not k.startswith("window_"))
    new = sum(v for k, v in core.items() if not k.startswith("window_"))
    print(f"{'all stages':>24} {old:11.5f} {new:10.5f} {new / old if old > 0 else float('nan'):7.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,5000,20000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tool", help="path of quarn_method_tool")
    parser.add_argument("--baseline", help="path of another build's quarn_method_tool")
    args = parser.parse_args()
    tool = args.tool or next((p for p in CANDIDATES if os.access(p, os.X_OK)), None)
    if tool is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"processors: {cpus}; load average (1 min) {os.getloadavg()[0]:.2f}; "
          f"medians of {args.repeats}")
    for n in (int(s) for s in args.sizes.split(",")):
        x = level_shifts(n)
        quarn.detect(x)  # warm up
        py = python_side(x, args.repeats)
        tools = [tool, args.baseline] if args.baseline else [tool]
        core, *others = core_stages(tools, x, args.repeats)
        windows = {k: v for k, v in core.items() if k.startswith("window_")}
        stages = {k: v for k, v in core.items() if not k.startswith("window_")}
        scale = py["engine"] / max(sum(stages.values()), 1e-12)
        rows = [("input checks and copy", py["checks"])]
        rows += [(name, seconds * scale) for name, seconds in stages.items()]
        rows += [("result building", py["building"])]
        print(f"\nn = {n:,}: detect {py['total']:.4f} s, "
              f"{py['total'] / n * 1e6:.2f} us per value (engine {py['engine']:.4f} s)")
        print(f"{'stage':>24} {'seconds':>10} {'share %':>8} {'ns/value':>10}")
        for name, seconds in rows:
            print(f"{name:>24} {seconds:10.5f} {100 * seconds / py['total']:8.1f} "
                  f"{seconds / n * 1e9:10.1f}")
        for name, seconds in windows.items():
            label = f"(alone) size {name.removeprefix('window_')}"
            print(f"{label:>24} {seconds * scale:10.5f} "
                  f"{100 * seconds * scale / py['total']:8.1f} {seconds * scale / n * 1e9:10.1f}")
        if others:
            print()
            print_comparison(others[0], core)


if __name__ == "__main__":
    main()
