"""The options of :class:`quarn.Monitor` and ``quarn watch``, in one table.

The same :class:`~quarn.options.Option` records as the detector's table:
each row drives the check of ``quarn.Monitor(...)``, the flag of ``quarn
watch``, and the ``Args`` of the Monitor's docstring.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any

from quarn.options import Option, integer_in, parse_integer, parse_number, shown

#: Smallest and largest ``false_alarm_run``.
MIN_FALSE_ALARM_RUN = 100.0
MAX_FALSE_ALARM_RUN = 1e15


def check_false_alarm_run(value: Any, subject: str) -> float:
    """A number of values from :data:`MIN_FALSE_ALARM_RUN` to :data:`MAX_FALSE_ALARM_RUN`."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{subject} must be a number, got {shown(value)}")
    number = float(value)
    if math.isnan(number) or not MIN_FALSE_ALARM_RUN <= number <= MAX_FALSE_ALARM_RUN:
        raise ValueError(f"{subject} must be a number from 100 to 1e15, got {shown(value)}")
    return number


MONITOR_OPTIONS: tuple[Option, ...] = (
    Option(
        name="false_alarm_run",
        default=1e7,
        check=check_false_alarm_run,
        help=(
            "Expected number of values between two false alarms on a stream without "
            "changes (the whole monitor, all kinds of change together). Larger means "
            "fewer false alarms and somewhat longer delays: the delay grows with the "
            "logarithm of this number."
        ),
        flag="--false-alarm-run",
        metavar="N",
        parse=parse_number,
        native="false_alarm_run",
        default_text="1e7",
    ),
    Option(
        name="warmup",
        default=500,
        check=integer_in(30, 1_000_000),
        help=(
            "Values the monitor learns the regime from, at the start and again after "
            "every alarm; nothing is reported during a warm-up. Longer warm-ups learn "
            "the regime better and leave longer blind spots after an alarm."
        ),
        flag="--warmup",
        metavar="N",
        parse=parse_integer,
        native="warmup",
        default_text="500",
    ),
    Option(
        name="max_period",
        default=50,
        check=integer_in(0, 1_000_000),
        help=(
            "Longest seasonal period looked for in a warm-up (a warm-up must hold at "
            "least six periods); a clear seasonal pattern is removed before monitoring. "
            "0 looks for none."
        ),
        flag="--max-period",
        metavar="N",
        parse=parse_integer,
        native="max_period",
        default_text="50",
    ),
)

#: The options by name.
MONITOR_BY_NAME: Mapping[str, Option] = {option.name: option for option in MONITOR_OPTIONS}


def check_monitor_options(given: Mapping[str, Any], *, cli: bool = False) -> dict[str, Any]:
    """Checks Monitor options and fills in the defaults.

    Raises:
        TypeError: An option is unknown or has the wrong type.
        ValueError: An option is out of range.
    """
    unknown = [name for name in given if name not in MONITOR_BY_NAME]
    if unknown:
        raise TypeError(f"unknown option {shown(unknown[0])}")
    return {
        option.name: option.check(
            given.get(option.name, option.default),
            option.flag if cli and option.flag else option.name,
        )
        for option in MONITOR_OPTIONS
    }


def monitor_docstring_args(indent: str = "        ") -> str:
    """The ``Args`` entries of the Monitor's options."""
    import textwrap

    return "\n".join(
        textwrap.fill(
            f"{option.name}: {option.help} Default: {option.default_text}.",
            width=79,
            initial_indent=indent,
            subsequent_indent=indent + "    ",
        )
        for option in MONITOR_OPTIONS
    )
