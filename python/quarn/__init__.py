"""quarn: change points in univariate time series."""

from quarn._quarn_native import (
    ipm_statistic,
    quarn_detector,
    quarn_single_window,
    refine_cusum,
    refine_wasserstein,
    swal_statistic,
    wasserstein_statistic,
)

__all__ = [
    "quarn_detector",
    "quarn_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]
