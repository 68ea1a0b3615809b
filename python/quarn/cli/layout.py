"""How a text table is laid out: its delimiter, header and columns.

Standard library only. The layout is decided from the first lines:

- Delimiter: a tab for ``.tsv`` and ``.tab`` files, otherwise the first of
  tab, semicolon, bar and comma that appears equally often on each of the
  first 50 lines (outside quotes); failing that, the one the first line uses
  most. Text without any of them is split at runs of blanks when its first
  line holds several words, and is one column otherwise: a one-number-per-
  line file is never split. ``--delimiter`` forces the choice.
- Header: the first row is a header when it holds a name (a cell that is
  neither a number nor a missing-value mark) and either all its cells are
  names or a name stands above a number in the second row. So ``x,1,y``
  over numbers is a header, and ``2020-01-01,5.3`` over a row of the same
  kind is data. ``--header`` and ``--no-header`` force the choice.
- Every row must have as many fields as the header (or the first row).
- Columns are chosen by header name first, then by number from 1.
"""

from __future__ import annotations

import csv
import os
import re
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from quarn.cli.lines import DataError
from quarn._checks import shown
from quarn.options import Option

#: Cells that spreadsheets, R and pandas write for a missing value.
MISSING_TOKENS = frozenset({"", "na", "n/a", "#n/a", "nan", "null", "none", "nil", "-", "?"})

#: Lines looked at to choose the delimiter.
SNIFF_LINES = 50

_DELIMITERS = ("\t", ";", "|", ",")  # in order of preference
_NAMES = {"tab": "\t", "\\t": "\t", "space": " ", "comma": ",", "semicolon": ";", "bar": "|"}
_QUOTED = re.compile(r'"[^"]*"')
WHOLE = re.compile(r"[+-]?\d+")
_LEADING_ZERO = re.compile(r"0\d+")
SPACE = " "  # the delimiter value that means runs of blanks


class UsageError(Exception):
    """The command line asks for something that does not fit the data (exit status 2)."""


def options_from_flags(
    args: Any, table: Iterable[Option], check: Callable[..., dict[str, Any]]
) -> dict[str, Any]:
    """The options of ``table`` given as flags, parsed and then checked by
    ``check(given, cli=True)``; a bad value is a UsageError."""
    given: dict[str, Any] = {}
    for option in table:
        flag = option.flag
        text = getattr(args, option.name, None) if flag else None
        if flag is None or text is None:
            continue
        try:
            given[option.name] = text if option.parse is None else option.parse(text, flag)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    try:
        return check(given, cli=True)
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None


@dataclass(frozen=True)
class Layout:
    """How to read an input, as given on the command line.

    Attributes:
        columns: Column names or numbers (from 1) to analyse; empty means
            every column except the time column.
        time_column: Name or number of the column of time labels, or None.
        header: True or False to force the header rule, None to apply it.
        delimiter: A delimiter (or "tab", "space", ...) to force, or None.
        decimal: The decimal mark of the numbers, "." or ",".
        skip_missing: Whether a missing cell (empty, or NA, NaN, null, ...)
            is read as a missing value (NaN) rather than refused.
    """

    columns: Sequence[str] = ()
    time_column: str | None = None
    header: bool | None = None
    delimiter: str | None = None
    decimal: str = "."
    skip_missing: bool = False


@dataclass
class Shape:
    """What the first lines told about a table."""

    source: str
    delimiter: str | None  # None: one column; SPACE: runs of blanks
    header: list[str] | None
    width: int
    width_from: str  # "the header" or "line N"
    decimal: str
    first_cells: list[str] = field(default_factory=list)  # of the header or first row

    def name(self, column: int) -> str:
        """Header name of a 0-based column, or ``column N``."""
        if self.header is not None and self.header[column].strip():
            return self.header[column].strip()
        return f"column {column + 1}"

    def title(self, column: int) -> str:
        """``column 'name'`` for a named column, ``column N`` otherwise."""
        if self.header is not None and self.header[column].strip():
            return f"column {shown(self.name(column))}"
        return self.name(column)

    def where(self, line: int, column: int) -> str:
        """The place of a cell, for messages."""
        text = f"{self.source}, line {line}"
        if self.header is not None and self.header[column].strip():
            return f"{text}, column {column + 1} ({shown(self.name(column))})"
        return f"{text}, column {column + 1}" if self.width > 1 else text

    def split(self, line: str, number: int) -> list[str]:
        """The fields of line ``number``."""
        if self.delimiter is None:
            return [line]
        if self.delimiter == SPACE:
            return line.split()
        if '"' not in line:
            return line.split(self.delimiter)
        reader = csv.reader([line], delimiter=self.delimiter, skipinitialspace=True, strict=True)
        try:
            return next(reader, [])
        except csv.Error as exc:
            raise DataError(f"{self.source}, line {number}: {exc} (a quote not closed?)") from None


def first_lines(batches: Iterator[tuple[int, list[str]]], source: str) -> tuple[list[str], int]:
    """The first lines from the first non-blank one on: at least SNIFF_LINES
    of them when the file has that many."""
    head: list[str] = []
    first_line = 0
    for number, lines in batches:
        if not head:
            start = next((i for i, line in enumerate(lines) if line.strip()), None)
            if start is None:
                continue
            first_line, lines = number + start, lines[start:]
        head.extend(lines)
        if len(head) >= SNIFF_LINES:
            break
    if not head:
        raise DataError(f"{source}: the file is empty")
    return head, first_line


def decide_shape(
    head: list[str], first_line: int, source: str, layout: Layout
) -> tuple[Shape, int]:
    """Chooses delimiter and header; returns the shape and the first data line."""
    if layout.decimal not in (".", ","):
        raise UsageError(f"--decimal must be '.' or ',', got {shown(layout.decimal)}")
    delimiter = _delimiter(head, source, layout)
    shape = Shape(source, delimiter, None, 0, "", layout.decimal)
    rows = [shape.split(line, number) for number, line in _first_nonblank(head, first_line, 2)]
    header = layout.header
    if header is None:
        header = _is_header(rows[0], rows[1] if len(rows) > 1 else None, layout.decimal)
    shape.first_cells = rows[0]
    if header:
        shape.header = rows[0]
        shape.width, shape.width_from = len(rows[0]), "the header"
    else:
        shape.width, shape.width_from = len(rows[0]), f"line {first_line}"
    if delimiter == "," and layout.delimiter is None and not header:
        _decimal_comma_check(head, first_line, source)
    return shape, first_line + (1 if header else 0)


def _first_nonblank(lines: list[str], first_line: int, count: int) -> list[tuple[int, str]]:
    """The first ``count`` non-blank lines with their numbers."""
    found = []
    for number, line in enumerate(lines, start=first_line):
        if line.strip():
            found.append((number, line))
            if len(found) == count:
                break
    return found


def _delimiter(head: list[str], source: str, layout: Layout) -> str | None:
    if layout.delimiter is not None:
        wanted = _NAMES.get(layout.delimiter.lower(), layout.delimiter)
        if len(wanted) != 1 or wanted in "\"\r\n" or wanted == layout.decimal:
            raise UsageError(
                f"--delimiter must be one character (or tab, space, comma, semicolon, "
                f"bar) other than the decimal mark, got {shown(layout.delimiter)}"
            )
        return SPACE if wanted.isspace() and wanted != "\t" else wanted
    if os.path.splitext(source)[1].lower() in (".tsv", ".tab"):
        return "\t"
    sample = [_QUOTED.sub("", line) for line in head[:SNIFF_LINES] if line.strip()]
    candidates = [d for d in _DELIMITERS if d != layout.decimal]
    for delimiter in candidates:
        counts = {line.count(delimiter) for line in sample}
        if len(counts) == 1 and counts != {0}:
            return delimiter
    used = max(candidates, key=lambda d: sample[0].count(d))
    if sample[0].count(used):
        return used  # rows disagree; the field count check names the line
    return SPACE if len(sample[0].split()) > 1 else None


def _is_header(first: list[str], second: list[str] | None, decimal: str) -> bool:
    kinds = [_kind(cell, decimal) for cell in first]
    if "name" not in kinds:
        return False
    if second is None or all(kind != "number" for kind in kinds):
        return True
    below = [_kind(cell, decimal) for cell in second]
    return any(
        kind == "name" and index < len(below) and below[index] != "name"
        for index, kind in enumerate(kinds)
    )


def _kind(cell: str, decimal: str) -> str:
    text = cell.strip()
    if text.lower() in MISSING_TOKENS:
        return "missing"
    if decimal == ",":
        text = text.replace(",", ".")
    try:
        float(text)
    except ValueError:
        return "name"
    return "number"


def _decimal_comma_check(head: list[str], first_line: int, source: str) -> None:
    """Refuses comma-split whole numbers that may be numbers with decimal commas.

    Lines of two whole numbers split by a comma read as well as one number
    with a decimal comma (``1,288``) as two columns; the file must say which.
    A first field of -0, or a later field with a leading zero (``05``), is
    written only by decimal fractions.

    Raises:
        DataError: The first lines are such numbers.
    """
    rows = [
        (first_line + i, line.split(","))
        for i, line in enumerate(head[:SNIFF_LINES])
        if line.strip()
    ]
    if not all(WHOLE.fullmatch(cell.strip()) for _, cells in rows for cell in cells):
        return
    for line, cells in rows:
        if cells[0].strip() in ("-0", "+0") or any(
            _LEADING_ZERO.fullmatch(cell.strip()) for cell in cells[1:]
        ):
            raise DataError(
                f"{source}, line {line}: {shown(','.join(cells))} looks like a number with a "
                "decimal comma; read the file with --decimal , (or with --delimiter , if "
                "the commas separate columns)"
            )
    if all(len(cells) == 2 for _, cells in rows):
        line, cells = rows[0]
        raise DataError(
            f"{source}: every line holds two whole numbers split by a comma (line {line}: "
            f"{shown(','.join(cells))}), which may be one number with a decimal comma; "
            "read the file with --decimal , for decimal commas or --delimiter , for two columns"
        )


def chosen_columns(shape: Shape, layout: Layout) -> tuple[list[int], int | None]:
    """The 0-based data columns to read, and the time column or None.

    Raises:
        UsageError: A column does not exist, is both data and time, or no
            data column is left.
    """
    time_at = None if layout.time_column is None else _resolve(shape, layout.time_column)
    if layout.columns:
        chosen = list(dict.fromkeys(_resolve(shape, wanted) for wanted in layout.columns))
    else:
        chosen = [i for i in range(shape.width) if i != time_at]
    if time_at is not None and time_at in chosen:
        raise UsageError(
            f"{shape.source}: {shape.title(time_at)} cannot be both a data column and "
            "the time column"
        )
    if not chosen:
        raise UsageError(f"{shape.source}: no data column left besides the time column")
    return chosen, time_at


def _resolve(shape: Shape, wanted: str) -> int:
    """A column by header name (first) or by number from 1."""
    if shape.header is not None:
        names = [name.strip() for name in shape.header]
        if wanted.strip() in names:
            return names.index(wanted.strip())
    if wanted.strip().isascii() and wanted.strip().isdigit():
        number = int(wanted)
        if 1 <= number <= shape.width:
            return number - 1
        raise UsageError(
            f"{shape.source}: no column number {number}; the file has "
            f"{shape.width} column{'' if shape.width == 1 else 's'} (numbered from 1)"
        )
    if shape.header is None:
        raise UsageError(
            f"{shape.source}: unknown column {shown(wanted)}; the file has no header row, "
            f"so choose columns by number (1 to {shape.width})"
        )
    known = ", ".join(shown(shape.name(i)) for i in range(shape.width))
    raise UsageError(
        f"{shape.source}: unknown column {shown(wanted)}; columns are {shown(known, 300)}"
    )
