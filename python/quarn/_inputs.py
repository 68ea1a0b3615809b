"""Turning what users pass as a series into what the native detector reads.

numpy and pandas are optional: an object can only be a numpy array or a
pandas Series when its library is already imported, so both are looked up in
``sys.modules`` instead of being imported here.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping, Sequence, Set
from dataclasses import dataclass
from typing import Any

# The exact text the native functions raise for a NaN or an infinity.
NATIVE_NON_FINITE_MESSAGE = (
    "series contains NaN or infinite values; clean/impute before calling quarn"
)


@dataclass(frozen=True)
class PreparedSeries:
    """A series ready for the native detector.

    Attributes:
        values: The numbers handed to the native function: the caller's list
            or tuple unchanged, or a one-dimensional float64 numpy array.
        index: The pandas index of a pandas Series, otherwise None.
        name: The name of a pandas Series, otherwise None.
    """

    values: Any
    index: Any = None
    name: Any = None

    def __len__(self) -> int:
        return len(self.values)


def prepare_series(series: Any) -> PreparedSeries:
    """Checks the kind and shape of a series and extracts its numbers.

    Args:
        series: A list or tuple of numbers, a one-dimensional numpy array, or
            a pandas Series.

    Returns:
        The values to pass to the native detector, with the pandas index when
        there is one.

    Raises:
        TypeError: The object is not a sequence of numbers.
        ValueError: The object has more than one dimension.
    """
    pd = sys.modules.get("pandas")
    if pd is not None:
        if isinstance(series, pd.DataFrame):
            raise ValueError(
                "series must be one-dimensional, got a DataFrame with "
                f"{series.shape[1]} columns; pass a single column, e.g. df['name']"
            )
        if isinstance(series, pd.Series):
            return _from_pandas(series)
    np = sys.modules.get("numpy")
    if np is not None and isinstance(series, np.ndarray):
        return PreparedSeries(_numpy_values(series))
    if isinstance(series, (list, tuple)):
        return PreparedSeries(series)
    if isinstance(series, (str, bytes, bytearray, Mapping, Set)) or not isinstance(
        series, Sequence
    ):
        raise TypeError(
            "series must be a list, tuple, numpy array or pandas Series of "
            f"numbers, got {type(series).__name__}"
        )
    return PreparedSeries(list(series))


def _from_pandas(series: Any) -> PreparedSeries:
    import numpy as np  # pandas always brings numpy

    try:
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError(
            f"series must hold numbers, got a pandas Series of dtype {series.dtype}"
        ) from exc
    return PreparedSeries(_numpy_values(values), series.index, series.name)


def _numpy_values(array: Any) -> Any:
    import numpy as np

    if array.ndim != 1:
        raise ValueError(
            "series must be one-dimensional, got an array of shape "
            f"{array.shape}; select one column (e.g. a[:, 0]) or flatten it"
        )
    if isinstance(array, np.ma.MaskedArray):
        # Masked entries are missing values: make them NaN so they are
        # reported, rather than silently reading the data hidden under them.
        array = np.ma.filled(array.astype(np.float64), np.nan)
    kind = array.dtype.kind
    if kind in "biuf":
        return np.ascontiguousarray(array, dtype=np.float64)
    if kind == "O":
        try:
            return array.astype(np.float64)
        except (TypeError, ValueError) as exc:
            raise TypeError(
                "series must hold numbers, got an object array with "
                f"non-numeric items ({exc})"
            ) from exc
    raise TypeError(f"series must hold real numbers, got dtype {array.dtype}")


def first_non_finite(prepared: PreparedSeries) -> tuple[int, int] | None:
    """Finds the values that are NaN or infinite.

    Args:
        prepared: The series as handed to the native detector.

    Returns:
        The position of the first such value and how many there are, or None
        when every value is finite.
    """
    values = prepared.values
    np = sys.modules.get("numpy")
    if np is not None and isinstance(values, np.ndarray):
        bad = np.flatnonzero(~np.isfinite(values))
        return (int(bad[0]), int(bad.size)) if bad.size else None
    positions = [i for i, value in enumerate(values) if not math.isfinite(value)]
    return (positions[0], len(positions)) if positions else None


def first_non_number(values: Sequence[Any]) -> tuple[int, Any] | None:
    """Finds the first item of a list that cannot be read as a float.

    Args:
        values: A list or tuple given as a series.

    Returns:
        The position and the item, or None when every item is a number.
    """
    for position, item in enumerate(values):
        if isinstance(item, (str, bytes)) or item is None:
            return position, item
        try:
            float(item)
        except (TypeError, ValueError):
            return position, item
    return None


def describe_position(prepared: PreparedSeries, position: int) -> str:
    """Names a position, with its index label for a pandas Series."""
    if prepared.index is None:
        return f"position {position}"
    return f"position {position} (label {prepared.index[position]})"
