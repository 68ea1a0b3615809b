"""Native C++ extension module for the Python `quarn` package."""

import sys
from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, TypedDict

import numpy as np
from numpy.typing import ArrayLike

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__: list[str]

class WindowResultDict(TypedDict):
    """Findings of one window size, as ``quarn_single_window`` returns them.

    Keys (in this order): ``change_points`` (one per localized region, in
    region order), ``starts`` (start of every position), ``statistics``
    (the Wasserstein distance at every position),
    ``tapered_block_bootstrap_threshold`` (the threshold in force at every
    position) and ``localized_regions`` (half-open ``(start, end)`` ranges).
    """

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

#: A series or sample: any sequence of real numbers (list, tuple, array.array,
#: memoryview) or a one-dimensional numeric array (numpy array, pandas Series).
#: ``ArrayLike`` also admits scalars and nested sequences, which the module
#: rejects at run time with ``TypeError``.
SeriesLike: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer | ArrayLike

#: Window sizes: a sequence of non-negative integers or an integer array.
IndexSequence: TypeAlias = Sequence[SupportsIndex] | Buffer | ArrayLike

#: The kinds of change, spelled as the documentation spells them. The module
#: also accepts any other ASCII letter case ("MEAN", "Var") at run time; typed
#: code writes the canonical spelling, which lets a checker catch a misspelt
#: kind, and narrows or casts a ``str`` that comes from outside.
ChangeType: TypeAlias = Literal["mean", "var", "distribution"]

#: Accepted backend names (any letter case at run time); both run on the
#: module's own worker threads.
Backend: TypeAlias = Literal["thread", "process"]

#: A real number: ``float``, ``int`` or anything with ``__float__``/``__index__``.
Real: TypeAlias = SupportsFloat | SupportsIndex

#: A true boolean: ``bool`` or ``numpy.bool_`` (integers are rejected).
Flag: TypeAlias = bool | np.bool_

# The functions, with their signatures and documentation: those of the
# package (quarn.quarn_detector, ...), which forward to this module's
# functions unchanged.
from quarn._native_functions import ipm_statistic as ipm_statistic
from quarn._native_functions import quarn_detector as quarn_detector
from quarn._native_functions import quarn_single_window as quarn_single_window
from quarn._native_functions import refine_cusum as refine_cusum
from quarn._native_functions import refine_wasserstein as refine_wasserstein
from quarn._native_functions import swal_statistic as swal_statistic
from quarn._native_functions import wasserstein_statistic as wasserstein_statistic
