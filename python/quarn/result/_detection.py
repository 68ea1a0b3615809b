"""What a detection found (:class:`DetectionResult`), and its making from a
detection of the engine (:func:`build_result`)."""

from __future__ import annotations

import functools
import itertools
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np
import numpy.typing as npt

from quarn.result._arrays import FrozenMapping, _locked, _read_only, _same_bits, _same_index
from quarn.result._points import ChangePoint, Segment, change_point_of, segment_of
from quarn.result._windows import WindowResult, _EngineWindows

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes

    from quarn._quarn_native import DetectorResultDict

#: Change points listed by ``repr`` before the rest are counted.
REPR_POINTS = 6


@dataclass(frozen=True, eq=False)
class DetectionResult:
    """What :func:`quarn.detect` found. Immutable: its arrays are read-only
    and refuse to be made writeable.

    Two results are equal when they hold the same figures bit for bit and
    were computed with the same options; the number of workers, which
    changes no bit, does not count.

    Attributes:
        change_points: The consensus change points in ascending position.
        window_results: For every window size, in ascending order, the
            findings of that window size alone (:class:`WindowResult`), in a
            read-only mapping.
        n_samples: Length of the series, missing values included.
        options: The detector options used, defaults filled in (read-only).
        values: The series as float64 values, read-only, for :meth:`plot`:
            the result's own copy, so later changes to the caller's data do
            not reach it. Missing values are NaN.
        index: The pandas index of the series, or None.
        seasonal_period: The period, in values, of the seasonal cycle that
            the confirm method found in the series (a clear peak of its
            periodogram; not necessarily a whole number), or None when the
            series shows none, and always None for the native method.
        n_missing: How many values of the series were missing (NaN, None,
            pandas NA or masked) and left out of the detection; 0 when none
            were. Every position counts the values of the whole series.
        segments: The stretches between the change points, in order
            (:class:`Segment`); :meth:`segments_frame` gives them as a table.
    """

    change_points: tuple[ChangePoint, ...]
    window_results: Mapping[int, WindowResult]
    n_samples: int
    options: Mapping[str, Any]
    values: npt.NDArray[np.float64] = field(repr=False)
    index: Any = field(default=None, repr=False)
    seasonal_period: float | None = None
    n_missing: int = 0
    segments: tuple[Segment, ...] = ()
    # The cumulative probability at every change point, as the consensus
    # computed it (the native dictionary's ``cdf``).
    _cdf: npt.NDArray[np.float64] = field(
        default_factory=lambda: np.empty(0, dtype=np.float64), repr=False
    )

    @property
    def method(self) -> str:
        """The detection method: "confirm" or "native"."""
        return str(self.options.get("method", "native"))

    @property
    def positions(self) -> tuple[int, ...]:
        """The positions of the consensus change points, ascending."""
        return tuple(point.position for point in self.change_points)

    def to_dict(self) -> DetectorResultDict:
        """Returns the native detector's result dictionary.

        Returns:
            A new dictionary in the form ``quarn_detector`` returns for the
            centred and scaled series, with the keys ``cp_dict``,
            ``window_results`` and ``out``; statistics and thresholds are in
            the series' own units. For the confirm method, ``cp_dict`` and
            ``window_results`` are the candidate detector's and ``out``
            holds the kept change points (their kinds and p-values are in
            :attr:`change_points`). Changing it does not change this result.
        """
        points = self.change_points
        return {
            "cp_dict": {
                size: window.change_points.tolist() for size, window in self.window_results.items()
            },
            "window_results": {
                size: window.to_dict() for size, window in self.window_results.items()
            },
            "out": {
                "leaders_segment_votes": {p.position: p.votes for p in points},
                "leaders_scores": {p.position: p.score for p in points},
                "leaders_probs": {p.position: p.probability for p in points},
                "cdf": list(zip((p.position for p in points), self._cdf.tolist())),
            },
        }

    def to_frame(self) -> pd.DataFrame:
        """Returns the change points as a pandas DataFrame.

        Needs pandas.

        Returns:
            One row per change point, in ascending position, with the columns
            ``position`` (int64), ``label`` (the index label at the position,
            with the dtype of the series' index; None without one),
            ``votes`` (int64), ``score`` and ``probability`` (float64),
            ``kind`` (str; None for the native method) and ``p_value``
            (float64; NaN for the native method).

        Raises:
            ImportError: pandas is not installed.
        """
        from quarn._frames import change_point_frame

        return change_point_frame(self)

    def segments_frame(self) -> pd.DataFrame:
        """Returns the segments between change points as a pandas DataFrame.

        Needs pandas.

        Returns:
            One row per segment, in order, with the columns ``start``,
            ``stop`` and ``count`` (int64), ``level``, ``spread`` and
            ``slope`` (float64, NaN where the segment does not trend), and
            with an index, ``start_label`` and ``stop_label`` (the index
            labels of the first and the last value).

        Raises:
            ImportError: pandas is not installed.
        """
        from quarn._frames import segment_frame

        return segment_frame(self)

    def to_json(self, *, indent: int | None = None) -> str:
        """Writes the whole result as JSON text.

        The document is an object with ``format``
        (``"quarn.DetectionResult"``), ``version`` (2), ``n_samples``,
        ``n_missing``, ``options``, ``values`` (the series, missing values as
        null), ``index`` (null, or the pandas index in a tagged form),
        ``seasonal_period``, ``change_points`` (one list per column of
        :meth:`to_frame` but the label, and the cumulative probability
        ``cdf``), ``windows`` (every window size's arrays) and ``segments``.
        :meth:`from_json` reads it back into an equal result, and reads the
        documents of earlier versions too.

        Args:
            indent: Indentation for a readable layout; None writes one line.

        Returns:
            Standard JSON (no NaN or infinity literals).

        Raises:
            ValueError: The series' pandas index is of a kind that JSON
                cannot hold without loss (a MultiIndex, a categorical or
                interval index, or labels of mixed types).
        """
        from quarn._json.write import result_to_json

        return result_to_json(self, indent=indent)

    @classmethod
    def from_json(cls, text: str | bytes) -> DetectionResult:
        """Reads a result written by :meth:`to_json`, of this release or an
        earlier one.

        Args:
            text: The JSON document.

        Returns:
            A result equal to the one written.

        Raises:
            ValueError: The text is not such a document, or is damaged.
        """
        from quarn._json import result_from_json

        return build_result(*result_from_json(text))

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
            and self.n_missing == other.n_missing
            and _compared_options(self.options) == _compared_options(other.options)
            and dict(self.window_results) == dict(other.window_results)
            and self.segments == other.segments
            and _same_bits(self._cdf, other._cdf)
            and _same_bits(self.values, other.values)
            and _same_index(self.index, other.index)
        )

    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(
            f"{p.position} ({p.kind})" if p.kind is not None else f"{p.position} (p={p.probability:.3g})"
            for p in self.change_points[:REPR_POINTS]
        )
        hidden = len(self.change_points) - REPR_POINTS
        if hidden > 0:
            shown += f", ... {hidden} more"
        missing = f", n_missing={self.n_missing}" if self.n_missing else ""
        return f"DetectionResult(n_samples={self.n_samples}{missing}, change_points=[{shown}])"

    def _repr_html_(self) -> str:
        """A summary and a table of the change points, for notebooks."""
        from quarn._frames import result_html

        return result_html(self)

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Unpickled and deep-copied arrays come back writeable.
        self.__dict__.update({name: _locked(value) for name, value in state.items()})


def build_result(
    detection: dict[str, Any],
    values: Any,
    index: Any,
    options: Mapping[str, Any],
    *,
    lazy_windows: bool = False,
) -> DetectionResult:
    """Builds a result from a detection of the engine (``quarn._engine.run``).

    This is the one place where a change table becomes change points: a row
    that no test named (kind None: the native method) has no p-value,
    interval, direction or effect.

    Args:
        detection: The engine's dict: ``n``, ``windows`` (figures in the
            series' units), ``table`` (one column per figure of the change
            points, named as :data:`quarn._frames.POINT_COLUMNS`, and
            ``cdf``; ``interval_low`` and ``interval_high`` may be absent),
            ``segments``, ``seasonal_period`` and ``n_missing``; its arrays
            are kept.
        values: The series as a float64 array the result may keep (locked
            read-only here).
        index: The pandas index of the series, or None.
        options: The checked options of the call.
        lazy_windows: Build each window size's result when it is first
            looked up (for the engine's own windows, which are known to be
            sound; a document being read is checked whole instead).

    Returns:
        The result.
    """
    table = detection["table"]
    positions = table["position"].tolist()
    change_points = _change_points(table, positions, index) if positions else ()
    window_results: FrozenMapping[int, WindowResult]
    if lazy_windows:
        window_results = _EngineWindows(detection["windows"])
    else:
        window_results = FrozenMapping(
            {
                window["window_size"]: WindowResult.from_engine(window)
                for window in detection["windows"]
            }
        )
    return DetectionResult(
        change_points=change_points,
        window_results=window_results,
        n_samples=int(detection["n"]),
        options=FrozenMapping(recorded_options(options)),
        values=_read_only(values),
        index=index,
        seasonal_period=detection.get("seasonal_period"),
        n_missing=int(detection.get("n_missing", 0)),
        segments=_segments(detection.get("segments")),
        _cdf=_read_only(table["cdf"]),
    )


def _change_points(
    table: Mapping[str, Any], positions: list[int], index: Any
) -> tuple[ChangePoint, ...]:
    """The change points of a change table's rows (``positions`` its
    ``position`` column as a list); see :func:`build_result`."""
    lows, highs = table.get("interval_low"), table.get("interval_high")
    if lows is None or highs is None:
        bounds: Any = itertools.repeat(None)
    else:
        bounds = zip(lows.tolist(), highs.tolist())
    points = []
    for position, votes, score, probability, kind, p_value, bound, direction, effect in zip(
        positions,
        table["votes"].tolist(),
        table["score"].tolist(),
        table["probability"].tolist(),
        table["kind"],
        table["p_value"].tolist(),
        bounds,
        table["direction"],
        table["effect"].tolist(),
    ):
        label = None if index is None else index[position]
        if kind is None:  # no test named it: none of the tests' figures apply
            p_value = interval = effect = interval_labels = None
        else:
            interval = bound
            effect = _finite_or_none(effect)
            interval_labels = (
                None if index is None or bound is None else (index[bound[0]], index[bound[1]])
            )
        points.append(
            change_point_of(
                (position, votes, score, probability, label, kind, p_value, interval,
                 direction, effect, interval_labels)
            )
        )
    return tuple(points)


def _finite_or_none(value: float) -> float | None:
    """NaN (a figure that does not apply) as None; other values as they are."""
    return None if value != value else value


def _segments(arrays: dict[str, Any] | None) -> tuple[Segment, ...]:
    """Segments from the engine's arrays of them (none when None)."""
    if arrays is None:
        return ()
    return tuple(
        segment_of((start, stop, level, spread, _finite_or_none(slope), count))
        for start, stop, level, spread, slope, count in zip(
            arrays["starts"].tolist(),
            arrays["stops"].tolist(),
            arrays["levels"].tolist(),
            arrays["spreads"].tolist(),
            arrays["slopes"].tolist(),
            arrays["counts"].tolist(),
        )
    )


def recorded_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """The options a result records: those that say what was computed,
    not how the call ran (its progress callback)."""
    recorded = _recorded_by_name()
    return {name: value for name, value in options.items() if recorded[name]}


@functools.cache
def _recorded_by_name() -> dict[str, bool]:
    """Whether a result records an option, by option name (read from the
    options table once)."""
    from quarn.options import OPTIONS

    return {option.name: option.recorded for option in OPTIONS}


def _compared_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """The options that say what was computed: results differ in nothing
    else when only the number of workers differs."""
    return {name: value for name, value in options.items() if name not in ("workers", "progress")}
