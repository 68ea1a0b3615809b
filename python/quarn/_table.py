"""Reading series from CSV, TSV, space-separated or one-number-per-line text.

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

Values are read strictly: a missing value, text, an infinity, or a number
with a decimal comma (unless ``--decimal ,`` is given) is an error naming the
line and column. Line and column numbers count from 1, as editors show them.
Reading is streamed in batches of lines into ``array('d')``, so memory stays
near 8 bytes per value; at most :data:`MAX_VALUES` values are read per file.
"""

from __future__ import annotations

import csv
import math
import os
import re
from array import array
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from operator import methodcaller

from quarn._labels import Labels
from quarn._lines import DataError, line_batches, open_input
from quarn.options import shown

__all__ = ["Column", "DataError", "Layout", "UsageError", "read_columns"]

#: Cells that spreadsheets, R and pandas write for a missing value.
MISSING_TOKENS = frozenset({"", "na", "n/a", "#n/a", "nan", "null", "none", "nil", "-", "?"})

#: Most values read from one file (over all chosen columns).
MAX_VALUES = 100_000_000

#: Lines looked at to choose the delimiter.
SNIFF_LINES = 50

_DELIMITERS = ("\t", ";", "|", ",")  # in order of preference
_NAMES = {"tab": "\t", "\\t": "\t", "space": " ", "comma": ",", "semicolon": ";", "bar": "|"}
_QUOTED = re.compile(r'"[^"]*"')
_DECIMAL_COMMA = re.compile(r"[+-]?\d+,\d+")
_WHOLE = re.compile(r"[+-]?\d+")
_LEADING_ZERO = re.compile(r"0\d+")
_CLEANING_HINT = "remove or fill in missing values (e.g. interpolate them) and try again"
_SPACE = " "  # the delimiter value that means runs of blanks


class UsageError(Exception):
    """The command line asks for something that does not fit the data (exit status 2)."""


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
    """

    columns: Sequence[str] = ()
    time_column: str | None = None
    header: bool | None = None
    delimiter: str | None = None
    decimal: str = "."


@dataclass(frozen=True)
class Column:
    """One series read from a table.

    Attributes:
        source: File name as given, or ``<stdin>``.
        name: Header name of the column, or ``column N``.
        title: ``column 'name'`` or ``column N``, for messages.
        values: The numbers, in row order.
        labels: The cells of the time column, or None without one.
        labels_name: Name of the time column, or None without one.
    """

    source: str
    name: str
    title: str
    values: Sequence[float]
    labels: Sequence[str] | None = None
    labels_name: str | None = None


@dataclass
class _Shape:
    """What the first lines told about a table."""

    source: str
    delimiter: str | None  # None: one column; _SPACE: runs of blanks
    header: list[str] | None
    width: int
    width_from: str  # "the header" or "line N"
    decimal: str
    first_cells: list[str] = field(default_factory=list)  # of the header or first row
    warnings: list[str] = field(default_factory=list)

    def name(self, column: int) -> str:
        if self.header is not None and self.header[column].strip():
            return self.header[column].strip()
        return f"column {column + 1}"

    def title(self, column: int) -> str:
        if self.header is not None and self.header[column].strip():
            return f"column {shown(self.name(column))}"
        return self.name(column)

    def where(self, line: int, column: int) -> str:
        text = f"{self.source}, line {line}"
        if self.header is not None and self.header[column].strip():
            return f"{text}, column {column + 1} ({shown(self.name(column))})"
        return f"{text}, column {column + 1}" if self.width > 1 else text

    def split(self, line: str, number: int) -> list[str]:
        """The fields of line ``number``."""
        if self.delimiter is None:
            return [line]
        if self.delimiter == _SPACE:
            return line.split()
        if '"' not in line:
            return line.split(self.delimiter)
        reader = csv.reader([line], delimiter=self.delimiter, skipinitialspace=True, strict=True)
        try:
            return next(reader, [])
        except csv.Error as exc:
            raise DataError(f"{self.source}, line {number}: {exc} (a quote not closed?)") from None


def read_columns(path: str, layout: Layout) -> tuple[list[Column], list[str]]:
    """Reads the chosen columns of an input as series.

    Args:
        path: A file name, or ``-`` for standard input.
        layout: Which columns, and how to read them.

    Returns:
        One series per chosen column in the order asked for, and warnings
        about the reading (for a warning line each).

    Raises:
        UsageError: A column does not exist, or is both data and time.
        DataError: The input is not a text table, a row has the wrong number
            of fields, a chosen cell is missing or not a finite number, or a
            series has fewer than 3 values.
    """
    source = "<stdin>" if path == "-" else path
    handle = open_input(path, source)
    try:
        batches = line_batches(handle, source)
        head, first_line = _head(batches, source)
        shape, body_line = _shape(head, first_line, source, layout)
        data_columns, time_at = _chosen(shape, layout)
        reader = _Reader(shape, data_columns, time_at)
        reader.read(body_line, head[body_line - first_line :])
        for number, lines in batches:
            reader.read(number, lines)
    finally:
        if path != "-":
            handle.close()
    return reader.columns(), shape.warnings


def _head(batches: Iterator[tuple[int, list[str]]], source: str) -> tuple[list[str], int]:
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


def _shape(head: list[str], first_line: int, source: str, layout: Layout) -> tuple[_Shape, int]:
    """Chooses delimiter and header; returns the shape and the first data line."""
    if layout.decimal not in (".", ","):
        raise UsageError(f"--decimal must be '.' or ',', got {shown(layout.decimal)}")
    delimiter = _delimiter(head, source, layout)
    shape = _Shape(source, delimiter, None, 0, "", layout.decimal)
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
        shape.warnings.extend(_decimal_comma_check(head, first_line, source))
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
        return _SPACE if wanted.isspace() and wanted != "\t" else wanted
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
    return _SPACE if len(sample[0].split()) > 1 else None


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


def _decimal_comma_check(head: list[str], first_line: int, source: str) -> list[str]:
    """Rows of whole numbers split at commas may be numbers with decimal commas.

    A first field of -0, or a later field with a leading zero (``05``), is
    written only by decimal fractions, so such a file is refused; otherwise a
    warning says how the commas were read.
    """
    rows = [
        (first_line + i, line.split(","))
        for i, line in enumerate(head[:SNIFF_LINES])
        if line.strip()
    ]
    if not all(_WHOLE.fullmatch(cell.strip()) for _, cells in rows for cell in cells):
        return []
    for line, cells in rows:
        if cells[0].strip() in ("-0", "+0") or any(
            _LEADING_ZERO.fullmatch(cell.strip()) for cell in cells[1:]
        ):
            raise DataError(
                f"{source}, line {line}: {shown(','.join(cells))} looks like a number with a "
                "decimal comma; read the file with --decimal , (or with --delimiter , if "
                "the commas separate columns)"
            )
    example = ",".join(rows[0][1])
    return [
        f"{source}: every field is a whole number, so commas were read as delimiters "
        f"(e.g. {shown(example)}); for numbers with decimal commas use --decimal , "
        "(and --delimiter , to keep this reading without the warning)"
    ]


def _chosen(shape: _Shape, layout: Layout) -> tuple[list[int], int | None]:
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


def _resolve(shape: _Shape, wanted: str) -> int:
    """A column by header name (first) or by number from 1."""
    if shape.header is not None:
        names = [name.strip() for name in shape.header]
        if wanted.strip() in names:
            return names.index(wanted.strip())
    if wanted.strip().isdigit():
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
    raise UsageError(f"{shape.source}: unknown column {shown(wanted)}; columns are {shown(known, 300)}")


class _Reader:
    """Turns batches of data lines into the chosen columns' values."""

    def __init__(self, shape: _Shape, data_columns: list[int], time_at: int | None) -> None:
        self.shape = shape
        self.data_columns = data_columns
        self.time_at = time_at
        self.values = {column: array("d") for column in data_columns}
        self.labels = Labels() if time_at is not None else None
        self.blank_lines: list[int] = []  # blank lines not yet known to be trailing
        self.first_data_line: int | None = None

    def read(self, number: int, lines: list[str]) -> None:
        """Reads one batch of lines, the first of them numbered ``number``."""
        end = len(lines)
        while end and not lines[end - 1].strip():
            end -= 1
        if end == 0:
            self.blank_lines.extend(range(number, number + len(lines)))
            return
        if self.blank_lines:
            self._blank_line(self.blank_lines[0])
        self.blank_lines = list(range(number + end, number + len(lines)))
        lines = lines if end == len(lines) else lines[:end]
        if self.first_data_line is None:
            self.first_data_line = number
        if len(self.values[self.data_columns[0]]) + end > MAX_VALUES // len(self.data_columns):
            raise DataError(
                f"{self.shape.source}: more than {MAX_VALUES} values; quarn reads at most "
                f"{MAX_VALUES} values per file (choose columns with --column)"
            )
        if not self._read_fast(lines):
            self._read_slowly(number, lines)

    def columns(self) -> list[Column]:
        shape = self.shape
        if self.first_data_line is None:
            raise DataError(f"{shape.source}: the file has a header but no data rows")
        found = []
        for column in self.data_columns:
            values = self.values[column]
            if len(values) < 3:
                raise DataError(
                    f"{shape.source}, {shape.title(column)}: {len(values)} value"
                    f"{'' if len(values) == 1 else 's'}, but at least 3 are needed"
                )
            found.append(
                Column(
                    shape.source,
                    shape.name(column),
                    shape.title(column),
                    values,
                    self.labels,
                    None if self.time_at is None else shape.name(self.time_at),
                )
            )
        return found

    def _read_fast(self, lines: list[str]) -> bool:
        """Reads well-formed lines with bulk operations; False when a line
        needs a closer look (quotes, a wrong field count, a bad value)."""
        shape = self.shape
        text = "\n".join(lines)
        if '"' in text or "_" in text:
            return False  # quoting, or underscores that float() would accept
        width = shape.width
        if shape.delimiter is None:
            fields = lines
        elif shape.delimiter == _SPACE:
            rows = [line.split() for line in lines]
            if any(len(row) != width for row in rows):
                return False
            fields = [cell for row in rows for cell in row]
        else:
            if set(map(methodcaller("count", shape.delimiter), lines)) != {width - 1}:
                return False
            fields = shape.delimiter.join(lines).split(shape.delimiter)
        parsed = {}
        for column in self.data_columns:
            cells = fields[column::width] if width > 1 else fields
            if shape.decimal == ",":
                joined = "\n".join(cells)
                if "." in joined:
                    return False
                cells = joined.replace(",", ".").split("\n")
            try:
                numbers = array("d", map(float, cells))
            except ValueError:
                return False
            if not math.isfinite(sum(numbers)):
                return False  # NaN, infinity, or a sum that overflowed: look closer
            parsed[column] = numbers
        for column, numbers in parsed.items():
            self.values[column].extend(numbers)
        if self.labels is not None:
            self.labels.extend([cell.strip() for cell in fields[self.time_at :: width]])
        return True

    def _read_slowly(self, number: int, lines: list[str]) -> None:
        """Reads line by line, stopping at the first problem with its message."""
        shape = self.shape
        for offset, line in enumerate(lines):
            line_number = number + offset
            if not line.strip():
                self._blank_line(line_number)
            cells = shape.split(line, line_number)
            if len(cells) != shape.width:
                self._wrong_width(line_number, cells)
            for column in self.data_columns:
                self.values[column].append(self._number(cells[column], line_number, column))
            if self.labels is not None:
                self.labels.extend([cells[self.time_at].strip()])

    def _number(self, cell: str, line: int, column: int) -> float:
        shape = self.shape
        text = cell.strip()
        where = shape.where(line, column)
        if text.lower() in MISSING_TOKENS:
            shown_text = shown(text) if text else "an empty cell"
            raise DataError(f"{where}: missing value ({shown_text}); {_CLEANING_HINT}")
        number_text = text
        if shape.decimal == ",":
            if "." in text:
                raise DataError(
                    f"{where}: {shown(text)} has a decimal point, but --decimal , was given"
                )
            number_text = text.replace(",", ".")
        try:
            if "_" in number_text:
                raise ValueError
            value = float(number_text)
        except ValueError:
            raise DataError(f"{where}: {shown(text)} is not a number{self._hint(text, line)}") from None
        if math.isnan(value):
            raise DataError(f"{where}: missing value ({shown(text)}); {_CLEANING_HINT}")
        if math.isinf(value):
            raise DataError(f"{where}: infinite value ({shown(text)}); remove or replace it and try again")
        return value

    def _hint(self, text: str, line: int) -> str:
        shape = self.shape
        if shape.decimal == "." and _DECIMAL_COMMA.fullmatch(text):
            return " (a decimal comma? read such numbers with --decimal ,)"
        if self.time_at is None and line == self.first_data_line and shape.width > 1:
            return " (for time stamps use --time-column; choose data with --column)"
        return ""

    def _blank_line(self, line: int) -> None:
        shape = self.shape
        if shape.width == 1:
            where = f"{shape.source}, line {line}"
            raise DataError(f"{where}: missing value (an empty line); {_CLEANING_HINT}")
        raise DataError(
            f"{shape.source}, line {line}: an empty line in a table of {shape.width} columns; "
            "remove it or fill in its values"
        )

    def _wrong_width(self, line: int, cells: list[str]) -> None:
        shape = self.shape
        count = len(cells)
        message = (
            f"{shape.source}, line {line}: {count} field{'' if count == 1 else 's'}, but "
            f"{shape.width_from} has {shape.width}"
        )
        whole = all(_WHOLE.fullmatch(cell.strip()) for cell in cells + shape.first_cells)
        if shape.delimiter == "," and shape.decimal == "." and whole:
            message += "; if the commas are decimal commas, read the file with --decimal ,"
        elif shape.delimiter == _SPACE:
            message += "; with blank-separated columns every field must be one word"
        raise DataError(message)
