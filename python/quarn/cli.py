"""The ``quarn`` command line: ``quarn detect FILE...`` and ``quarn demo``.

Exit status: 0 on success, 1 when the data cannot be used (missing file,
non-numeric or missing value, ...), 2 when the command line is wrong
(unknown option or column, invalid option value). Every failure is one line
on standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

from quarn import datasets
from quarn._progress import ProgressBar
from quarn._table import Column, DataError, UsageError, parse_table, read_text, select_columns
from quarn.detection import detect
from quarn.options import CHANGE_TYPES, DEFAULT_WINDOW_SIZES, MAX_SEED
from quarn.result import DetectionResult
from quarn.serialize import to_jsonable

PROG = "quarn"


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


@dataclass(frozen=True)
class _Analysis:
    column: Column
    result: DetectionResult


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line.

    Args:
        argv: The arguments after the program name; ``sys.argv[1:]`` when None.

    Returns:
        The exit status: 0 on success, 1 for unusable data, 2 for a wrong
        command line.
    """
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        return _fail(str(exc), 2)
    except DataError as exc:
        return _fail(str(exc), 1)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:
        # The reader went away (e.g. `quarn detect ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def build_parser() -> argparse.ArgumentParser:
    """Builds the parser of the ``quarn`` command and its subcommands."""
    parser = _Parser(
        prog=PROG,
        description="Find change points in univariate time series.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    detect_parser = commands.add_parser(
        "detect",
        help="find change points in the columns of CSV, TSV or plain text files",
        description=(
            "Find change points in series read from CSV or TSV files, or from text "
            "with one number per line ('-' reads standard input). Every column "
            "except the time column is analysed unless --column is given."
        ),
    )
    detect_parser.add_argument("files", nargs="+", metavar="FILE", help="input file, or - for stdin")
    detect_parser.add_argument(
        "--column",
        action="append",
        default=[],
        metavar="NAME|NUMBER",
        help="column to analyse, by header name or number from 1 (repeat for several)",
    )
    detect_parser.add_argument(
        "--time-column",
        metavar="NAME|NUMBER",
        help="column of time labels shown next to the change points",
    )
    _add_detector_options(detect_parser, {})
    _add_output_options(detect_parser)
    detect_parser.set_defaults(run=_run_detect)

    demo_parser = commands.add_parser(
        "demo",
        help=f"run the detector on a bundled real series ({datasets.DEMO_DATASET})",
        description=(
            "Run the detector on the bundled well log series and show its change "
            "points next to the ones that five people marked by hand."
        ),
    )
    _add_detector_options(demo_parser, datasets.DEMO_OPTIONS)
    _add_output_options(demo_parser)
    demo_parser.set_defaults(run=_run_demo)
    return parser


def _add_detector_options(parser: argparse.ArgumentParser, defaults: dict[str, Any]) -> None:
    group = parser.add_argument_group("detector options")
    sizes = defaults.get("window_sizes", DEFAULT_WINDOW_SIZES)
    group.add_argument(
        "--window-sizes",
        type=_window_sizes,
        default=sizes,
        metavar="SIZES",
        help=f"window sizes as a range or a list, e.g. 10-20 or 10,12,15 (default {format_sizes(sizes)})",
    )
    group.add_argument(
        "--n-perm",
        type=_integer(1),
        default=defaults.get("n_perm", 300),
        metavar="N",
        help="bootstrap replicates per threshold (default %(default)s)",
    )
    group.add_argument(
        "--alpha",
        type=_fraction,
        default=defaults.get("alpha", 1.0),
        metavar="A",
        help="overall false-alarm level, 0 to 1, shared over the positions (default %(default)s)",
    )
    group.add_argument(
        "--seed",
        type=_integer(0, MAX_SEED),
        default=defaults.get("seed", 123),
        help="seed of the bootstrap; same seed, same result (default %(default)s)",
    )
    group.add_argument(
        "--tol",
        type=_integer(0),
        default=defaults.get("tol", 2),
        metavar="T",
        help="change points at most T samples apart are one change (default %(default)s)",
    )
    group.add_argument(
        "--workers",
        type=_integer(0),
        default=None,
        metavar="N",
        help="worker threads (default: one per processor); results do not depend on it",
    )
    group.add_argument(
        "--change-type",
        type=str.lower,
        choices=CHANGE_TYPES,
        default=defaults.get("change_type", "mean"),
        help="kind of change to locate (default %(default)s)",
    )
    group.add_argument(
        "--block-length",
        type=_integer(1),
        default=defaults.get("block_length"),
        metavar="N",
        help="bootstrap block length (default: chosen from the window size)",
    )
    group.add_argument(
        "--taper-ratio",
        type=_fraction,
        default=defaults.get("taper_ratio", 0.5),
        metavar="R",
        help="tapered share of every bootstrap block, 0 to 1 (default %(default)s)",
    )
    group.add_argument(
        "--no-center",
        dest="center",
        action="store_false",
        default=defaults.get("center", True),
        help="scale windows without centring them before the bootstrap",
    )


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("output")
    group.add_argument(
        "--json",
        action="store_true",
        help="print the full detector result as JSON instead of a table",
    )
    group.add_argument("--plot", metavar="FILE.png", help="also draw the series and change points to FILE.png")


def _detector_options(args: argparse.Namespace) -> dict[str, Any]:
    return {
        "window_sizes": args.window_sizes,
        "n_perm": args.n_perm,
        "alpha": args.alpha,
        "seed": args.seed,
        "tol": args.tol,
        "workers": args.workers,
        "change_type": args.change_type,
        "block_length": args.block_length,
        "taper_ratio": args.taper_ratio,
        "center": args.center,
    }


def _run_detect(args: argparse.Namespace) -> int:
    if args.files.count("-") > 1:
        raise UsageError("standard input ('-') can be read only once")
    if args.plot:
        _check_plot_target(args.plot)
    columns = [
        column
        for path in args.files
        for column in select_columns(
            parse_table(read_text(path), "<stdin>" if path == "-" else path),
            args.column,
            args.time_column,
        )
    ]
    analyses = _analyse(columns, _detector_options(args))
    if args.json:
        if len(analyses) == 1:
            document: Any = to_jsonable(analyses[0].result.to_dict())
        else:
            document = [
                {"file": a.column.source, "column": a.column.name, "result": to_jsonable(a.result.to_dict())}
                for a in analyses
            ]
        print(json.dumps(document))
    else:
        print("\n\n".join(_report(a) for a in analyses))
    if args.plot:
        _save_plot(args.plot, analyses)
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    if args.plot:
        _check_plot_target(args.plot)
    dataset = datasets.load_dataset(datasets.DEMO_DATASET)
    column = Column(dataset.name, dataset.title, dataset.title, list(dataset.values))
    (analysis,) = _analyse([column], _detector_options(args))
    if args.json:
        print(json.dumps(to_jsonable(analysis.result.to_dict())))
    else:
        print(_demo_report(dataset, analysis.result))
    if args.plot:
        _save_plot(
            args.plot,
            [analysis],
            annotations=dataset.annotated_positions(),
            title=f"{dataset.title}: change points found and marked by hand",
        )
    return 0


def _analyse(columns: list[Column], options: dict[str, Any]) -> list[_Analysis]:
    progress = ProgressBar(len(columns))
    analyses = []
    try:
        for done, column in enumerate(columns):
            progress.show(done, f"{column.source}: {column.name}")
            try:
                result = detect(column.values, **options)
            except (TypeError, ValueError) as exc:
                # Series problems are the data's fault; everything else comes
                # from an option value.
                text = str(exc)
                if text.startswith("series"):
                    raise DataError(f"{column.source}, {column.title}: {text}") from None
                raise UsageError(text) from None
            analyses.append(_Analysis(column, result))
        progress.show(len(columns))
    finally:
        progress.close()
    return analyses


def _report(analysis: _Analysis) -> str:
    column, result = analysis.column, analysis.result
    count = len(result.change_points)
    title = (
        f"{column.source}, {column.title}: {result.n_samples} values, "
        f"{count} change point{'' if count == 1 else 's'}"
    )
    if not count:
        return title
    headers = ["position"] + (["time"] if column.labels else []) + ["votes", "score", "probability"]
    rows = [
        [str(p.position)]
        + ([column.labels[p.position]] if column.labels else [])
        + [str(p.votes), f"{p.score:.3f}", f"{p.probability:.3f}"]
        for p in result.change_points
    ]
    return title + "\n" + format_table(headers, rows, left={"time"})


def _demo_report(dataset: datasets.Dataset, result: DetectionResult) -> str:
    options = result.options
    marked = dataset.annotations
    margin = datasets.ANNOTATION_MARGIN

    def near(position: int, marks: Sequence[int]) -> bool:
        return any(abs(position - m) <= margin for m in marks)

    annotated = dataset.annotated_positions()
    rows = []
    for point in result.change_points:
        nearest = min(annotated, key=lambda a: (abs(a - point.position), a))
        by = sum(near(point.position, marks) for marks in marked.values())
        rows.append(
            [
                str(point.position),
                str(point.votes),
                f"{point.score:.3f}",
                f"{point.probability:.3f}",
                f"{nearest} ({point.position - nearest:+d})",
                f"{by} of {len(marked)}",
            ]
        )
    found = result.positions
    matched = sum(near(p, annotated) for p in found)
    lines = [
        f"{dataset.title}: {len(dataset.values)} values ({dataset.source})",
        (
            f"detector: window sizes {format_sizes(options['window_sizes'])}, "
            f"{options['n_perm']} replicates, alpha {options['alpha']:g}, seed {options['seed']}, "
            f"tol {options['tol']}, change type {options['change_type']}"
        ),
        "",
        f"{len(found)} change points found, {matched} of them within {margin} samples "
        "of a change marked by hand:",
        format_table(
            ["position", "votes", "score", "probability", "nearest mark", "marked by"],
            rows,
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


def format_table(headers: list[str], rows: list[list[str]], left: set[str] = frozenset()) -> str:
    """Lays out rows as aligned columns: numbers to the right, ``left`` columns to the left."""
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: list[str]) -> str:
        return "  " + "  ".join(
            cell.ljust(w) if head in left else cell.rjust(w)
            for cell, w, head in zip(cells, widths, headers)
        ).rstrip()

    return "\n".join([line(headers)] + [line(r) for r in rows])


def format_sizes(sizes: Sequence[int]) -> str:
    """Writes window sizes compactly: ``10-20`` for a run, else ``10,12,15``."""
    sizes = list(sizes)
    if len(sizes) > 2 and sizes == list(range(sizes[0], sizes[-1] + 1)):
        return f"{sizes[0]}-{sizes[-1]}"
    return ",".join(str(s) for s in sizes)


def _check_plot_target(path: str) -> None:
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
            f"--plot: cannot tell the picture format of {path!r}; end the name in "
            f"one of {', '.join('.' + f for f in sorted(formats))}"
        )


def _save_plot(
    path: str,
    analyses: list[_Analysis],
    annotations: Sequence[int] = (),
    title: str | None = None,
) -> None:
    from matplotlib.figure import Figure

    from quarn.display import plot_result

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
            step = max(1, len(column.labels) // 6)
            ticks = list(range(0, len(column.labels), step))
            ax.set_xticks(ticks, [column.labels[t] for t in ticks], rotation=20, fontsize=7)
            ax.set_xlabel(column.labels_name)
    try:
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise DataError(f"--plot: cannot write {path!r} ({exc.strerror or exc})") from None


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def _window_sizes(text: str) -> tuple[int, ...]:
    sizes: list[int] = []
    for part in text.split(","):
        low, dash, high = part.strip().partition("-")
        try:
            first = int(low)
            last = int(high) if dash else first
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected sizes like 10-20 or 10,12,15, got {text!r}"
            ) from None
        if first < 1 or last < first:
            raise argparse.ArgumentTypeError(
                f"window sizes must be positive and ranges ascending, got {text!r}"
            )
        sizes.extend(range(first, last + 1))
    return tuple(sizes)


def _integer(low: int, high: int | None = None) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
        if value < low or (high is not None and value > high):
            bound = f"at least {low}" if high is None else f"from {low} to {high}"
            raise argparse.ArgumentTypeError(f"must be {bound}, got {value}")
        return value

    return parse


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1 (0.05 means 5%), got {text}")
    return value
