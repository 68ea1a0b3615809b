"""quarn: change points in univariate time series.

``quarn.detect(series)`` runs the multi-window detector and returns a
:class:`DetectionResult`; ``quarn.detect_many(data)`` runs many series in
parallel and returns one table of their change points (``quarn.dask`` does
the same on a Dask cluster, and ``quarn.sktime.QuarnDetector`` is an
sktime detector). The detector's native functions
(:func:`quarn_detector` and the others) are available under the same names
with the same arguments and results.
"""

import importlib
from types import ModuleType

from quarn import serialize
from quarn._native_functions import (
    ipm_statistic,
    quarn_detector,
    quarn_single_window,
    refine_cusum,
    refine_wasserstein,
    swal_statistic,
    wasserstein_statistic,
)
from quarn._runner import QuarnWarning
from quarn._inputs import SeriesError
from quarn._version import __version__
from quarn.datasets import Dataset, load_dataset
from quarn.detection import detect
from quarn.many import detect_many
from quarn.monitor import Alarm, Monitor
from quarn.result import ChangePoint, DetectionResult, Segment, WindowResult

__all__ = [
    "__version__",
    "detect",
    "detect_many",
    "Monitor",
    "Alarm",
    "DetectionResult",
    "ChangePoint",
    "Segment",
    "WindowResult",
    "QuarnWarning",
    "SeriesError",
    "load_dataset",
    "Dataset",
    "serialize",
    # The native functions, named here as well as in their module so that
    # type checkers see them exported.
    "quarn_detector",
    "quarn_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]


def __getattr__(name: str) -> ModuleType:
    """Imports ``quarn.dask`` and ``quarn.sktime`` on their first use, so
    that ``import quarn`` needs neither Dask nor sktime:
    ``quarn.dask.detect_many`` works after ``import quarn`` once the
    ``dask`` extra is installed, and so does ``quarn.sktime`` with the
    ``sktime`` extra."""
    if name in ("dask", "sktime"):
        return importlib.import_module(f"quarn.{name}")
    raise AttributeError(f"module 'quarn' has no attribute {name!r}")
