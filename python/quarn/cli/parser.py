"""The ``quarn`` command line: ``quarn detect FILE...``, ``quarn demo`` and
``quarn watch FILE`` (in ``quarn.cli.watch``).

Exit status: 0 on success, 1 when the data cannot be used (missing file,
non-numeric or missing value, ...) or the output cannot be written, 2 when
the command line is wrong (unknown option or column, invalid option value),
130 when interrupted. Every failure is one line on standard error starting
with ``quarn: error:``; warnings start with ``quarn: warning:``. A reader
that goes away (``quarn detect ... | head``) ends the run quietly.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from dataclasses import replace
from typing import Any, NoReturn

from quarn import datasets
from quarn._runner import short_series_message
from quarn._inputs import SeriesError, prepare_series
from quarn.cli.progress import ProgressBar
from quarn.cli.report import (
    Analysis,
    check_plot_target,
    demo_report,
    json_document,
    save_plot,
    series_report,
)
from quarn._runner import SeriesFailure
from quarn.cli.lines import emit, silence_stdout
from quarn.cli.layout import options_from_flags
from quarn.cli.readers import (
    Column,
    DataError,
    Layout,
    UsageError,
    read_columns,
)
from quarn._version import __version__
from quarn.cli.watch import add_watch_parser
from quarn.detection import detect_each
from quarn._checks import format_sizes, shown
from quarn.options import OPTIONS, check_options

PROG = "quarn"


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line with the common prefix."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} (see '{self.prog} --help')\n")


class _Stage:
    """What the run is doing, to say what ran out of memory."""

    def __init__(self) -> None:
        self.doing = "starting"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line.

    Args:
        argv: The arguments after the program name; ``sys.argv[1:]`` when None.

    Returns:
        The exit status: 0 on success, 1 for unusable data or output, 2 for a
        wrong command line, 130 when interrupted.
    """
    stage = _Stage()
    try:
        args = build_parser().parse_args(argv)
        return args.run(args, stage)
    except UsageError as exc:
        return _fail(str(exc), 2)
    except DataError as exc:
        return _fail(str(exc), 1)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except MemoryError:
        return _fail(f"not enough memory for {stage.doing}", 1)
    except BrokenPipeError:
        # The reader went away (e.g. `quarn detect ... | head`): stop quietly.
        silence_stdout()
        return 1
    except OSError as exc:
        return _fail(f"{exc.strerror or exc} while {stage.doing}", 1)
    except Exception as exc:  # a fault of quarn itself: still one line
        return _fail(
            f"unexpected {type(exc).__name__} while {stage.doing}: {shown(str(exc))} "
            "(a fault in quarn; please report it)",
            1,
        )


def build_parser() -> argparse.ArgumentParser:
    """Builds the parser of the ``quarn`` command and its subcommands."""
    parser = _Parser(prog=PROG, description="Find change points in univariate time series.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    detect_parser = commands.add_parser(
        "detect",
        help="find change points in the columns of CSV, TSV or plain text files",
        description=(
            "Find change points in series read from CSV, TSV or blank-separated files, "
            "or from text with one number per line ('-' reads standard input). Every "
            "column except the time column is analysed unless --column is given."
        ),
    )
    detect_parser.add_argument(
        "files", nargs="+", metavar="FILE", help="input file, or - for stdin"
    )
    _add_input_options(detect_parser)
    _add_detector_options(detect_parser)
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
    _add_detector_options(demo_parser)
    _add_output_options(demo_parser)
    demo_parser.set_defaults(run=_run_demo)
    add_watch_parser(commands, _add_input_options)
    return parser


def _add_input_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("input")
    group.add_argument(
        "--column",
        action="append",
        default=[],
        metavar="NAME|NUMBER",
        help="column to analyse, by header name (first) or number from 1; repeat for several",
    )
    group.add_argument(
        "--time-column",
        metavar="NAME|NUMBER",
        help="column of time labels shown next to the change points",
    )
    group.add_argument(
        "--header",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=(
            "whether the first row holds column names (default: it does when it holds a "
            "cell that is not a number and a name stands above a number, or all are names)"
        ),
    )
    group.add_argument(
        "--delimiter",
        metavar="CHAR",
        help=(
            "field delimiter: a character, or tab, space, comma, semicolon, bar "
            "(default: sniffed)"
        ),
    )
    group.add_argument(
        "--decimal",
        choices=(".", ","),
        default=".",
        metavar="MARK",
        help="decimal mark of the numbers, . or , (default %(default)s)",
    )


def _add_detector_options(parser: argparse.ArgumentParser) -> None:
    """Adds one argument per option of the options table that has a flag."""
    group = parser.add_argument_group("detector options")
    for option in OPTIONS:
        if option.flag is None:
            continue
        text = f"{option.help} (default {option.default_text})".replace("%", "%%")
        if option.switch:
            group.add_argument(
                option.flag,
                dest=option.name,
                action=argparse.BooleanOptionalAction,
                default=None,
                help=text,
            )
        else:
            group.add_argument(option.flag, dest=option.name, metavar=option.metavar, help=text)


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("output")
    group.add_argument(
        "--json",
        action="store_true",
        help=(
            "print a JSON list with one object per series (file, column, change points "
            "with their time labels, warnings, and the detector's full result)"
        ),
    )
    group.add_argument(
        "--plot", metavar="FILE.png", help="also draw the series and change points to FILE.png"
    )


def _detector_options(args: argparse.Namespace) -> dict[str, Any]:
    """The options given on the command line, parsed and checked by the table."""
    return options_from_flags(args, OPTIONS, check_options)


def _run_detect(args: argparse.Namespace, stage: _Stage) -> int:
    if args.files.count("-") > 1:
        raise UsageError("standard input ('-') can be read only once")
    options = _detector_options(args)
    if args.plot is not None:
        check_plot_target(args.plot)
    layout = Layout(
        args.column,
        args.time_column,
        args.header,
        args.delimiter,
        args.decimal,
        skip_missing=options["missing"] == "skip",
    )
    columns = []
    for path in args.files:
        stage.doing = f"reading {shown('<stdin>' if path == '-' else path)}"
        columns.extend(read_columns(path, layout))
    analyses = _analyse(columns, options, stage)
    stage.doing = "writing the output"
    if args.json:
        emit(json.dumps(json_document(analyses)))
    else:
        emit("\n\n".join(series_report(a) for a in analyses))
    if args.plot is not None:
        stage.doing = f"drawing {shown(args.plot)}"
        save_plot(args.plot, analyses)
    return 0


def _run_demo(args: argparse.Namespace, stage: _Stage) -> int:
    options = _detector_options(args)
    if args.plot is not None:
        check_plot_target(args.plot)
    dataset = datasets.load_dataset(datasets.DEMO_DATASET)
    column = Column(dataset.name, dataset.title, dataset.title, list(dataset.values))
    (analysis,) = _analyse([column], options, stage)
    stage.doing = "writing the output"
    if args.json:
        emit(json.dumps(json_document([analysis])))
    else:
        emit(demo_report(dataset, analysis.result))
    if args.plot is not None:
        stage.doing = f"drawing {shown(args.plot)}"
        save_plot(
            args.plot,
            [analysis],
            annotations=dataset.annotated_positions(),
            title=f"{dataset.title}: change points found and marked by hand",
        )
    return 0


#: Warnings about short series printed before the rest are counted.
SHOWN_WARNINGS = 5


def _analyse(columns: list[Column], options: dict[str, Any], stage: _Stage) -> list[Analysis]:
    """Runs the detector on every column: one column alone, several as one
    parallel batch, with a progress bar on a terminal."""
    if options["method"] == "native":
        work = (
            f"native method, {options['n_perm']} replicates, window sizes "
            f"{shown(format_sizes(options['window_sizes']))}"
        )
    else:
        work = f"confirm method, alpha {options['alpha']:g}"
    if len(columns) == 1:
        (column,) = columns
        stage.doing = (
            f"analysing {column.source}, {column.title} ({len(column.values)} values, {work})"
        )
        bar = ProgressBar(f"{column.source}: {column.name}")
    else:
        values = sum(len(column.values) for column in columns)
        stage.doing = f"analysing {len(columns)} series ({values} values, {work})"
        bar = ProgressBar(f"{len(columns)} series")
    try:
        # The values read from files are ours alone: no copy is needed to
        # keep them from changing during the run.
        prepared = [
            replace(prepare_series(column.values, options["missing"]), owned=True)
            for column in columns
        ]
        results = detect_each(prepared, options, progress=bar.update)
    except SeriesFailure as failure:
        column = columns[failure.series_index]
        if failure.is_data:
            raise DataError(f"{column.source}, {column.title}: {failure.message}") from None
        raise UsageError(failure.message) from None
    except SeriesError as exc:
        # Series problems are the data's fault; everything else comes from
        # an option value.
        raise DataError(f"{columns[0].source}: {exc}") from None
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None
    finally:
        bar.close()
    notes = []
    warned = 0
    # Worded from what each run holds: the window sizes it used.
    for column, result in zip(columns, results):
        present = result.n_samples - result.n_missing
        message = short_series_message(present, result.window_results, column.title)
        notes.append(() if message is None else (message,))
        if message is not None:
            warned += 1
            if warned <= SHOWN_WARNINGS:
                _warn(f"{column.source}: {message}")
    if warned > SHOWN_WARNINGS:
        more = warned - SHOWN_WARNINGS
        _warn(
            f"... and {more} more series too short for some window sizes "
            "(--json lists the warnings of every series)"
        )
    return [Analysis(c, r, n) for c, r, n in zip(columns, results, notes)]


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _fail(message: str, status: int) -> int:
    try:
        print(f"{PROG}: error: {message}", file=sys.stderr)
    except OSError:
        pass
    return status
