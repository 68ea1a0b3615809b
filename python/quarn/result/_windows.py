"""One window size's findings (:class:`WindowResult`), and the mapping of a
detection's window sizes to them that builds each on first look-up."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np
import numpy.typing as npt

from quarn._native_form import expand_runs
from quarn.result._arrays import FrozenMapping, _locked, _read_only, _same_bits

if TYPE_CHECKING:
    from quarn._quarn_native import WindowResultDict


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
