"""Accuracy of quarn's defaults next to untuned peers, on real and synthetic series.

Real series: the univariate annotated series of the Turing Change Point
Dataset's default table (from a data folder), scored with the benchmark's F1
(margin 5) and cover. Synthetic series: a seeded suite of mean shifts in
Gaussian, AR(1) and Student-t(3) noise, changes of spread, changes of shape
at equal mean and variance, and change-free noise of five kinds. Every
method runs with its defaults; times are totals over the series.

    python bench/accuracy.py [--data FOLDER] [--tcpd-only | --synthetic-only]
                             [--structured-only | --no-structured]
                             [--quick] [--count N] [--tool PATH]

Structured series (bench/_structured.py): level shifts on seasonal cycles,
in strongly persistent AR(1) noise and in a random walk plus noise, periodic
signals whose pattern changes, recordings of repeated patterns whose state
changes (random waveforms, pulses, bursts; and harder ones whose states
differ little, with drift, dropouts and outliers), small changes on long stretches and level
shifts next to isolated spikes, each with its change-free counterpart. A
second table gives, for every group, F1 at margin 5 and at a margin of 1 %
of the length, cover, false alarms per 1000 values (change points farther
than the 1 % margin from every true one) and the share of change-free series
with any alarm.

Methods: quarn.detect with its defaults (the confirm method), the native
detector (quarn_detector) with its defaults, and ruptures' Binseg, Pelt and
KernelCPD when ruptures is installed. With --tool, also the core's method
through its command-line runner (quarn_method_tool, built with the core's
tests), which must agree with the quarn.detect row.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import _peers  # noqa: E402
import _structured  # noqa: E402
import _synthetic  # noqa: E402
import _tcpd  # noqa: E402
from _core_method import CoreMethod  # noqa: E402

import quarn  # noqa: E402
from quarn.metrics import cover, f1, true_positives  # noqa: E402

#: Lengths of the change-free Gaussian series on which the share of series
#: with any alarm is measured at a given alpha.
ALARM_LENGTHS = (500, 5000)


def quarn_defaults(values: np.ndarray) -> list[int]:
    return [point.position for point in quarn.detect(values).change_points]


def quarn_native(values: np.ndarray) -> list[int]:
    return [point.position for point in quarn.detect(values, method="native").change_points]


def native_defaults(values: np.ndarray) -> list[int]:
    return sorted(quarn.quarn_detector(values)["out"]["leaders_scores"])


def python_methods() -> list[tuple[str, object]]:
    methods = [
        ("quarn.detect defaults", quarn_defaults),
        ("native quarn_detector defaults", native_defaults),
        ("quarn.detect method=native", quarn_native),
    ]
    if _peers.available():
        methods.extend(_peers.PEERS)
    return methods


class Case:
    """One series to score: its values and what the score compares with."""

    def __init__(self, group: str, name: str, values, truth=None, annotations=None):
        self.group = group
        self.name = name
        self.values = np.asarray(values, dtype=float)
        self.annotations = annotations if annotations is not None else {"truth": truth or []}


def build_cases(args) -> list[Case]:
    cases = []
    if args.structured_only:
        return structured_cases(args.structured_count)
    if not args.synthetic_only:
        folder = args.data or _tcpd.default_folder()
        if folder is None:
            print("no TCPD data folder found (give --data); real series skipped\n")
        else:
            for item in _tcpd.load_folder(folder):
                cases.append(Case("TCPD", item.name, item.values, annotations=item.annotations))
    if not args.tcpd_only:
        for family in _synthetic.FAMILIES:
            for index in range(args.count):
                item = _synthetic.with_changes(family, index)
                cases.append(Case(family, f"{family}[{index}]", item.values, truth=item.change_points))
        for kind in _synthetic.NULL_KINDS:
            for index in range(args.count):
                item = _synthetic.change_free(kind, index)
                cases.append(Case("null_" + kind, f"null_{kind}[{index}]", item.values, truth=[]))
    if not args.tcpd_only and not args.no_structured:
        cases.extend(structured_cases(args.structured_count))
    return cases


def structured_cases(count: int) -> list[Case]:
    cases = []
    for family in _structured.FAMILIES:
        for index in range(count):
            item = _structured.with_changes(family, index)
            cases.append(Case(family, f"{family}[{index}]", item.values, truth=item.change_points))
    for kind in _structured.NULL_KINDS:
        for index in range(count):
            item = _structured.change_free(kind, index)
            cases.append(Case("null_" + kind, f"null_{kind}[{index}]", item.values, truth=[]))
    return cases


def clean(points, n: int) -> list[int]:
    return sorted({int(p) for p in points if 0 < int(p) < n})


def run_python(method, cases: list[Case]) -> tuple[list[list[int] | None], float]:
    found, seconds = [], 0.0
    for case in cases:
        start = time.perf_counter()
        points = method(case.values)
        seconds += time.perf_counter() - start
        found.append(None if points is None else clean(points, len(case.values)))
    return found, seconds


def group_rows(cases: list[Case], found: list[list[int] | None]) -> dict[str, dict[str, float]]:
    rows: dict[str, dict[str, list]] = {}
    for case, points in zip(cases, found):
        if points is None:
            continue
        row = rows.setdefault(
            case.group,
            {"f1": [], "f1_pct": [], "cover": [], "count": [], "values": [], "false": [], "found_all": []},
        )
        n = len(case.values)
        margin = percent_margin(n)
        row["f1"].append(f1(case.annotations, points))
        row["f1_pct"].append(f1(case.annotations, points, margin=margin))
        row["cover"].append(cover(case.annotations, points, n))
        row["count"].append(len(points))
        row["values"].append(n)
        truth = sorted({p for marks in case.annotations.values() for p in marks})
        row["false"].append(sum(all(abs(p - t) > margin for t in truth) for p in points))
        row["found_all"].append(len(true_positives(truth, points, margin)) == len(truth))
    summary = {}
    for group, row in rows.items():
        summary[group] = {
            "f1": statistics.fmean(row["f1"]),
            "cover": statistics.fmean(row["cover"]),
            "per_series": statistics.fmean(row["count"]),
            "per_1000": 1000.0 * sum(row["count"]) / sum(row["values"]),
            "any": statistics.fmean(c > 0 for c in row["count"]),
            "series": len(row["count"]),
            "f1_pct": statistics.fmean(row["f1_pct"]),
            "false_1000": 1000.0 * sum(row["false"]) / sum(row["values"]),
            "found_all": sum(row["found_all"]),
        }
    return summary


def percent_margin(n: int) -> int:
    """The margin of 1 % of the length, at least 1."""
    return max(1, round(0.01 * n))


def print_structured_table(results: list[tuple[str, dict, float]]) -> None:
    groups = ["TCPD", *_synthetic.FAMILIES, *_structured.FAMILIES]
    nulls = ["null_" + k for k in (*_synthetic.NULL_KINDS, *_structured.NULL_KINDS)]
    present = [g for g in groups + nulls if any(g in r for _, r, _ in results)]
    if not present:
        return
    width = max(len(name) for name, _, _ in results)
    print(
        "every group: F1 (margin 5) / F1 (margin 1 % of n) / cover / false alarms per 1000 values"
        " / share of series with any alarm (change-free) or with every change found (margin 1 %)"
    )
    for group in present:
        count = max(r[group]["series"] for _, r, _ in results if group in r)
        print(f"{group} ({count} series)")
        for name, summary, _ in results:
            row = summary.get(group)
            if row is None:
                continue
            subset = f"  (only {row['series']} series)" if row["series"] < count else ""
            if group.startswith("null_"):
                print(f"  {name:<{width}}      -       -       -  {row['per_1000']:6.2f}  any {row['any']:.2f}{subset}")
            else:
                print(
                    f"  {name:<{width}}  {row['f1']:.3f}  {row['f1_pct']:.3f}  {row['cover']:.3f}  "
                    f"{row['false_1000']:6.2f}  found {row['found_all']}/{row['series']}{subset}"
                )
    print()


def print_tables(results: list[tuple[str, dict, float]]) -> None:
    width = max(len(name) for name, _, _ in results)
    groups = [g for g in ["TCPD", *_synthetic.FAMILIES] if any(g in r for _, r, _ in results)]
    for group in groups:
        count = max(r[group]["series"] for _, r, _ in results if group in r)
        print(f"{group} ({count} series): F1 / cover / change points per series")
        for name, summary, _ in results:
            if group in summary:
                row = summary[group]
                subset = f"  (only {row['series']} series)" if row["series"] < count else ""
                print(
                    f"  {name:<{width}}  {row['f1']:.3f}  {row['cover']:.3f}  "
                    f"{row['per_series']:6.2f}{subset}"
                )
        print()
    nulls = [k for k in _synthetic.NULL_KINDS if any("null_" + k in r for _, r, _ in results)]
    if nulls:
        print("change-free series: false alarms per 1000 values (share of series with any alarm)")
        print(f"  {'':<{width}}  " + "  ".join(f"{k:>13}" for k in nulls))
        most = {k: max(r.get("null_" + k, {}).get("series", 0) for _, r, _ in results) for k in nulls}
        for name, summary, _ in results:
            cells = []
            for kind in nulls:
                row = summary.get("null_" + kind)
                cells.append("            -" if row is None else f"{row['per_1000']:6.2f} ({row['any']:.2f})")
            if any(summary.get("null_" + k, {}).get("series", 0) < most[k] for k in nulls):
                cells.append(" (subset of the series)")
            print(f"  {name:<{width}}  " + "  ".join(cells))
        print()
    print("total time over all series (s)")
    for name, _, seconds in results:
        print(f"  {name:<{width}}  {seconds:8.2f}")
    print()


def alarm_shares(count: int) -> None:
    values = [_synthetic.change_free("gauss", i, lengths=ALARM_LENGTHS).values for i in range(count)]
    print(
        f"change-free Gaussian series, {ALARM_LENGTHS[0]}-{ALARM_LENGTHS[1]} values ({count} series):"
        " share with any alarm"
    )
    for alpha in (0.05, 0.01):
        found = [quarn.detect(v, alpha=alpha).change_points for v in values]
        share = statistics.fmean(bool(points) for points in found)
        print(f"  quarn.detect, alpha {alpha}: {share:.3f} (target at most {2 * alpha:.2f})")
    for alpha in (0.05, 0.01):
        flagged = [bool(quarn.quarn_detector(v, alpha_q=alpha)["out"]["cdf"]) for v in values]
        print(f"  native quarn_detector, alpha_q {alpha}: {statistics.fmean(flagged):.3f}")
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", help="TCPD data folder (default ../shared/data/tcpd when present)")
    parser.add_argument("--tcpd-only", action="store_true", help="only the real series")
    parser.add_argument("--synthetic-only", action="store_true", help="only the synthetic suite")
    parser.add_argument("--structured-only", action="store_true", help="only the structured suite")
    parser.add_argument("--no-structured", action="store_true", help="leave out the structured suite")
    parser.add_argument("--quick", action="store_true", help="12 series per synthetic group, 8 per structured")
    parser.add_argument("--count", type=int, default=50, help="series per synthetic group")
    parser.add_argument("--structured-count", type=int, default=20, help="series per structured group")
    parser.add_argument("--alarm-count", type=int, default=200, help="series for the alarm shares")
    parser.add_argument("--tool", help="also run the core's method through this quarn_method_tool")
    parser.add_argument("--skip", default="", help="comma-separated method names to leave out")
    args = parser.parse_args()
    if args.quick:
        args.count = min(args.count, 12)
        args.structured_count = min(args.structured_count, 8)
        args.alarm_count = min(args.alarm_count, 60)

    cases = build_cases(args)
    skip = {s.strip() for s in args.skip.split(",") if s.strip()}
    results = []
    core = CoreMethod.find(args.tool) if args.tool else None
    if args.tool and core is None:
        print(f"core method runner {args.tool} not found\n")
    elif core is not None and "core" not in skip:
        found, seconds = core.run([case.values for case in cases])
        results.append(("quarn core method (alpha 0.05)", group_rows(cases, found), seconds))
    for name, method in python_methods():
        if name in skip:
            continue
        found, seconds = run_python(method, cases)
        results.append((name, group_rows(cases, found), seconds))
    if not args.structured_only:
        print_tables(results)
    print_structured_table(results)
    if not args.tcpd_only and not args.structured_only:
        alarm_shares(args.alarm_count)
    if _peers.available():
        print(f"KernelCPD runs on series of at most {_peers.KERNEL_MAX_LENGTH} values only,")
        print(f"Pelt on series of at most {_peers.PELT_MAX_LENGTH} values only.")


if __name__ == "__main__":
    main()
