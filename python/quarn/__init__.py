"""quarn: change points in univariate time series.

``quarn.detect(series)`` runs the multi-window detector and returns a
:class:`DetectionResult`; the native functions (``quarn_detector`` and the
others) are available unchanged for direct use.
"""

from quarn._quarn_native import (
    ipm_statistic,
    quarn_detector,
    quarn_single_window,
    refine_cusum,
    refine_wasserstein,
    swal_statistic,
    wasserstein_statistic,
)
from quarn._coverage import QuarnWarning
from quarn.datasets import Dataset, load_dataset
from quarn.detection import detect
from quarn.result import ChangePoint, DetectionResult

__all__ = [
    "detect",
    "DetectionResult",
    "ChangePoint",
    "QuarnWarning",
    "load_dataset",
    "Dataset",
    "quarn_detector",
    "quarn_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]
