"""Change points, kinds and p-values of the core's method on the whole
accuracy benchmark, saved to a file or compared between builds.

    python bench/method_outputs.py save FILE [--tool PATH] [--count 50]
    python bench/method_outputs.py compare FILE [--tool PATH] [--count 50]

The series are those of bench/accuracy.py: the real series (when the data
folder is found), `count` series of every synthetic family and change-free
kind, and the change-free Gaussian series of the alarm shares at alpha 0.05
and 0.01. `compare` runs the tool again and reports every series whose
change points or kinds differ, and the largest relative difference of the
p-values.
"""

from __future__ import annotations

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import _synthetic  # noqa: E402
import _tcpd  # noqa: E402
from _core_method import CoreMethod  # noqa: E402

#: As in bench/accuracy.py.
ALARM_LENGTHS = (500, 5000)
ALARM_COUNT = 200


def benchmark_series(count: int, data: str | None) -> list[tuple[str, np.ndarray]]:
    items = []
    folder = data or _tcpd.default_folder()
    if folder:
        items += [(f"tcpd/{t.name}", np.asarray(t.values, dtype=float)) for t in _tcpd.load_folder(folder)]
    for family in _synthetic.FAMILIES:
        items += [(f"{family}[{i}]", _synthetic.with_changes(family, i).values) for i in range(count)]
    for kind in _synthetic.NULL_KINDS:
        items += [(f"null_{kind}[{i}]", _synthetic.change_free(kind, i).values) for i in range(count)]
    return items


def run_all(core: CoreMethod, count: int, data: str | None) -> dict[str, dict]:
    items = benchmark_series(count, data)
    results = {}
    for (name, _), got in zip(items, core.run_detailed([values for _, values in items])):
        results[name] = got
    alarm = [_synthetic.change_free("gauss", i, lengths=ALARM_LENGTHS).values for i in range(ALARM_COUNT)]
    for alpha in (0.05, 0.01):
        for i, got in enumerate(core.run_detailed(alarm, alpha=alpha)):
            results[f"alarm[{i}] alpha {alpha}"] = got
    for got in results.values():
        got.pop("seconds", None)
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=("save", "compare"))
    parser.add_argument("file")
    parser.add_argument("--tool", help="path of quarn_method_tool")
    parser.add_argument("--count", type=int, default=50, help="series per synthetic group")
    parser.add_argument("--data", help="TCPD data folder")
    args = parser.parse_args()
    core = CoreMethod.find(args.tool)
    if core is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    results = run_all(core, args.count, args.data)
    if args.action == "save":
        with open(args.file, "w") as out:
            json.dump(results, out)
        changes = sum(len(r["points"] or []) for r in results.values())
        print(f"saved {len(results)} series, {changes} change points, to {args.file}")
        return
    with open(args.file) as source:
        saved = json.load(source)
    differing, worst = 0, 0.0
    for name, before in saved.items():
        after = results.get(name)
        if after is None or after["points"] != before["points"] or after["kinds"] != before["kinds"]:
            differing += 1
            print(f"{name}: before {before['points']} {before['kinds']}")
            print(f"{' ' * len(name)}  after  {after and after['points']} {after and after['kinds']}")
            continue
        for p, q in zip(before["p_values"], after["p_values"]):
            if p != q:
                worst = max(worst, abs(p - q) / max(abs(p), 1e-300))
    print(f"{len(saved) - differing} of {len(saved)} series agree in change points and kinds")
    print(f"largest relative difference of a p-value: {worst:.3g}")


if __name__ == "__main__":
    main()
