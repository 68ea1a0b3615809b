"""The quarn package's engine: the detector core without the interpreter
lock, with Ctrl-C, progress and numpy results."""

from collections.abc import Callable, Iterator, Sequence
from typing import Any, Literal, NotRequired, TypedDict, Unpack

import numpy as np
import numpy.typing as npt

Progress = Callable[[int, int], object] | None

#: The merged-pass kernels in use: "portable", or the name of the SIMD path
#: this processor runs ("avx2"). QUARN_KERNELS=portable at import chooses
#: the portable ones.
kernel_path: str

class DetectorError(ValueError):
    """A detection that failed on its input; str() is the detector's message."""

    non_finite_index: int | None
    window_size: int | None
    series_index: int | None
    kind: Literal["invalid_argument", "invalid_series", "window_too_small", "stopped"]

class DetectionWindows:
    """The window dicts of a detection, ascending window size, each made
    when first read."""

    @property
    def window_sizes(self) -> tuple[int, ...]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> dict[str, Any]: ...
    def __iter__(self) -> Iterator[dict[str, Any]]: ...

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

    Each dict holds ``n`` (int), ``windows`` (one window dict per window
    size, ascending: the native detector's, or the confirm method's
    candidate detector's, figures in the series' units; a sequence that
    makes each dict when it is first read and has their ``window_sizes``),
    ``table`` (the change points, ascending: ``position``, ``votes``,
    ``interval_low``, ``interval_high`` int64; ``p_value``, ``score``, ``probability``,
    ``cdf``, ``effect`` float64; ``kind`` and ``direction`` tuples of str or
    None; a row of kind None, the native method's, has NaN p-value and
    effect, interval 0 and no direction),
    ``segments`` (as :func:`describe_segments` returns them),
    ``seasonal_period`` (float or None) and ``n_missing`` (int). The native
    method sees every series centred and scaled by a power of two unless
    ``scale`` is False.

    A window dict holds ``window_size`` (int), ``statistics`` (float64, one
    per position; position v starts at ``v * window_size``), ``thresholds``
    (float64, one per position) or None, ``threshold_runs`` (None, or
    ``(starts, values)``, int64 and float64, where positions ``starts[i]``
    up to ``starts[i + 1]`` have the threshold ``values[i]``; exactly one of
    the two forms is None), ``change_points`` (int64) and
    ``localized_regions`` (int64, shape (k, 2)); where missing values were
    left out also ``starts`` (int64, the first value of every position).
    Every array is read-only.
    """

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
