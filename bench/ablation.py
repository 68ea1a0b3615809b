"""What each idea of the detection method contributes: the reference
implementation with one idea switched off at a time, on the real and
synthetic series of bench/accuracy.py.

    python bench/ablation.py [--count N] [--processes P] [--only NAME,...]

Prints F1 / cover per group and false alarms per 1000 values (share of
series with any alarm) on change-free noise, one row per variant.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import _reference_method as reference  # noqa: E402
import _synthetic  # noqa: E402
import _tcpd  # noqa: E402
from quarn.metrics import cover, f1  # noqa: E402

#: Variant name and the settings it changes.
VARIANTS = (
    ("full method", {}),
    ("no trend handling", {"trend": False}),
    ("dependence from candidates only (no pilot)", {"factors": "pool"}),
    ("no dependence factors", {"factors": "none"}),
    ("no relocation", {"relocate": False}),
    ("relocation by level CUSUM only", {"smooth_relocate": False}),
    ("no spread test", {"spread": False}),
    ("no shape test", {"shape": False}),
    ("no scan term (kappa 0)", {"kappa": 0.0}),
    ("no winsorizing", {"win_c": 0.0}),
    ("no per-test minimum sides", {"min_sides": {}}),
    ("no merging of close candidates", {"merge_gap": 0}),
)

_TCPD = None


def _score(task):
    changes, group, index = task
    settings = reference.Settings(**changes)
    if group == "TCPD":
        item = _TCPD[index]
        values = np.asarray(item.values, dtype=float)
        truth = item.annotations
    elif group.startswith("null_"):
        values = _synthetic.change_free(group[5:], index).values
        truth = {"truth": []}
    else:
        item = _synthetic.with_changes(group, index)
        values, truth = item.values, {"truth": item.change_points}
    points = reference.detect(values, settings).change_points
    return group, f1(truth, points), cover(truth, points, len(values)), len(points), len(values)


def _init(folder):
    global _TCPD
    _TCPD = _tcpd.load_folder(folder) if folder else []


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=50, help="series per synthetic group")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--data", help="TCPD data folder")
    parser.add_argument("--only", default="", help="comma-separated variant names")
    args = parser.parse_args()
    folder = args.data or _tcpd.default_folder()
    tcpd_count = len(_tcpd.load_folder(folder)) if folder else 0
    groups = [*_synthetic.FAMILIES, *("null_" + k for k in _synthetic.NULL_KINDS)]
    wanted = {s.strip() for s in args.only.split(",") if s.strip()}
    header = ["TCPD"] * bool(tcpd_count) + list(_synthetic.FAMILIES) + list(_synthetic.NULL_KINDS)
    print("variant | " + " | ".join(header))
    with multiprocessing.Pool(args.processes, initializer=_init, initargs=(folder,)) as pool:
        for name, changes in VARIANTS:
            if wanted and name not in wanted:
                continue
            tasks = [(changes, "TCPD", i) for i in range(tcpd_count)]
            tasks += [(changes, g, i) for g in groups for i in range(args.count)]
            results = pool.map(_score, tasks, chunksize=4)
            cells = []
            for group in ["TCPD"] * bool(tcpd_count) + groups:
                rows = [r for r in results if r[0] == group]
                if group.startswith("null_"):
                    alarms = 1000.0 * sum(r[3] for r in rows) / sum(r[4] for r in rows)
                    share = statistics.fmean(r[3] > 0 for r in rows)
                    cells.append(f"{alarms:.2f} ({share:.2f})")
                else:
                    cells.append(
                        f"{statistics.fmean(r[1] for r in rows):.3f}/"
                        f"{statistics.fmean(r[2] for r in rows):.3f}"
                    )
            print(f"{name} | " + " | ".join(cells), flush=True)


if __name__ == "__main__":
    main()
