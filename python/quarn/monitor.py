"""Online change detection: :class:`Monitor` watches a stream value by value.

A monitor learns the regime from a warm-up, then raises an :class:`Alarm`
when the level, the spread or the shape of the values changes, with a
stated expected run between false alarms (``false_alarm_run``). After an
alarm it learns the new regime from the estimated change on and goes on.
Memory does not grow with the stream; a monitor pickles, and a restored one
goes on exactly as the original would.
"""

from __future__ import annotations

import math
import numbers
from array import array
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from quarn import _engine
from quarn._inputs import SeriesError, _float_array, numpy_values, prepare_series
from quarn._checks import integer_in, is_boolean, parse_integer, parse_number, shown
from quarn.options import Option

# The options of :class:`quarn.Monitor` and ``quarn watch``, in one table.
#
# The same :class:`~quarn.options.Option` records as the detector's table:
# each row drives the check of ``quarn.Monitor(...)``, the flag of ``quarn
# watch``, and the ``Args`` of the Monitor's docstring.

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


__all__ = ["Alarm", "Monitor"]

_STATE_VERSION = 1


@dataclass(frozen=True, slots=True)
class Alarm:
    """A change found by a :class:`Monitor`.

    Attributes:
        position: Index of the first value after the change (counted from
            the stream's start): where the alarming statistic last left
            zero.
        detected_at: Index of the value that raised the alarm.
        kind: ``"level"``, ``"spread"`` or ``"shape"``.
        direction: Which way: ``"up"``/``"down"`` (level),
            ``"wider"``/``"narrower"`` (spread), ``"skewed right"``,
            ``"skewed left"``, ``"heavier tails"`` or ``"lighter tails"``
            (shape).
        evidence: The alarming statistic over its threshold, at least 1;
            larger means stronger evidence.
        effect: The mean of the alarming score from ``position`` to
            ``detected_at`` in units of its change-free standard deviation;
            for a level change about the shift in noise standard deviations
            (of the prewhitened, deseasonalised values).
    """

    position: int
    detected_at: int
    kind: str
    direction: str
    evidence: float
    effect: float

    @property
    def delay(self) -> int:
        """Values from the change to its detection: ``detected_at - position``."""
        return self.detected_at - self.position

    def __str__(self) -> str:
        return (
            f"{self.kind} change ({self.direction}) at {self.position}, detected at "
            f"{self.detected_at} (evidence {self.evidence:.2f}, effect {self.effect:+.2f})"
        )


def _alarms(found: Sequence[tuple[Any, ...]]) -> tuple[Alarm, ...]:
    return tuple(Alarm(*alarm) for alarm in found)


class Monitor:
    """Watches a stream of values and raises an alarm at each change.

    ``monitor.update(values)`` reads one value or a batch and returns the
    alarms these values raised. The first ``warmup`` values (and the
    ``warmup`` values from each change on) teach the monitor the regime:
    a seasonal profile when one is clear, the dependence between
    neighbouring values, and the distribution of what remains. Every later
    value's rank within that distribution feeds statistics of level,
    spread and shape; an alarm names the change's estimated position, the
    value that revealed it, its kind and direction. Nothing is random: the
    same values give the same alarms, whatever the batch sizes.

    Args:
        (monitor options): One entry per option.

    Raises:
        TypeError: An option is unknown or has the wrong type.
        ValueError: An option is out of range.
    """

    __slots__ = ("_core", "_alarms", "_options")

    def __init__(
        self, *, false_alarm_run: float = 1e7, warmup: int = 500, max_period: int = 50
    ) -> None:
        options = check_monitor_options(
            {"false_alarm_run": false_alarm_run, "warmup": warmup, "max_period": max_period}
        )
        self._options = options
        self._core = _engine.MonitorCore(
            options["false_alarm_run"], options["warmup"], options["max_period"]
        )
        self._alarms: list[Alarm] = []

    def update(self, values: Any) -> tuple[Alarm, ...]:
        """Reads values in order and returns the alarms they raised.

        Args:
            values: One number, or a list, tuple, ``array.array``,
                one-dimensional numpy array or pandas Series of numbers.

        Returns:
            The alarms raised by these values, oldest first (usually none).

        Raises:
            TypeError: Something that is not a number.
            ValueError: A NaN or infinite value (missing values are not
                supported by the monitor yet), or an integer too large for a
                float. The monitor's state is then unchanged: a batch is
                checked whole before any of it is read.
        """
        if type(values) is float:
            if values - values == 0.0:  # finite
                found = self._core.update_one(values)
                if found:
                    return self._record(found)
                return ()
        elif (
            type(values) is np.ndarray
            and values.dtype == np.float64
            and values.ndim == 1
            and values.flags.c_contiguous
        ):
            # The core checks a float64 batch itself before reading any of
            # it; a refused batch goes the long way for the full message.
            try:
                found = self._core.update(values)
            except ValueError:
                _batch(values)
                raise
            return self._record(found) if found else ()
        found = self._core.update(_batch(values))
        return self._record(found) if found else ()

    def _record(self, found: Sequence[tuple[Any, ...]]) -> tuple[Alarm, ...]:
        alarms = _alarms(found)
        self._alarms.extend(alarms)
        return alarms

    @property
    def n_seen(self) -> int:
        """Values read since the start or the last :meth:`reset`."""
        return self._core.n_seen

    @property
    def alarms(self) -> tuple[Alarm, ...]:
        """Every alarm raised since the start or the last :meth:`reset`."""
        return tuple(self._alarms)

    @property
    def options(self) -> dict[str, Any]:
        """The options the monitor was made with."""
        return dict(self._options)

    @property
    def regime(self) -> dict[str, Any]:
        """What the monitor learnt of the current regime: ``learnt`` (False
        during a warm-up), ``start`` (index of the warm-up's first value),
        ``period`` (seasonal period, 0 for none), ``phi`` (lag-one
        dependence removed) and ``long_run_factor``, with the options and
        the statistics' ``thresholds``."""
        return dict(self._core.regime())

    def reset(self) -> None:
        """Forgets every value and alarm; keeps the options."""
        self._core.reset()
        self._alarms.clear()

    def __getstate__(self) -> dict[str, Any]:
        return {
            "version": _STATE_VERSION,
            "core": self._core.state(),
            "alarms": [
                (a.position, a.detected_at, a.kind, a.direction, a.evidence, a.effect)
                for a in self._alarms
            ],
        }

    def __setstate__(self, state: dict[str, Any]) -> None:
        if not isinstance(state, dict) or state.get("version") != _STATE_VERSION:
            raise ValueError("not a Monitor state written by this version of quarn")
        self._core = _engine.MonitorCore.from_state(bytes(state["core"]))
        regime = self._core.regime()  # the options as the state holds them
        self._options = {name: regime[name] for name in ("false_alarm_run", "warmup", "max_period")}
        self._alarms = list(_alarms(state["alarms"]))

    def __repr__(self) -> str:
        options = ", ".join(f"{name}={value!r}" for name, value in self._options.items())
        return f"Monitor({options}): {self.n_seen} values seen, {len(self._alarms)} alarms"


def _with_options(doc: str) -> str:
    """The docstring with its options line replaced by the options' entries,
    at that line's indentation (Python 3.13 strips docstring indents)."""
    lines = doc.splitlines(keepends=True)
    for number, line in enumerate(lines):
        if line.strip() == "(monitor options): One entry per option.":
            lines[number] = monitor_docstring_args(line[: len(line) - len(line.lstrip())]) + "\n"
    return "".join(lines)


Monitor.__doc__ = _with_options(Monitor.__doc__ or "")


def _batch(values: Any) -> Any:
    """The values as a contiguous float64 array, all finite.

    Raises:
        TypeError: Something that is not a number.
        ValueError: NaN, an infinity, or more than one dimension.
    """
    if isinstance(values, (numbers.Real, np.number)) and not is_boolean(values):
        if isinstance(values, numbers.Integral):
            try:
                number = float(values)
            except OverflowError:
                raise ValueError(
                    f"values: an integer too large for a float ({shown(values)})"
                ) from None
        else:
            number = float(values)
        if not math.isfinite(number):
            raise ValueError(
                f"values: {number!r} is not a finite number; missing values are not supported "
                "by the monitor yet, so leave them out (or fill them in) before update"
            )
        return np.array([number])
    if is_boolean(values):
        raise TypeError(f"values must be numbers, got {values!r}")
    try:
        prepared = prepare_series(values)
        items = prepared.values
        if isinstance(items, (list, tuple)):
            array_values = np.frombuffer(_float_array(items), dtype=np.float64)
        elif isinstance(items, array):
            array_values = np.frombuffer(items, dtype=np.float64)
        else:
            array_values = numpy_values(np.asarray(items))
    except (TypeError, ValueError) as exc:
        text = str(exc)
        if isinstance(exc, SeriesError):
            text = "values " + text.removeprefix("series ")
        raise type(exc)(text) from None
    finite = np.isfinite(array_values)
    if not finite.all():
        bad = np.flatnonzero(~finite)
        first = int(bad[0])
        raise ValueError(
            f"values contain {bad.size} NaN or infinite value{'s' if bad.size > 1 else ''}, "
            f"the first at position {first} ({array_values[first]!r}); missing values are not "
            "supported by the monitor yet, so leave them out (or fill them in) before update"
        )
    return np.ascontiguousarray(array_values, dtype=np.float64)
