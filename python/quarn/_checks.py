"""Checks and parsers of single values, and how values are quoted in
messages: what the options table (:mod:`quarn.options`), the monitor's
options and the command line build their checks from.

Each check takes the value and the subject to name in its message ("seed"
from Python, "--seed" from the command line). The parsers only turn
command-line text into Python values; the checks then judge the values, so
both ways in give the same message.
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Callable, Iterable
from typing import Any

#: Largest value of every integer option: the detector takes unsigned
#: 64-bit integers.
MAX_UNSIGNED = 2**64 - 1

#: Offending values are quoted in messages up to about this many characters.
SHOWN_CHARACTERS = 100


def shown(value: Any, limit: int = SHOWN_CHARACTERS) -> str:
    """The ``repr`` of a value for a message, cut to about ``limit`` characters.

    Integers too long to print (Python refuses beyond a few thousand digits)
    are described by their number of digits.
    """
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 330:
        digits = math.floor(value.bit_length() * math.log10(2)) + 1
        return f"an integer of about {digits} digits"
    try:
        text = repr(value)
    except Exception:  # a broken __repr__ must not hide the real problem
        text = f"<{type(value).__name__} object>"
    return shown_text(text, limit)


def shown_text(text: str, limit: int = SHOWN_CHARACTERS) -> str:
    """Text for a message as it is (no quotes), cut to about ``limit`` characters."""
    if len(text) > limit:
        text = f"{text[: limit - 20]}... ({len(text)} characters)"
    return text


def printable(text: str) -> str:
    """Text for a terminal: characters that are not printable (newlines,
    escape sequences, other control and format characters) written as
    their Python escapes, so that they cannot split or restyle a line;
    everything else as it is."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def integer_in(low: int, high: int = MAX_UNSIGNED) -> Callable[[Any, str], int]:
    """A check for an integer from ``low`` to ``high``."""

    def check(value: Any, subject: str) -> int:
        if isinstance(value, bool):
            raise TypeError(f"{subject} must be an integer, got {value!r}")
        try:
            number = operator.index(value)
        except TypeError:
            raise TypeError(f"{subject} must be an integer, got {shown(value)}") from None
        if not low <= number <= high:
            raise ValueError(
                f"{subject} must be an integer from {low} to {high}, got {shown(number)}"
            )
        return number

    return check


def optional(check: Callable[[Any, str], Any]) -> Callable[[Any, str], Any]:
    """A check that lets None through and passes anything else to ``check``."""

    def checked(value: Any, subject: str) -> Any:
        return None if value is None else check(value, subject)

    return checked


def fraction(example: str) -> Callable[[Any, str], float]:
    """A check for a number from 0 to 1; ``example`` explains a value."""

    def check(value: Any, subject: str) -> float:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{subject} must be a number, got {shown(value)}")
        number = float(value)
        if math.isnan(number) or not 0.0 <= number <= 1.0:
            raise ValueError(
                f"{subject} must be a fraction from 0 to 1 ({example}), got {number!r}"
            )
        return number

    return check


def check_callback(value: Any, subject: str) -> Any:
    """None, or something callable."""
    if value is not None and not callable(value):
        raise TypeError(
            f"{subject} must be a function taking (done, total), or None, got {shown(value)}"
        )
    return value


def is_boolean(value: Any) -> bool:
    """Whether the value is True or False: a bool or a numpy bool (which is
    no subclass of bool), not 0 or 1."""
    return type(value).__name__ in ("bool", "bool_")


def check_switch(value: Any, subject: str) -> bool:
    """True or False (numpy booleans too, but not 0 and 1)."""
    if not is_boolean(value):
        raise TypeError(f"{subject} must be True or False, got {shown(value)}")
    return bool(value)


#: Said of a number that Python would read but quarn does not: other
#: scripts' digits, underscores between digits.
NOT_PLAIN = " written with the ASCII digits 0-9 (no underscores)"


def plain(text: str) -> bool:
    """Whether number text is written as quarn reads numbers (see NOT_PLAIN)."""
    return text.isascii() and "_" not in text


def parse_integer(text: str, subject: str) -> int:
    """An integer written in decimal with the ASCII digits."""
    return _parse_plain(text, subject, int, "an integer")


def parse_number(text: str, subject: str) -> float:
    """A number such as ``0.05`` or ``1e-3``, with the ASCII digits."""
    return _parse_plain(text, subject, float, "a number")


def _parse_plain(text: str, subject: str, convert: Callable[[str], Any], what: str) -> Any:
    """convert(text), where the text is plain; else ValueError saying that
    the subject must be `what`."""
    try:
        if plain(text):
            return convert(text.strip())
    except ValueError:
        pass
    note = "" if plain(text) else NOT_PLAIN
    raise ValueError(f"{subject} must be {what}{note}, got {shown(text)}")


def parse_text(text: str, subject: str) -> str:
    """Text, passed on as it is."""
    return text


def format_sizes(sizes: Iterable[int]) -> str:
    """Writes window sizes compactly: ``10-20`` for a run, else ``10,12,15``.

    Costs memory in the number of sizes, whatever their values."""
    sizes = list(sizes)
    if len(sizes) > 2 and all(b - a == 1 for a, b in zip(sizes, sizes[1:])):
        return f"{sizes[0]}-{sizes[-1]}"
    return ",".join(str(s) for s in sizes)
