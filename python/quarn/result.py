"""The result of a detection: consensus change points and per-window findings."""

from __future__ import annotations

from array import array
from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, ClassVar, cast

from quarn._inputs import PreparedSeries

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from quarn._quarn_native import DetectorResultDict


@dataclass(frozen=True)
class ChangePoint:
    """One consensus change point.

    Attributes:
        position: Index of the first value after the change (0-based), so the
            change lies between ``position - 1`` and ``position``.
        votes: Votes of the change point's segment: how many window sizes
            reported a change point in it, counted per reported point.
        score: Share of the window sizes that voted for the segment, capped
            at 1.
        probability: The score divided by the sum of all scores.
        label: The index label at ``position`` when the series was a pandas
            Series (a pandas Timestamp for a DatetimeIndex), otherwise None.
    """

    position: int
    votes: int
    score: float
    probability: float
    label: Any = None


@dataclass(frozen=True, eq=False)
class DetectionResult:
    """What :func:`quarn.detect` found. Immutable.

    Attributes:
        change_points: The consensus change points in ascending position.
        window_results: For every window size, in ascending order, the
            findings of that window size alone, as a read-only mapping with
            the keys ``change_points``, ``starts``, ``statistics``,
            ``tapered_block_bootstrap_threshold`` and ``localized_regions``
            (tuples instead of lists).
        n_samples: Length of the series.
        options: The detector options used, defaults filled in.
        values: The series values as given (read-only: a tuple, a read-only
            numpy array or memoryview), kept for :meth:`plot`.
        index: The pandas index of the series, or None.
    """

    change_points: tuple[ChangePoint, ...]
    window_results: Mapping[int, Mapping[str, tuple[Any, ...]]]
    n_samples: int
    options: Mapping[str, Any]
    values: Any = field(repr=False)
    index: Any = field(default=None, repr=False)
    _native: dict[str, Any] = field(default_factory=dict, repr=False)

    @classmethod
    def from_native(
        cls, native: dict[str, Any], series: PreparedSeries, options: dict[str, Any]
    ) -> DetectionResult:
        """Builds a result from the dictionary that ``quarn_detector`` returned.

        Args:
            native: The native result; the new object keeps its own copy.
            series: The series that was analysed.
            options: The checked options of the call.

        Returns:
            The result object.
        """
        out = native["out"]
        index = series.index
        change_points = tuple(
            ChangePoint(
                position=position,
                votes=out["leaders_segment_votes"][position],
                score=out["leaders_scores"][position],
                probability=out["leaders_probs"][position],
                label=None if index is None else index[position],
            )
            for position in sorted(out["leaders_segment_votes"])
        )
        window_results = MappingProxyType(
            {
                size: MappingProxyType({key: tuple(value) for key, value in found.items()})
                for size, found in sorted(native["window_results"].items())
            }
        )
        return cls(
            change_points=change_points,
            window_results=window_results,
            n_samples=len(series),
            options=MappingProxyType(dict(options)),
            values=_read_only_copy(series.values),
            index=index,
            _native=_copy_native(native),
        )

    @property
    def positions(self) -> tuple[int, ...]:
        """The positions of the consensus change points, ascending."""
        return tuple(point.position for point in self.change_points)

    def to_dict(self) -> DetectorResultDict:
        """Returns the native detector's result dictionary.

        Returns:
            A fresh copy of the dictionary ``quarn_detector`` returned for the
            centred and scaled series, with the keys ``cp_dict``,
            ``window_results`` and ``out``; statistics and thresholds are in
            the series' own units. Changing it does not change this result.
        """
        return cast("DetectorResultDict", _copy_native(self._native))

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draws the series with its change points and their probabilities.

        Needs matplotlib (``pip install 'quarn[plot]'``).

        Args:
            ax: A matplotlib Axes to draw on; a new figure is made when None.

        Returns:
            The Axes drawn on.

        Raises:
            ImportError: matplotlib is not installed.
            ValueError: The series had a pandas MultiIndex, which has no
                single axis to draw along.
        """
        from quarn.display import plot_result

        return plot_result(self, ax=ax)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DetectionResult):
            return NotImplemented
        return (
            self.change_points == other.change_points
            and self.n_samples == other.n_samples
            and dict(self.options) == dict(other.options)
            and self._native == other._native
        )

    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        points = ", ".join(
            f"{p.position} (p={p.probability:.3g})" for p in self.change_points
        )
        return f"DetectionResult(n_samples={self.n_samples}, change_points=[{points}])"


def _copy_native(value: Any) -> Any:
    """Copies a native result: its dicts and lists hold only numbers and
    tuples of numbers below the dicts, so shallow list copies suffice."""
    if isinstance(value, dict):
        return {key: _copy_native(item) for key, item in value.items()}
    if isinstance(value, list):
        return value.copy()
    return value


def _read_only_copy(values: Any) -> Any:
    if isinstance(values, tuple):
        return values
    if isinstance(values, list):
        return tuple(values)
    if isinstance(values, array):
        return memoryview(array("d", values)).toreadonly()
    copied = values.copy()  # a numpy array
    copied.flags.writeable = False
    return copied
