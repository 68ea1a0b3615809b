"""Reading series from CSV, TSV or one-number-per-line text (standard library only).

Line and column numbers in messages count from 1, as editors show them.
"""

from __future__ import annotations

import csv
import io
import math
import os
import re
import sys
from dataclasses import dataclass

# Cells that spreadsheets, R and pandas write for a missing value.
MISSING_TOKENS = frozenset({"", "na", "n/a", "#n/a", "nan", "null", "none", "nil", "-", "?"})

_DELIMITERS = ",;\t|"
_CLEANING_HINT = "remove or fill in missing values (e.g. interpolate them) and try again"


class DataError(Exception):
    """The input data cannot be used (exit status 1)."""


class UsageError(Exception):
    """The command line asks for something that does not fit the data (exit status 2)."""


@dataclass(frozen=True)
class Table:
    """The rows of one input, split into cells.

    Attributes:
        source: File name as given, or ``<stdin>``.
        header: Column names when the first row is a header, otherwise None.
        rows: ``(line number, cells)`` of every data row.
    """

    source: str
    header: list[str] | None
    rows: list[tuple[int, list[str]]]

    @property
    def width(self) -> int:
        """Number of columns: of the header, or of the widest row."""
        if self.header is not None:
            return len(self.header)
        return max((len(cells) for _, cells in self.rows), default=0)

    def column_name(self, column: int) -> str:
        """Readable name of a 0-based column: its header, or its number."""
        if self.header is not None and self.header[column].strip():
            return self.header[column].strip()
        return f"column {column + 1}"

    def column_title(self, column: int) -> str:
        """``column 'price'`` for a named column, ``column 2`` otherwise."""
        if self.header is not None and self.header[column].strip():
            return f"column {self.column_name(column)!r}"
        return self.column_name(column)


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
    values: list[float]
    labels: list[str] | None = None
    labels_name: str | None = None


def read_text(path: str) -> str:
    """Reads a whole input as text; ``-`` is standard input.

    Raises:
        DataError: The file is missing, unreadable or not UTF-8 text.
    """
    source = "<stdin>" if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as handle:
                data = handle.read()
    except FileNotFoundError:
        raise DataError(f"{source}: no such file") from None
    except IsADirectoryError:
        raise DataError(f"{source}: is a directory, not a file") from None
    except OSError as exc:
        raise DataError(f"{source}: cannot read it ({exc.strerror or exc})") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise DataError(
            f"{source}: not UTF-8 text (undecodable byte at offset {exc.start})"
        ) from None


def parse_table(text: str, source: str) -> Table:
    """Splits text into header and data rows.

    The delimiter is ``\\t`` for ``.tsv`` and ``.tab`` files and is sniffed
    otherwise (comma, semicolon, tab or bar); text without any of them is one
    column. The first row is a header when none of its cells is a number and
    at least one is a name.

    Raises:
        DataError: The text holds no data.
    """
    # Only real line ends count, so line numbers match what editors show.
    lines = re.split(r"\r\n|\r|\n", text)
    while lines and not lines[-1].strip():
        lines.pop()
    if not lines:
        raise DataError(f"{source}: the file is empty")
    delimiter = _delimiter(source, lines)
    reader = csv.reader(io.StringIO("\n".join(lines)), delimiter=delimiter, skipinitialspace=True)
    rows: list[tuple[int, list[str]]] = []
    try:
        for cells in reader:
            if cells or rows:  # blank lines before the first row are not data
                rows.append((reader.line_num, cells))
    except csv.Error as exc:
        raise DataError(f"{source}, line {reader.line_num}: {exc}") from None
    header = None
    if _is_header(rows[0][1]):
        header = rows.pop(0)[1]
    if not rows:
        raise DataError(f"{source}: the file has a header but no data rows")
    return Table(source, header, rows)


def select_columns(table: Table, columns: list[str], time_column: str | None) -> list[Column]:
    """Reads the chosen columns of a table as series.

    Args:
        table: The parsed input.
        columns: Column names or numbers (from 1); empty means every column
            except the time column.
        time_column: Name or number of the column holding time labels.

    Returns:
        One series per chosen column, in the order asked for.

    Raises:
        UsageError: A column does not exist, or is both data and time.
        DataError: A chosen cell is missing or not a number, or a series has
            fewer than 3 values.
    """
    time_at = None if time_column is None else _resolve(table, time_column)
    if columns:
        chosen = list(dict.fromkeys(_resolve(table, wanted) for wanted in columns))
    else:
        chosen = [i for i in range(table.width) if i != time_at]
    if time_at is not None and time_at in chosen:
        raise UsageError(
            f"{table.source}: {table.column_title(time_at)} cannot be both a data "
            "column and the time column"
        )
    if not chosen:
        raise UsageError(f"{table.source}: no data column left besides the time column")
    labels = None if time_at is None else [_cell(table, line, cells, time_at)[0] for line, cells in table.rows]
    return [
        Column(
            table.source,
            table.column_name(i),
            table.column_title(i),
            _numbers(table, i, time_column),
            labels,
            None if time_at is None else table.column_name(time_at),
        )
        for i in chosen
    ]


def _numbers(table: Table, column: int, time_column: str | None) -> list[float]:
    values = []
    for line, cells in table.rows:
        text, where = _cell(table, line, cells, column)
        if text.lower() in MISSING_TOKENS:
            if not cells:
                shown = "an empty line"
            elif column >= len(cells):
                shown = f"the line has only {len(cells)} field{'' if len(cells) == 1 else 's'}"
            else:
                shown = repr(text) if text else "an empty cell"
            raise DataError(f"{where}: missing value ({shown}); {_CLEANING_HINT}")
        try:
            value = float(text)
        except ValueError:
            hint = ""
            if time_column is None and line == table.rows[0][0] and table.width > 1:
                hint = " (for time stamps use --time-column; choose data with --column)"
            raise DataError(f"{where}: {text!r} is not a number{hint}") from None
        if not math.isfinite(value):
            raise DataError(f"{where}: infinite value ({text!r}); remove or replace it and try again")
        values.append(value)
    if len(values) < 3:
        raise DataError(
            f"{table.source}, {table.column_title(column)}: {len(values)} value"
            f"{'' if len(values) == 1 else 's'}, but at least 3 are needed"
        )
    return values


def _cell(table: Table, line: int, cells: list[str], column: int) -> tuple[str, str]:
    where = f"{table.source}, line {line}"
    if table.header is not None and table.header[column].strip():
        where += f", column {column + 1} ({table.column_name(column)!r})"
    elif table.width > 1:
        where += f", column {column + 1}"
    if column >= len(cells):
        return "", where
    return cells[column].strip(), where


def _resolve(table: Table, wanted: str) -> int:
    if table.header is not None:
        names = [name.strip() for name in table.header]
        if wanted.strip() in names:
            return names.index(wanted.strip())
    if wanted.strip().isdigit():
        number = int(wanted)
        if 1 <= number <= table.width:
            return number - 1
        raise UsageError(
            f"{table.source}: no column number {number}; the file has "
            f"{table.width} column{'' if table.width == 1 else 's'} (numbered from 1)"
        )
    if table.header is None:
        raise UsageError(
            f"{table.source}: unknown column {wanted!r}; the file has no header row, "
            f"so choose columns by number (1 to {table.width})"
        )
    known = ", ".join(repr(table.column_name(i)) for i in range(table.width))
    raise UsageError(f"{table.source}: unknown column {wanted!r}; columns are {known}")


def _delimiter(source: str, lines: list[str]) -> str:
    if os.path.splitext(source)[1].lower() in (".tsv", ".tab"):
        return "\t"
    sample = "\n".join(lines[:50])
    try:
        return csv.Sniffer().sniff(sample, delimiters=_DELIMITERS).delimiter
    except csv.Error:
        counts = {d: lines[0].count(d) for d in _DELIMITERS}
        best = max(counts, key=lambda d: counts[d])
        return best if counts[best] else ","


def _is_header(cells: list[str]) -> bool:
    names = 0
    for cell in cells:
        text = cell.strip()
        if text.lower() in MISSING_TOKENS:
            continue
        try:
            float(text)
        except ValueError:
            names += 1
        else:
            return False
    return names > 0
