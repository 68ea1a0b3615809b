"""quarn as an sktime change-point detector: :class:`QuarnDetector`.

Needs the ``sktime`` extra (``pip install 'quarn[sktime]'``). The detector
takes the options of :func:`quarn.detect` as its parameters and runs it on
the series it is given, so it fits into sktime's pipelines, wrappers and
tuning tools like any other detector::

    from sktime.transformations.series.detrend import Detrender
    from quarn.sktime import QuarnDetector

    pipeline = Detrender() * QuarnDetector(alpha=0.01)
    change_points = pipeline.fit(y).predict(y)      # a frame with "ilocs"

sktime's ``predict`` frame holds the positions only (``transform`` and the
wrappers read it as such); the kind, p-value, votes and score of every
change point are in :meth:`QuarnDetector.predict_result` and, as numbers,
in ``predict_scores``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from quarn.detection import detect
from quarn.options import BY_NAME, OPTIONS, with_options_doc
from quarn.result import DetectionResult

try:
    import pandas as pd
    from sktime.detection.base import BaseDetector
except ImportError as _missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quarn.sktime needs sktime, which is not installed; run: pip install 'quarn[sktime]'"
    ) from _missing

__all__ = ["QuarnDetector"]

#: The columns of ``predict_scores``: the numbers of every change point.
SCORE_COLUMNS: tuple[str, ...] = ("score", "probability", "p_value")


def _default(name: str) -> Any:
    return BY_NAME[name].default


class QuarnDetector(BaseDetector):  # type: ignore[misc]  # sktime has no type hints
    """Change points of a univariate series, found by :func:`quarn.detect`.

    An unsupervised sktime change-point detector: ``fit`` learns nothing
    (it only checks the input), and ``predict`` runs :func:`quarn.detect`
    with this detector's parameters on the series it is given; the change
    points equal those of :func:`quarn.detect` on the same values. A change
    point's iloc is the position of the first value after the change.

    Beyond sktime's methods (``predict``, ``predict_points``,
    ``predict_segments``, ``transform``), :meth:`predict_result` returns the
    whole :class:`quarn.DetectionResult`, and ``predict_scores`` a frame with
    one row per predicted change point and the columns ``score``,
    ``probability`` and ``p_value`` (NaN for the native method).

    The series must be univariate (one column). Missing values are left out
    (``missing="skip"``, the default: the change points are positions of
    the whole series) or refused with a ValueError (``missing="raise"``).

    Args:
        (options): One entry per option, from quarn.options.OPTIONS.

    Example:
        >>> import numpy as np
        >>> import pandas as pd
        >>> from quarn.sktime import QuarnDetector
        >>> rng = np.random.default_rng(1)
        >>> y = pd.Series(np.r_[rng.normal(0, 1, 100), rng.normal(3, 1, 100)])
        >>> detector = QuarnDetector().fit(y)
        >>> detector.predict(y)
           ilocs
        0    100
        >>> detector.predict_result(y).change_points[0].kind
        'level'
    """

    _tags = {
        "authors": "quarn developers",
        "maintainers": "quarn developers",
        "task": "change_point_detection",
        "learning_type": "unsupervised",
        "capability:multivariate": False,
        "capability:missing_values": True,
        "X_inner_mtype": "pd.DataFrame",
        "fit_is_empty": True,
    }

    def __init__(
        self,
        method: str = _default("method"),
        window_sizes: Iterable[int] | int | None = _default("window_sizes"),
        n_perm: int | None = _default("n_perm"),
        alpha: float | None = _default("alpha"),
        confidence: float | None = _default("confidence"),
        seed: int = _default("seed"),
        tol: int | None = _default("tol"),
        workers: int | None = _default("workers"),
        change_type: str | None = _default("change_type"),
        block_length: int | None = _default("block_length"),
        taper_ratio: float | None = _default("taper_ratio"),
        center: bool | None = _default("center"),
        missing: str = _default("missing"),
        progress: Callable[[int, int], object] | None = _default("progress"),
    ) -> None:
        self.method = method
        self.window_sizes = window_sizes
        self.n_perm = n_perm
        self.alpha = alpha
        self.confidence = confidence
        self.seed = seed
        self.tol = tol
        self.workers = workers
        self.change_type = change_type
        self.block_length = block_length
        self.taper_ratio = taper_ratio
        self.center = center
        self.missing = missing
        self.progress = progress
        super().__init__()

    def predict_result(self, X: Any) -> DetectionResult:
        """Runs :func:`quarn.detect` on a series and returns its whole result.

        Args:
            X: The series, in any form ``predict`` takes (a pandas Series or
                one-column DataFrame, whose index labels the change points,
                or a one-dimensional numpy array).

        Returns:
            The result: every change point with its position, index label,
                votes, score, probability, kind and p-value, and the findings
                of every window size.

        Raises:
            ValueError: X has more than one column, too few values, or
                missing or infinite values, or a parameter is out of range.
            TypeError: A parameter has the wrong type.
        """
        self.check_is_fitted()
        return self._detect(self._check_X(X))

    def _detect(self, X: Any) -> DetectionResult:
        # predict hands over a DataFrame; predict_points and predict_segments
        # pass X on as sktime's series check left it (a Series, a DataFrame
        # or a numpy array).
        columns = X.shape[1] if np.ndim(X) == 2 else 1
        if columns != 1:
            raise ValueError(
                f"{type(self).__name__} takes a univariate series, but X has {columns} columns"
            )
        if isinstance(X, pd.DataFrame):
            X = X.iloc[:, 0]
        elif not isinstance(X, pd.Series):
            X = np.asarray(X).reshape(-1)
        options = {option.name: getattr(self, option.name) for option in OPTIONS}
        return detect(X, **options)

    def _predict(self, X: Any) -> pd.DataFrame:
        """The change points of X: one row each, their ilocs in "ilocs"."""
        positions = np.asarray(self._detect(X).positions, dtype=np.int64)
        return pd.DataFrame({"ilocs": positions})

    def _predict_scores(self, X: Any) -> pd.DataFrame:
        """One row per change point of ``predict``, with its :data:`SCORE_COLUMNS`."""
        frame = self._detect(X).to_frame()
        return frame.loc[:, list(SCORE_COLUMNS)].reset_index(drop=True)

    @staticmethod
    def sparse_to_dense(y_sparse: Any, index: Any) -> Any:
        """Marks the change points of ``predict`` on every value of ``index``.

        As sktime's own conversion, which ``transform`` and ``fit_transform``
        use, but the ilocs are placed by position whatever the index (sktime's
        places them by label, which fails on a DatetimeIndex).

        Args:
            y_sparse: The frame (or series) of ilocs that ``predict`` returns.
            index: The index of the series, one label per value.

        Returns:
            1 at every change point and 0 elsewhere, indexed by ``index``.
        """
        dense = BaseDetector.sparse_to_dense(y_sparse, pd.RangeIndex(len(index)))
        dense.index = index
        return dense

    @classmethod
    def get_test_params(cls, parameter_set: str = "default") -> list[dict[str, Any]]:
        """Parameters of quick test instances, for sktime's own checks.

        Args:
            parameter_set: Name of the set; every name gives the same sets.

        Returns:
            The confirm method with a looser level, and the native method
            with few replicates and small windows.
        """
        return [
            {"alpha": 0.1},
            {"method": "native", "window_sizes": [4, 5], "n_perm": 30, "seed": 7},
        ]


QuarnDetector.__doc__ = with_options_doc(QuarnDetector.__doc__ or "")
