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
from typing import Any, NoReturn

from quarn import datasets
from quarn._progress import ProgressBar
from quarn._report import (
    Analysis,
    check_plot_target,
    demo_report,
    format_sizes,
    save_plot,
    series_report,
)
from quarn._table import Column, DataError, UsageError, parse_table, read_text, select_columns
from quarn._version import __version__
from quarn.detection import detect
from quarn.options import CHANGE_TYPES, DEFAULT_WINDOW_SIZES, MAX_SEED
from quarn.serialize import to_jsonable

#: Most window sizes one --window-sizes value may expand to.
MAX_WINDOW_SIZES = 10_000

PROG = "quarn"


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


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
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
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
        check_plot_target(args.plot)
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
        print("\n\n".join(series_report(a) for a in analyses))
    if args.plot:
        save_plot(args.plot, analyses)
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    if args.plot:
        check_plot_target(args.plot)
    dataset = datasets.load_dataset(datasets.DEMO_DATASET)
    column = Column(dataset.name, dataset.title, dataset.title, list(dataset.values))
    (analysis,) = _analyse([column], _detector_options(args))
    if args.json:
        print(json.dumps(to_jsonable(analysis.result.to_dict())))
    else:
        print(demo_report(dataset, analysis.result))
    if args.plot:
        save_plot(
            args.plot,
            [analysis],
            annotations=dataset.annotated_positions(),
            title=f"{dataset.title}: change points found and marked by hand",
        )
    return 0


def _analyse(columns: list[Column], options: dict[str, Any]) -> list[Analysis]:
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
            analyses.append(Analysis(column, result))
        progress.show(len(columns))
    finally:
        progress.close()
    return analyses


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
        sizes.extend(range(first, min(last, first + MAX_WINDOW_SIZES) + 1))
        if len(sizes) > MAX_WINDOW_SIZES:
            raise argparse.ArgumentTypeError(
                f"at most {MAX_WINDOW_SIZES} window sizes, got {text!r}"
            )
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
