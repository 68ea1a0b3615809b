"""``quarn watch FILE|-``: online change detection on a stream of values.

Values are read as they arrive: from a pipe or standard input until it
ends, from a file to its end, or with ``--follow`` from a growing file the
way ``tail -f`` follows it (until Ctrl-C). The layout (one number per line,
or a CSV/TSV column chosen with ``--column``, with an optional
``--time-column``) is decided from the first two lines as ``quarn detect``
decides it from its first lines. Each alarm is printed the moment it is
raised, one line each (``--json``: one JSON object per line), flushed. At
the end a one-line summary goes to standard error. Blank lines are skipped.
Exit status: 0 at the end of the input, 1 for unusable data, 2 for a wrong
command line, 130 on Ctrl-C.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections import deque
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from quarn.cli.layout import (
    Layout,
    UsageError,
    chosen_columns,
    decide_shape,
    options_from_flags,
)
from quarn.cli.lines import DataError, emit, open_input
from quarn.cli.readers import _Reader
from quarn.monitor import MONITOR_OPTIONS, Alarm, Monitor, check_monitor_options
from quarn._checks import shown

#: Bytes read at a time.
READ_BYTES = 1 << 16

#: Seconds between looks at a followed file that has not grown.
POLL_SECONDS = 0.1

#: Time labels kept for the alarms' positions (older positions show none).
KEPT_LABELS = 100_000


def add_watch_parser(
    commands: Any, add_input_options: Callable[[argparse.ArgumentParser], None]
) -> None:
    """Adds ``quarn watch`` to the subcommands."""
    parser = commands.add_parser(
        "watch",
        help="watch a stream of values (a pipe or a growing file) and report changes as they happen",
        description=(
            "Watch values as they arrive, one number per line or a CSV column, and print "
            "each change the moment it is detected. Reads a file to its end (with --follow "
            "keeps waiting for more, like tail -f, until Ctrl-C), or a pipe ('-') until it "
            "ends. A one-line summary goes to standard error at the end."
        ),
    )
    parser.add_argument("file", metavar="FILE", help="input file, or - for stdin")
    add_input_options(parser)
    parser.add_argument(
        "--follow",
        action="store_true",
        help="at the end of the file, wait for more lines (until Ctrl-C) instead of stopping",
    )
    group = parser.add_argument_group("monitor options")
    for option in MONITOR_OPTIONS:
        text = f"{option.help} (default {option.default_text})".replace("%", "%%")
        group.add_argument(option.flag, dest=option.name, metavar=option.metavar, help=text)
    parser.add_argument(
        "--json", action="store_true", help="print each alarm as one JSON object per line"
    )
    parser.set_defaults(run=run_watch)


def _monitor_options(args: argparse.Namespace) -> dict[str, Any]:
    return options_from_flags(args, MONITOR_OPTIONS, check_monitor_options)


def run_watch(args: argparse.Namespace, stage: Any) -> int:
    """Runs ``quarn watch``; returns the exit status."""
    if len(args.column) > 1:
        raise UsageError("quarn watch follows one column; give --column once")
    monitor = Monitor(**_monitor_options(args))
    source = "<stdin>" if args.file == "-" else args.file
    layout = Layout(args.column, args.time_column, args.header, args.delimiter, args.decimal)
    handle = open_input(args.file, source)
    watcher = _Watcher(monitor, source, layout, args.json)
    stage.doing = f"watching {shown(source)}"
    status = "end of input"
    try:
        for number, lines in _line_batches(handle.fileno(), source, args.follow):
            watcher.read(number, lines)
        watcher.finish()
    except KeyboardInterrupt:
        status = "interrupted"
        return 130
    except DataError:
        status = "stopped at unusable data"
        raise
    finally:
        if args.file != "-":
            handle.close()
        count = len(monitor.alarms)
        try:
            print(
                f"quarn: watched {watcher.values} values of {source}, {count} alarm"
                f"{'' if count == 1 else 's'} ({status})",
                file=sys.stderr,
                flush=True,
            )
        except OSError:
            pass
    return 0


class _Watcher:
    """Turns lines into values for the monitor and prints its alarms."""

    def __init__(self, monitor: Monitor, source: str, layout: Layout, as_json: bool) -> None:
        self.monitor = monitor
        self.source = source
        self.layout = layout
        self.as_json = as_json
        self.head: list[tuple[int, str]] = []  # first non-blank lines, until decided
        self.reader: _Reader | None = None
        self.column = 0
        self.labels: deque[str] | None = None
        self.values = 0

    def read(self, number: int, lines: list[str]) -> None:
        if self.reader is None:
            for offset, line in enumerate(lines):
                if line.strip():
                    self.head.append((number + offset, line))
            if len(self.head) < 2:
                return
            self._decide()
            return
        self._read_data([(number + i, line) for i, line in enumerate(lines)])

    def finish(self) -> None:
        if self.reader is None:
            if not self.head:
                return
            self._decide()

    def _decide(self) -> None:
        first_line = self.head[0][0]
        head = [line for _, line in self.head]
        shape, body_line = decide_shape(head, first_line, self.source, self.layout)
        data_columns, time_at = chosen_columns(shape, self.layout)
        if len(data_columns) > 1:
            raise UsageError(
                f"{self.source}: {len(data_columns)} data columns; quarn watch follows one, "
                "choose it with --column"
            )
        self.column = data_columns[0]
        self.reader = _Reader(shape, data_columns, time_at)
        if time_at is not None:
            self.labels = deque(maxlen=KEPT_LABELS)
        self._read_data([(n, line) for n, line in self.head if n >= body_line])
        self.head = []

    def _read_data(self, numbered: list[tuple[int, str]]) -> None:
        reader = self.reader
        assert reader is not None
        shape = reader.shape
        values = []
        for number, line in numbered:
            if not line.strip():
                continue
            cells = shape.split(line, number)
            if len(cells) != shape.width:
                self._feed(values)
                reader._wrong_width(number, cells)
            try:
                value = reader._number(cells[self.column], number, self.column)
            except DataError:
                self._feed(values)
                raise
            values.append(value)
            if self.labels is not None and reader.time_at is not None:
                self.labels.append(cells[reader.time_at].strip())
        self._feed(values)

    def _feed(self, values: list[float]) -> None:
        """Gives the values read so far to the monitor and prints the alarms."""
        if not values:
            return
        alarms = self.monitor.update(np.array(values, dtype=np.float64))
        self.values += len(values)
        values.clear()
        for alarm in alarms:
            emit(self._line(alarm))

    def _label(self, position: int) -> str | None:
        if self.labels is None:
            return None
        oldest = self.values - len(self.labels)
        if position < oldest:
            return None
        return self.labels[position - oldest]

    def _line(self, alarm: Alarm) -> str:
        label, detected_label = self._label(alarm.position), self._label(alarm.detected_at)
        if self.as_json:
            return json.dumps(
                {
                    "source": self.source,
                    "position": alarm.position,
                    "label": label,
                    "detected_at": alarm.detected_at,
                    "detected_label": detected_label,
                    "kind": alarm.kind,
                    "direction": alarm.direction,
                    "evidence": alarm.evidence,
                    "effect": alarm.effect,
                }
            )
        at = f"{alarm.position}" + (f" ({label})" if label is not None else "")
        seen = f"{alarm.detected_at}" + (f" ({detected_label})" if detected_label else "")
        return (
            f"{self.source}: {alarm.kind} change ({alarm.direction}) at {at}, detected at "
            f"{seen}, evidence {alarm.evidence:.2f}, effect {alarm.effect:+.2f}"
        )


def _line_batches(fd: int, source: str, follow: bool) -> Iterator[tuple[int, list[str]]]:
    """The complete lines that have arrived, batch by batch, numbered from 1.

    Raises:
        DataError: Bytes that are not UTF-8 text, or a NUL byte.
    """
    pending = b""
    next_line = 1
    first = True
    while True:
        try:
            data = os.read(fd, READ_BYTES)
        except OSError as exc:
            raise DataError(f"{source}: cannot read it ({exc.strerror or exc})") from None
        if first and data:
            first = False
            if data.startswith(b"\xef\xbb\xbf"):
                data = data[3:]
        if not data:
            if follow:
                time.sleep(POLL_SECONDS)
                continue
            if pending:
                yield next_line, [_decoded(pending, source, next_line)]
            return
        if b"\x00" in data:
            raise DataError(f"{source}: not a text file (a NUL byte)")
        pending += data
        end = pending.rfind(b"\n") + 1
        if end == 0:
            continue
        text = _decoded(pending[:end], source, next_line)
        pending = pending[end:]
        lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")[:-1]
        yield next_line, lines
        next_line += len(lines)


def _decoded(data: bytes, source: str, line: int) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise DataError(f"{source}, from line {line}: not UTF-8 text") from None
