"""Reading series from CSV, TSV, blank-separated or one-number-per-line text.

Standard library only. The layout (delimiter, header, columns) is decided by
``layout``; this module reads the values. They are read strictly: text, an
infinity, a number with a decimal comma (unless ``--decimal ,`` is given),
or, with ``--missing raise``, a missing value, is an error naming the line
and column; otherwise a missing cell (empty, or NA, NaN, null, ...) is read
as NaN, a missing value. Line and
column numbers count from 1, as editors show them. Reading is streamed in
batches of lines into ``array('d')``, so memory stays near 8 bytes per
value; at most :data:`MAX_VALUES` values are read per file.
"""

from __future__ import annotations

import math
import re
from array import array
from collections.abc import Sequence
from dataclasses import dataclass
from operator import methodcaller

from quarn.cli.labels import Labels
from quarn.cli.layout import (
    MISSING_TOKENS,
    SPACE,
    WHOLE,
    Layout,
    Shape,
    UsageError,
    chosen_columns,
    decide_shape,
    first_lines,
)
from quarn.cli.lines import DataError, line_batches, open_input
from quarn._checks import printable, shown

__all__ = ["Column", "DataError", "Layout", "UsageError", "present_count", "read_columns"]

#: Most values read from one file (over all chosen columns).
MAX_VALUES = 100_000_000

_DECIMAL_COMMA = re.compile(r"[+-]?\d+,\d+")
_CLEANING_HINT = "remove or fill in missing values (e.g. interpolate them) and try again"


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


def read_columns(path: str, layout: Layout) -> list[Column]:
    """Reads the chosen columns of an input as series.

    Args:
        path: A file name, or ``-`` for standard input.
        layout: Which columns, and how to read them.

    Returns:
        One series per chosen column, in the order asked for.

    Raises:
        UsageError: A column does not exist, or is both data and time.
        DataError: The input is not a text table, a row has the wrong number
            of fields, a chosen cell is missing or not a finite number, or a
            series has fewer than 3 values.
    """
    source = "<stdin>" if path == "-" else printable(path)
    handle = open_input(path, source)
    try:
        batches = line_batches(handle, source)
        head, first_line = first_lines(batches, source)
        shape, body_line = decide_shape(head, first_line, source, layout)
        data_columns, time_at = chosen_columns(shape, layout)
        reader = _Reader(shape, data_columns, time_at, layout.skip_missing)
        reader.read(body_line, head[body_line - first_line :])
        for number, lines in batches:
            reader.read(number, lines)
    finally:
        if path != "-":
            handle.close()
    return reader.columns()


def present_count(values: Sequence[float]) -> int:
    """How many of the values are not missing (not NaN)."""
    import numpy as np

    floats = (
        np.frombuffer(values, dtype=np.float64)
        if isinstance(values, array) and values.typecode == "d"
        else np.asarray(values, dtype=np.float64)
    )
    return len(floats) - int(np.count_nonzero(np.isnan(floats)))


class _Reader:
    """Turns batches of data lines into the chosen columns' values."""

    def __init__(
        self,
        shape: Shape,
        data_columns: list[int],
        time_at: int | None,
        skip_missing: bool = False,
    ) -> None:
        self.shape = shape
        self.skip_missing = skip_missing
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
            if self.skip_missing and self.shape.width == 1:
                # Empty lines between numbers are missing values.
                self.values[self.data_columns[0]].extend([math.nan] * len(self.blank_lines))
            else:
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
            present = present_count(values)
            if present < 3:
                raise DataError(
                    f"{shape.source}, {shape.title(column)}: {present} value"
                    f"{'' if present == 1 else 's'} that {'is' if present == 1 else 'are'} not "
                    f"missing ({len(values) - present} missing), but at least 3 are needed"
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
        if '"' in text or "_" in text or not text.isascii():
            # Quoting, or underscores or other scripts' digits, which float()
            # would accept.
            return False
        width = shape.width
        if shape.delimiter is None:
            fields = lines
        elif shape.delimiter == SPACE:
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
                if self.skip_missing and shape.width == 1:
                    self.values[self.data_columns[0]].append(math.nan)
                    continue
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
            if self.skip_missing:
                return math.nan
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
            if "_" in number_text or not number_text.isascii():
                raise ValueError
            value = float(number_text)
        except ValueError:
            hint = self._hint(text, line)
            if not text.isascii():
                hint = " (numbers are read in the ASCII digits 0-9 only)" + hint
            raise DataError(f"{where}: {shown(text)} is not a number{hint}") from None
        if math.isnan(value):
            if self.skip_missing:
                return math.nan
            raise DataError(f"{where}: missing value ({shown(text)}); {_CLEANING_HINT}")
        if math.isinf(value):
            raise DataError(
                f"{where}: infinite value ({shown(text)}); remove or replace it and try again"
            )
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
        whole = all(WHOLE.fullmatch(cell.strip()) for cell in cells + shape.first_cells)
        if shape.delimiter == "," and shape.decimal == "." and whole:
            message += "; if the commas are decimal commas, read the file with --decimal ,"
        elif shape.delimiter == SPACE:
            message += "; with blank-separated columns every field must be one word"
        raise DataError(message)
