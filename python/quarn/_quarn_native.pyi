"""Type stubs of the native extension module of quarn."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict

__all__: list[str]

class WindowResultDict(TypedDict):
    """Findings of one window size."""

    change_points: list[int]
    starts: list[int]
    statistics: list[float]
    tapered_block_bootstrap_threshold: list[float]
    localized_regions: list[tuple[int, int]]

class ConsensusDict(TypedDict):
    """Consensus across window sizes, keyed by the leader of each segment."""

    leaders_segment_votes: dict[int, int]
    leaders_scores: dict[int, float]
    leaders_probs: dict[int, float]
    cdf: list[tuple[int, float]]

class DetectorResultDict(TypedDict):
    """Result of ``quarn_detector``."""

    cp_dict: dict[int, list[int]]
    window_results: dict[int, WindowResultDict]
    out: ConsensusDict

_Floats = Sequence[SupportsFloat | SupportsIndex]
_Bool = bool  # numpy.bool_ is accepted too

def quarn_detector(
    series: _Floats,
    window_sizes: Sequence[SupportsIndex] | None = None,
    n_perm: SupportsIndex = 300,
    alpha_q: SupportsFloat | SupportsIndex = 1.0,
    seed: SupportsIndex = 123,
    tol: SupportsIndex = 2,
    workers: SupportsIndex | None = None,
    backend: str = "thread",
    change_type: str = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: SupportsFloat | SupportsIndex = 0.5,
    center: _Bool = True,
    batch_size: SupportsIndex = 32,
) -> DetectorResultDict: ...
def quarn_single_window(
    series: _Floats,
    window_size: SupportsIndex,
    n_perm: SupportsIndex = 300,
    alpha_q: SupportsFloat | SupportsIndex = 1.0,
    seed: SupportsIndex = 123,
    change_type: str = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: SupportsFloat | SupportsIndex = 0.5,
    center: _Bool = True,
    batch_size: SupportsIndex = 32,
) -> WindowResultDict: ...
def refine_cusum(series: _Floats) -> int: ...
def refine_wasserstein(series: _Floats) -> tuple[int, list[float]]: ...
def swal_statistic(series: _Floats, change_type: str = "distribution") -> int: ...
def wasserstein_statistic(left: _Floats, right: _Floats) -> float: ...
def ipm_statistic(left: _Floats, right: _Floats) -> float: ...
