"""The result of a detection: consensus change points and per-window findings.

A result holds every figure once, in numpy arrays: per window size its
statistics and thresholds (float64, one per position; a position's start is
implied by the window size), its change points and regions (int64). The
native module's nested dictionaries are built on request by
:meth:`DetectionResult.to_dict`. Results are immutable (their arrays are
read-only), compare equal bit for bit, pickle and deep-copy.
"""

from __future__ import annotations

import functools
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

import numpy as np
import numpy.typing as npt

from quarn._native_form import expand_runs

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes

    from quarn._quarn_native import DetectorResultDict, WindowResultDict

_K = TypeVar("_K")
_V = TypeVar("_V")

#: Change points listed by ``repr`` before the rest are counted.
REPR_POINTS = 6


class FrozenMapping(Mapping[_K, _V]):
    """A read-only mapping (which, unlike ``types.MappingProxyType``,
    pickles and deep-copies)."""

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[_K, _V]) -> None:
        """Wraps a copy of ``items``."""
        self._items = dict(items)

    def __getitem__(self, key: _K) -> _V:
        return self._items[key]

    def __iter__(self) -> Iterator[_K]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"FrozenMapping({self._items!r})"

    def __getstate__(self) -> dict[_K, _V]:
        return self._items

    def __setstate__(self, state: dict[_K, _V]) -> None:
        self._items = state


def engine_window_sizes(windows: Any) -> list[int]:
    """The window sizes of a detection's windows (``quarn._engine.run``'s
    ``windows``, or a list of window dicts), without making the engine's
    window dicts."""
    sizes = getattr(windows, "window_sizes", None)
    if sizes is None:
        return [window["window_size"] for window in windows]
    return list(sizes)


class _EngineWindows(FrozenMapping[int, "WindowResult"]):
    """The window results of a detection, each built from the engine's
    window dict when it is first looked up.

    Most callers of :func:`quarn.detect` read only the change points, and on
    a short series building every window size's result would take a good
    share of the call. Keys, order, equality, ``repr``, pickling and copies
    are those of a :class:`FrozenMapping` of the built results (a copy or an
    unpickled result holds a plain one).
    """

    __slots__ = ("_engine", "_places")

    def __init__(self, windows: Any) -> None:
        """Takes the engine's windows: a sequence of window dicts in
        ascending window size, which may tell the sizes (``window_sizes``)
        without making its dicts."""
        sizes = engine_window_sizes(windows)
        self._engine = windows
        self._places = {size: place for place, size in enumerate(sizes)}
        self._items = dict.fromkeys(sizes)

    def __getitem__(self, key: int) -> WindowResult:
        built = self._items[key]
        if built is None:
            # Two threads may both build it: equal results either way.
            built = WindowResult.from_engine(self._engine[self._places[key]])
            self._items[key] = built
        return built

    def _built(self) -> dict[int, WindowResult]:
        return {key: self[key] for key in self._items}

    def __repr__(self) -> str:
        return f"FrozenMapping({self._built()!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (FrozenMapping, (self._built(),))


@dataclass(frozen=True, eq=False)
class WindowResult:
    """What one window size found on its own.

    Position ``v`` compares the window of values ``v * w`` up to
    ``(v + 1) * w`` with the window that follows it (``w`` the window size),
    so position ``v`` starts at value ``v * w``. Where missing values were
    left out, windows hold ``w`` present values each and :attr:`starts`
    gives where they begin in the series.

    Attributes:
        window_size: The window size ``w``.
        statistics: The Wasserstein distance of the two windows at every
            position (float64, read-only).
        change_points: The change point of every localized region, in region
            order (int64, read-only).
        localized_regions: The half-open ranges ``[start, end)`` of the
            series where neighbouring significant positions merged, shape
            ``(k, 2)`` (int64, read-only).
    """

    window_size: int
    statistics: npt.NDArray[np.float64]
    change_points: npt.NDArray[np.int64]
    localized_regions: npt.NDArray[np.int64]
    # The thresholds: one per position, or by runs (first positions, values)
    # when that is smaller; exactly one of the two is set.
    _thresholds: npt.NDArray[np.float64] | None = field(default=None, repr=False)
    _threshold_runs: tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]] | None = field(
        default=None, repr=False
    )
    # The first value of every position where missing values were left out
    # of the series (the starts then skip them); None when they are v * w.
    _starts: npt.NDArray[np.int64] | None = field(default=None, repr=False)

    @classmethod
    def from_engine(cls, window: dict[str, Any]) -> WindowResult:
        """Builds a window result from a window dict of ``quarn._engine``.

        Args:
            window: The dict, its arrays read-only; they are kept, not copied.

        Returns:
            The window result.
        """
        runs = window.get("threshold_runs")
        return cls(
            window_size=int(window["window_size"]),
            statistics=_read_only(window["statistics"]),
            change_points=_read_only(window["change_points"]),
            localized_regions=_read_only(window["localized_regions"]),
            _thresholds=None if window["thresholds"] is None else _read_only(window["thresholds"]),
            _threshold_runs=None if runs is None else (_read_only(runs[0]), _read_only(runs[1])),
            _starts=None if window.get("starts") is None else _read_only(window["starts"]),
        )

    @property
    def thresholds(self) -> npt.NDArray[np.float64]:
        """The bootstrap threshold in force at every position (float64,
        read-only; NaN where no replicates were drawn).

        A threshold holds until a position exceeds it, so the thresholds are
        long runs of one value; where that takes less memory they are kept
        by runs and this array is made on every access.
        """
        if self._thresholds is not None:
            return self._thresholds
        assert self._threshold_runs is not None
        starts, values = self._threshold_runs
        return _read_only(expand_runs(starts, values, len(self.statistics)))

    @property
    def starts(self) -> npt.NDArray[np.int64]:
        """The first value of every position's left window (int64,
        read-only): ``v * w``, made on every access, or, where missing
        values were left out, the position in the series of the window's
        first present value."""
        if self._starts is not None:
            return self._starts
        return _read_only(np.arange(len(self.statistics), dtype=np.int64) * self.window_size)

    def to_dict(self) -> WindowResultDict:
        """Returns the native form of this window size's findings.

        Returns:
            The dictionary ``quarn_single_window`` returns: lists of ``int``
            and ``float`` under ``change_points``, ``starts``,
            ``statistics``, ``tapered_block_bootstrap_threshold`` and
            ``localized_regions`` (2-tuples).
        """
        return {
            "change_points": self.change_points.tolist(),
            "starts": (
                list(range(0, len(self.statistics) * self.window_size, self.window_size))
                if self._starts is None
                else self._starts.tolist()
            ),
            "statistics": self.statistics.tolist(),
            "tapered_block_bootstrap_threshold": self.thresholds.tolist(),
            "localized_regions": [tuple(region) for region in self.localized_regions.tolist()],
        }

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, WindowResult):
            return NotImplemented
        return (
            self.window_size == other.window_size
            and _same_bits(self.statistics, other.statistics)
            and _same_bits(self.thresholds, other.thresholds)
            and np.array_equal(self.change_points, other.change_points)
            and np.array_equal(self.localized_regions, other.localized_regions)
            and np.array_equal(self.starts, other.starts)
        )

    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (
            f"WindowResult(window_size={self.window_size}, positions={len(self.statistics)}, "
            f"change_points={self.change_points.tolist()!r})"
        )

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Unpickled and deep-copied arrays come back writeable.
        self.__dict__.update({name: _locked(value) for name, value in state.items()})


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
    kinds = list(table["kind"])
    tested = [kind is not None for kind in kinds]
    labels = [None] * len(positions) if index is None else [index[p] for p in positions]
    p_values = [v if t else None for v, t in zip(table["p_value"].tolist(), tested)]
    lows, highs = table.get("interval_low"), table.get("interval_high")
    if lows is None or highs is None:
        intervals: list[tuple[int, int] | None] = [None] * len(positions)
    else:
        intervals = [
            (low, high) if t else None
            for low, high, t in zip(lows.tolist(), highs.tolist(), tested)
        ]
    interval_labels = [
        None if index is None or interval is None else (index[interval[0]], index[interval[1]])
        for interval in intervals
    ]
    effects = [_finite_or_none(e) if t else None for e, t in zip(table["effect"].tolist(), tested)]
    change_points = tuple(
        ChangePoint(*fields)
        for fields in zip(
            positions,
            table["votes"].tolist(),
            table["score"].tolist(),
            table["probability"].tolist(),
            labels,
            kinds,
            p_values,
            intervals,
            list(table["direction"]),
            effects,
            interval_labels,
        )
    )
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


def _finite_or_none(value: float) -> float | None:
    """NaN (a figure that does not apply) as None; other values as they are."""
    return None if value != value else value


def _segments(arrays: dict[str, Any] | None) -> tuple[Segment, ...]:
    """Segments from the engine's arrays of them (none when None)."""
    if arrays is None:
        return ()
    return tuple(
        Segment(start, stop, level, spread, _finite_or_none(slope), count)
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


def _read_only(values: Any) -> Any:
    """A read-only view of a numpy array that cannot be made writeable again
    (its flags refuse ``writeable = True``): a view of the array's memory
    through a read-only buffer. The array itself is locked as well."""
    base = values.base
    if type(base) is memoryview and base.readonly and not values.flags.writeable:
        # Already such a view (the engine's arrays are): numpy refuses to make
        # it writeable, as it would refuse the view made below.
        return values
    if not values.flags.c_contiguous:
        values = np.ascontiguousarray(values)
    values.flags.writeable = False
    if values.size == 0:
        return values.view()  # a view of a locked array that owns its memory
    view = np.frombuffer(memoryview(values).toreadonly(), dtype=values.dtype)
    return view.reshape(values.shape)


def _locked(value: Any) -> Any:
    """A numpy array, or the arrays of a tuple, as read-only views; other
    values as they are."""
    if isinstance(value, np.ndarray):
        return _read_only(value)
    if isinstance(value, tuple):
        return tuple(_locked(item) for item in value)
    return value


def _compared_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """The options that say what was computed: results differ in nothing
    else when only the number of workers differs."""
    return {name: value for name, value in options.items() if name not in ("workers", "progress")}


def _same_bits(a: Any, b: Any) -> bool:
    """Equal arrays of floats, bit for bit (NaN equal to the same NaN)."""
    return bool(a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64)))


def _same_index(a: Any, b: Any) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return bool(type(a) is type(b) and a.dtype == b.dtype and a.name == b.name and a.equals(b))
