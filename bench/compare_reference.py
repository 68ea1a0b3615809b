"""Checks the core's method against its numpy reference, series by series.

    python bench/compare_reference.py [--count N] [--tool PATH]

Runs both on the real series and on N series of every synthetic group and
reports every series where the change points or their kinds differ, and
p-values that differ by more than 1e-6 relative.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import _reference_method as reference  # noqa: E402
import _synthetic  # noqa: E402
import _tcpd  # noqa: E402
from _core_method import CoreMethod  # noqa: E402


def _reference(item):
    name, values = item
    found = reference.detect(values, reference.Settings())
    return name, found.change_points, found.kinds, found.p_values


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--tool")
    parser.add_argument("--data")
    args = parser.parse_args()
    core = CoreMethod.find(args.tool)
    if core is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    items = []
    folder = args.data or _tcpd.default_folder()
    if folder:
        items += [(t.name, np.asarray(t.values, dtype=float)) for t in _tcpd.load_folder(folder)]
    for family in _synthetic.FAMILIES:
        items += [(f"{family}[{i}]", _synthetic.with_changes(family, i).values) for i in range(args.count)]
    for kind in _synthetic.NULL_KINDS:
        items += [(f"null_{kind}[{i}]", _synthetic.change_free(kind, i).values) for i in range(args.count)]
    ported = core.run_detailed([values for _, values in items])
    with multiprocessing.Pool(2) as pool:
        expected = pool.map(_reference, items, chunksize=4)
    differing = 0
    for (name, points, kinds, p_values), got in zip(expected, ported):
        if got["points"] != list(points) or got["kinds"] != list(kinds):
            differing += 1
            print(f"{name}: reference {list(zip(points, kinds))}, core {list(zip(got['points'], got['kinds']))}")
            continue
        for p, q in zip(p_values, got["p_values"]):
            if abs(p - q) > 1e-6 * max(abs(p), 1e-300):
                print(f"{name}: p-value {p!r} against {q!r}")
    print(f"{len(items) - differing} of {len(items)} series agree in change points and kinds")


if __name__ == "__main__":
    main()
