"""The quarn package's engine: the detector core without the interpreter
lock, with Ctrl-C, progress and numpy results."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, NotRequired, TypedDict, Unpack

import numpy as np
import numpy.typing as npt

Progress = Callable[[int, int], object] | None

class DetectorOptions(TypedDict):
    """The keyword arguments of ``detect`` and ``detect_many``: every
    detector option, then what only the engine knows."""

    window_sizes: Sequence[int] | None
    n_perm: int
    alpha_q: float
    seed: int
    tol: int
    workers: int | None
    change_type: str
    b: int | None
    taper_ratio: float
    center: bool
    backend: NotRequired[str]  # "thread"
    threshold_runs: NotRequired[bool]  # False
    writeable: NotRequired[bool]  # False
    skip_missing: NotRequired[bool]  # False
    progress: NotRequired[Progress]  # None

class DetectorError(ValueError):
    """A detection that failed on its input; str() is the detector's message."""

    non_finite_index: int | None
    window_size: int | None
    series_index: int | None
    kind: Literal["invalid_argument", "invalid_series", "window_too_small", "stopped"]

def detect(
    series: npt.NDArray[np.float64], **options: Unpack[DetectorOptions]
) -> dict[str, Any]:
    """The multi-window detector on one series.

    Returns ``{"n": int, "windows": tuple[window dict, ...], "consensus":
    {"leaders", "segment_votes", "scores", "probabilities", "cdf"}}``; a
    window dict holds ``window_size`` (int), ``statistics`` and
    ``thresholds`` (float64, one per position; position v starts at
    ``v * window_size``), ``change_points`` (int64) and
    ``localized_regions`` (int64, shape (k, 2)). With ``threshold_runs``
    a window dict also holds ``threshold_runs``: None, or ``(starts, values)``
    (int64, float64) where positions ``starts[i]`` up to ``starts[i + 1]``
    have the threshold ``values[i]``; its ``thresholds`` are then None.
    Arrays are read-only; with ``writeable`` the statistics and thresholds
    are writeable, for a caller that changes them in place and locks them.
    With ``skip_missing`` NaN values are left out, every position counts the
    whole series, windows hold ``starts`` (int64) where values were left
    out, and the dict holds ``n_missing``.
    """

def detect_many(
    series: Sequence[npt.NDArray[np.float64]], **options: Unpack[DetectorOptions]
) -> list[dict[str, Any]]:
    """``detect`` on every series, in parallel; results in input order."""

def single_window(
    series: npt.NDArray[np.float64],
    window_size: int,
    *,
    n_perm: int,
    alpha_q: float,
    seed: int,
    change_type: str,
    b: int | None,
    taper_ratio: float,
    center: bool,
    progress: Progress = None,
) -> dict[str, Any]:
    """The detector for one window size: one window dict."""

def sweep_positions(n: int, window_sizes: Sequence[int] | None = None) -> int:
    """Positions swept over n values: the total that progress reaches."""
def _kernel_path() -> str: ...
def _force_portable_kernels(force: bool) -> None: ...

def detect_changes(
    series: npt.NDArray[np.float64],
    *,
    alpha: float = 0.05,
    seed: int = 123,
    workers: int | None = None,
    keep_detector: bool = True,
    confidence: float = 0.9,
    threshold_runs: bool = False,
    writeable: bool = False,
    skip_missing: bool = False,
    progress: Progress = None,
) -> dict[str, Any]:
    """The package's confirm method on one series.

    Returns ``{"n": int, "positions": int64[k], "kinds": tuple[str, ...],
    "p_values": float64[k], "votes": int64[k], "interval_lows": int64[k],
    "interval_highs": int64[k], "directions": tuple[str | None, ...],
    "effects": float64[k], "segments": segments dict, "window_sizes": int64[s],
    "candidates": int, "unit": float, "seasonal_period": float | None,
    "detector": detection dict | None}``:
    the kept changes, and the candidate detector's result (as :func:`detect`
    returns it) on the standardised series, whose statistics and thresholds
    times ``unit`` are in the series' units. With ``skip_missing`` as
    :func:`detect` (``n_missing`` added).
    """

def detect_changes_many(
    series: Sequence[npt.NDArray[np.float64]],
    *,
    alpha: float = 0.05,
    seed: int = 123,
    workers: int | None = None,
    keep_detector: bool = True,
    confidence: float = 0.9,
    threshold_runs: bool = False,
    writeable: bool = False,
    skip_missing: bool = False,
    progress: Progress = None,
) -> list[dict[str, Any]]:
    """detect_changes on every series, the series in parallel; results in input order."""

def describe_segments(series: npt.NDArray[np.float64], cuts: Sequence[int]) -> dict[str, Any]:
    """The segments that ascending change points make of a series: arrays
    ``starts``, ``stops``, ``counts`` (int64), ``levels``, ``spreads`` and
    ``slopes`` (float64, NaN where a segment does not trend)."""

def method_window_sizes(n: int) -> list[int]:
    """The confirm method's window sizes for a series of n values."""

class MonitorCore:
    """The online change monitor's state; quarn.Monitor wraps it."""

    def __init__(self, false_alarm_run: float, warmup: int, max_period: int) -> None: ...
    def update_one(self, value: float) -> tuple[tuple[int, int, str, str, float, float], ...]: ...
    def update(
        self, values: npt.NDArray[np.float64]
    ) -> tuple[tuple[int, int, str, str, float, float], ...]: ...
    @property
    def n_seen(self) -> int: ...
    def reset(self) -> None: ...
    def state(self) -> bytes: ...
    @staticmethod
    def from_state(state: bytes) -> MonitorCore: ...
    def regime(self) -> dict[str, Any]: ...
