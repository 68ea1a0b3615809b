"""What a result tells of each change point (:class:`ChangePoint`) and of
each stretch between them (:class:`Segment`)."""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import Any


@dataclass(frozen=True)
class ChangePoint:
    """One change point.

    Attributes:
        position: Index of the first value after the change (0-based), so the
            change lies between ``position - 1`` and ``position``.
        votes: How many window sizes of the multi-window detector support
            the change. Confirm method: the window sizes that reported a
            change point within their own window size of ``position`` (at
            most the number of window sizes). Native method: the votes of
            the change point's consensus segment, counted per reported point
            (a window size that reported two points in one segment counts
            twice, so votes may exceed the number of window sizes).
        score: ``votes`` over the number of window sizes, capped at 1.
        probability: The score divided by the sum of all scores (confirm
            method: an equal share each when every score is 0).
        label: The index label at ``position`` when the series was a pandas
            Series (a pandas Timestamp for a DatetimeIndex), otherwise None.
        kind: Confirm method: what changed, "level" (a jump of the level),
            "slope" (a kink of a trend), "spread" or "shape" (of the
            distribution at an equal level), or "pattern" (of a repeated
            pattern: its period, its waveform or the way its values follow
            one another). None for the native method.
        p_value: Confirm method: the p-value of the test that kept the
            change, allowing for the search over split positions; the
            change was kept because it is at most ``alpha``. None for the
            native method.
        interval: Confirm method: ``(low, high)``, inclusive positions, each
            a possible first value after the change; the true position lies
            in it with probability about the ``confidence`` option (0.9 by
            default). It never reaches the neighbouring change points. None
            for the native method.
        direction: Confirm method: "up" or "down" (the level, spread or
            slope rose or fell), None for a change of shape and for the
            native method.
        effect: Confirm method, the size of the change: for a level change
            the difference of the medians after and before over the pooled
            robust spread of the two sides (1.4826 times their median
            absolute deviations), in noise standard deviations; for a spread
            change the robust spread after over the spread before; for a
            slope change the least-squares slope after less the slope
            before, in series units per value. None for a change of shape
            and for the native method.
        interval_labels: The index labels at the interval's ends when the
            series was a pandas Series and the interval is known, otherwise
            None.
    """

    position: int
    votes: int
    score: float
    probability: float
    label: Any = None
    kind: str | None = None
    p_value: float | None = None
    interval: tuple[int, int] | None = None
    direction: str | None = None
    effect: float | None = None
    interval_labels: tuple[Any, Any] | None = None


@dataclass(frozen=True)
class Segment:
    """One stretch of the series between change points (or a series end).

    Attributes:
        start: Position of its first value.
        stop: Position after its last value (the next change point, or the
            length of the series).
        level: The median of its values.
        spread: 1.4826 times the median absolute deviation of its values
            from their median (from the fitted line where it trends): the
            standard deviation for Gaussian noise.
        slope: The least-squares slope per value where the segment trends
            (the slope lies more than 4 standard errors from 0, allowing for
            autocorrelated noise), otherwise None.
        count: The number of values it holds (present values: missing ones
            are not counted).

    The confirm method describes the series it tested: less the seasonal
    cycle when it removed one.
    """

    start: int
    stop: int
    level: float
    spread: float
    slope: float | None
    count: int


def _frozen_maker(cls: type) -> Any:
    """A function that makes an instance of the frozen dataclass ``cls``
    from its field values in field order, as ``cls(*values)`` does: the same
    attributes, set in the same order, so that the instance compares,
    hashes, pickles and prints alike. Results hold one :class:`ChangePoint`
    per change point and one :class:`Segment` per segment, built on every
    call; the frozen ``__init__`` sets each field through
    ``object.__setattr__``, which this writes into the instance's
    ``__dict__`` at once. Only for classes without ``__post_init__``."""
    assert not hasattr(cls, "__post_init__"), cls
    names = tuple(item.name for item in fields(cls))
    make = object.__new__

    def made(values: tuple[Any, ...]) -> Any:
        instance = make(cls)
        instance.__dict__.update(zip(names, values, strict=True))
        return instance

    return made


#: ``ChangePoint(*values)`` and ``Segment(*values)`` from a tuple of all
#: their fields (see :func:`_frozen_maker`).
change_point_of = _frozen_maker(ChangePoint)
segment_of = _frozen_maker(Segment)
