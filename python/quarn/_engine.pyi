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

class RunOptions(TypedDict):
    """The keyword arguments of ``run``: every option of the options table
    that says what is computed (None where the method does not use it), then
    what only the engine knows."""

    method: Literal["confirm", "native"]
    window_sizes: Sequence[int] | None
    n_perm: int | None
    alpha: float
    confidence: float | None
    seed: int
    tol: int | None
    workers: int | None
    change_type: str | None
    block_length: int | None
    taper_ratio: float | None
    center: bool | None
    skip_missing: bool
    scale: NotRequired[bool]  # True
    progress: NotRequired[Progress]  # None

def run(
    series: Sequence[npt.NDArray[np.float64]], **options: Unpack[RunOptions]
) -> list[dict[str, Any]]:
    """A detection method on every series; one dict per series, in input order.

    Each dict holds ``n`` (int), ``windows`` (window dicts as :func:`detect`
    returns them, thresholds by runs where smaller: the native detector's, or
    the confirm method's candidate detector's; figures in the series'
    units), ``table`` (the change points, ascending: ``position``,
    ``votes``, ``interval_low``, ``interval_high`` int64; ``p_value``,
    ``score``, ``probability``, ``cdf``, ``effect`` float64; ``kind`` and
    ``direction`` tuples of str or None; a row of kind None, the native
    method's, has NaN p-value and effect, interval 0 and no direction),
    ``segments`` (as :func:`describe_segments` returns them),
    ``seasonal_period`` (float or None) and ``n_missing`` (int). The native
    method sees every series centred and scaled by a power of two unless
    ``scale`` is False.
    """

def _choose_scaling(series: npt.NDArray[np.float64]) -> tuple[float, int]:
    """The (centre, power) that run(scale=True) maps a native series with."""

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
