"""What the command line prints and draws: tables of change points and pictures."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from quarn import datasets
from quarn._runner import run_window_sizes, unanalysed_sizes
from quarn._frames import printed_cells, printed_columns
from quarn.cli.readers import Column, DataError, UsageError
from quarn._checks import format_sizes, printable, shown
from quarn.result import DetectionResult
from quarn.serialize import json_float, to_jsonable


@dataclass(frozen=True)
class Analysis:
    """One analysed series: where it came from, what was found, and the
    warnings about it."""

    column: Column
    result: DetectionResult
    warnings: tuple[str, ...] = ()


def series_report(analysis: Analysis) -> str:
    """A title line and a table of the change points of one series."""
    column, result = analysis.column, analysis.result
    count = len(result.change_points)
    present = result.n_samples - result.n_missing
    sizes = run_window_sizes(result.window_results)
    if len(unanalysed_sizes(present, sizes)) == len(set(sizes)):
        found = "not analysed (every window size needs more values)"
    else:
        found = f"{count} change point{'' if count == 1 else 's'}"
    missing = f" ({result.n_missing} missing)" if result.n_missing else ""
    title = f"{column.source}, {column.title}: {result.n_samples} values{missing}, {found}"
    if not count:
        return title
    time = printable(column.labels_name or "time")
    # The time labels come from the time column, not from the result.
    columns = printed_columns(result.method == "confirm", labelled=False)
    headers = [c.heading for c in columns]
    rows = [printed_cells(p, columns) for p in result.change_points]
    if column.labels:
        labels = column.labels
        headers.insert(1, time)
        for row, p in zip(rows, result.change_points):
            row.insert(1, printable(labels[p.position]))
        if result.method == "confirm":
            headers.insert(3, f"{time} interval")
            for row, p in zip(rows, result.change_points):
                span = "" if p.interval is None else (
                    f"{printable(labels[p.interval[0]])} to {printable(labels[p.interval[1]])}"
                )
                row.insert(3, span)
    return title + "\n" + format_table(headers, rows, left={time})


def json_document(analyses: list[Analysis]) -> list[dict[str, Any]]:
    """The ``--json`` output: one object per series, the same shape for one
    series as for many.

    Each object has ``file``, ``column``, ``n_values``, ``n_missing``, ``time_column`` (None
    without one), ``method``, ``change_points`` (position, time label or
    None, votes, score, probability, and for the confirm method kind and
    p_value, interval, interval_time, direction and effect), ``segments``
    (start, stop, count, level, spread, slope), ``warnings`` and ``result``, the detector's full result in the
    JSON form of :mod:`quarn.serialize`.
    """
    document = []
    for analysis in analyses:
        column, result = analysis.column, analysis.result
        labels = column.labels
        document.append(
            {
                "file": column.source,
                "column": column.name,
                "n_values": result.n_samples,
                "n_missing": result.n_missing,
                "time_column": column.labels_name,
                "method": result.method,
                "change_points": [
                    {
                        "position": p.position,
                        "time": None if labels is None else labels[p.position],
                        **(
                            {
                                "kind": p.kind,
                                "p_value": p.p_value,
                                "interval": None if p.interval is None else list(p.interval),
                                "interval_time": (
                                    None
                                    if labels is None or p.interval is None
                                    else [labels[p.interval[0]], labels[p.interval[1]]]
                                ),
                                "direction": p.direction,
                                "effect": None if p.effect is None else json_float(p.effect),
                            }
                            if result.method == "confirm"
                            else {}
                        ),
                        "votes": p.votes,
                        "score": p.score,
                        "probability": p.probability,
                    }
                    for p in result.change_points
                ],
                "segments": [
                    {
                        "start": s.start,
                        "stop": s.stop,
                        "count": s.count,
                        "level": json_float(s.level),
                        "spread": json_float(s.spread),
                        "slope": None if s.slope is None else json_float(s.slope),
                    }
                    for s in result.segments
                ],
                "warnings": list(analysis.warnings),
                "result": to_jsonable(result.to_dict()),
            }
        )
    return document


def demo_report(dataset: datasets.Dataset, result: DetectionResult) -> str:
    """The demo's change points next to the ones people marked by hand.

    A detected change point matches a hand-marked one when they are at most
    ``datasets.ANNOTATION_MARGIN`` samples apart.
    """
    options = result.options
    marked = dataset.annotations
    margin = datasets.ANNOTATION_MARGIN

    def near(position: int, marks: Sequence[int]) -> bool:
        return any(abs(position - m) <= margin for m in marks)

    annotated = dataset.annotated_positions()
    confirm = result.method == "confirm"
    columns = printed_columns(confirm, labelled=False)
    rows = []
    for point in result.change_points:
        nearest = min(annotated, key=lambda a: (abs(a - point.position), a))
        by = sum(near(point.position, marks) for marks in marked.values())
        rows.append(
            [
                *printed_cells(point, columns),
                f"{nearest} ({point.position - nearest:+d})",
                f"{by} of {len(marked)}",
            ]
        )
    found = result.positions
    matched = sum(near(p, annotated) for p in found)
    lines = [
        f"{dataset.title}: {len(dataset.values)} values ({dataset.source})",
        (
            f"confirm method: alpha {options['alpha']:g}, seed {options['seed']}, candidates "
            f"from window sizes {format_sizes(result.window_results)}"
            if confirm
            else f"native method: window sizes {format_sizes(options['window_sizes'])}, "
            f"{options['n_perm']} replicates, alpha {options['alpha']:g}, seed {options['seed']}, "
            f"tol {options['tol']}, change type {options['change_type']}"
        ),
        "",
        f"{len(found)} change points found, {matched} of them within {margin} samples "
        "of a change marked by hand:"
        if found
        else "no change points found",
        *(
            [
                format_table(
                    [c.heading for c in columns] + ["nearest mark", "marked by"],
                    rows,
                )
            ]
            if found
            else []
        ),
        "",
        f"marked by hand ({len(marked)} people; found = detected within {margin} samples):",
    ]
    for who, marks in marked.items():
        hits = sum(near(m, found) for m in marks)
        lines.append(
            f"  annotator {who:>2}, found {hits:>2} of {len(marks):>2}: "
            + " ".join(str(m) for m in marks)
        )
    return "\n".join(lines)


def format_table(
    headers: list[str], rows: list[list[str]], left: frozenset[str] | set[str] = frozenset()
) -> str:
    """Lays out rows as aligned columns: numbers to the right, ``left`` columns to the left."""
    widths = [max([len(h), *(len(r[i]) for r in rows)]) for i, h in enumerate(headers)]

    def line(cells: list[str]) -> str:
        return "  " + "  ".join(
            cell.ljust(w) if head in left else cell.rjust(w)
            for cell, w, head in zip(cells, widths, headers)
        ).rstrip()

    return "\n".join([line(headers)] + [line(r) for r in rows])


def check_plot_target(path: str) -> None:
    """Checks before any detection that ``--plot`` can draw into ``path``.

    Raises:
        DataError: matplotlib is not installed.
        UsageError: The file name does not tell a picture format.
    """
    from quarn.display import require_matplotlib

    try:
        require_matplotlib()
    except ImportError as exc:
        raise DataError(f"--plot: {exc}") from None
    from matplotlib.figure import Figure

    formats = Figure().canvas.get_supported_filetypes()
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if extension not in formats:
        raise UsageError(
            f"--plot: cannot tell the picture format of {shown(path)}; end the name in "
            f"one of {', '.join('.' + f for f in sorted(formats))}"
        )


def save_plot(
    path: str,
    analyses: list[Analysis],
    annotations: Sequence[int] = (),
    title: str | None = None,
) -> None:
    from matplotlib.figure import Figure

    from quarn.display import label_ticks, plot_result

    figure = Figure(figsize=(9, 2.2 + 2.3 * len(analyses)), layout="constrained")
    for number, analysis in enumerate(analyses, start=1):
        ax = figure.add_subplot(len(analyses), 1, number)
        column = analysis.column
        plot_result(
            analysis.result,
            ax,
            title=title or f"{column.source}: {column.name}",
            annotations=annotations,
        )
        if column.labels:
            label_ticks(ax, column.labels)
            ax.set_xlabel(column.labels_name or "time")
    try:
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise DataError(f"--plot: cannot write {shown(path)} ({exc.strerror or exc})") from None
