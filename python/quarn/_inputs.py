"""Turning what users pass as a series into the floats the detector reads.

numpy and pandas are optional: an object can only be a numpy array or a
pandas Series when its library is already imported, so both are looked up in
``sys.modules`` instead of being imported here.
"""

from __future__ import annotations

import math
import sys
from array import array
from collections.abc import Mapping, Sequence, Set
from dataclasses import dataclass
from typing import Any

from quarn.options import shown, shown_text

_FILL_HINT = "remove or fill in missing values (e.g. drop or interpolate them) first"


@dataclass(frozen=True)
class PreparedSeries:
    """A series checked for its kind and shape.

    Attributes:
        values: The caller's list or tuple unchanged, an ``array('d')``, or a
            one-dimensional float64 numpy array.
        index: The pandas index of a pandas Series, otherwise None.
        name: The name of a pandas Series, otherwise None.
    """

    values: Any
    index: Any = None
    name: Any = None

    def __len__(self) -> int:
        return len(self.values)


def prepare_series(series: Any) -> PreparedSeries:
    """Checks the kind and shape of a series and extracts its values.

    Args:
        series: A list or tuple of numbers, an ``array.array``, a
            one-dimensional numpy array, or a pandas Series.

    Returns:
        The values, with the pandas index when there is one.

    Raises:
        TypeError: The object is not a sequence of numbers.
        ValueError: The object has more than one dimension, or masked
            (missing) entries.
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
    if isinstance(series, array):
        if series.typecode == "u" or series.typecode == "w":
            raise TypeError("series must hold numbers, got an array of characters")
        return PreparedSeries(series if series.typecode == "d" else array("d", series))
    if isinstance(series, (str, bytes, bytearray, Mapping, Set)) or not isinstance(
        series, Sequence
    ):
        raise TypeError(
            "series must be a list, tuple, numpy array or pandas Series of "
            f"numbers, got {type(series).__name__}"
        )
    return PreparedSeries(list(series))


def float_values(prepared: PreparedSeries) -> Any:
    """The series as finite floats, checked as the detector checks them.

    Args:
        prepared: The series as returned by :func:`prepare_series`.

    Returns:
        An ``array('d')``, or the float64 numpy array of a numpy or pandas
        input (not copied).

    Raises:
        TypeError: An item is not a number.
        ValueError: An integer is too large for a float, the series has
            fewer than 3 values, or a value is NaN or infinite.
    """
    values = prepared.values
    if isinstance(values, (list, tuple)):
        values = _float_array(values)
    if len(values) < 3:
        raise ValueError("series must contain at least 3 values")
    found = _first_non_finite(values)
    if found is not None:
        position, count = found
        raise ValueError(
            f"series contains {count} NaN or infinite value"
            f"{'s' if count > 1 else ''}, the first at "
            f"{describe_position(prepared, position)}; {_FILL_HINT}"
        )
    return values


def describe_position(prepared: PreparedSeries, position: int) -> str:
    """Names a position, with its index label for a pandas Series."""
    if prepared.index is None:
        return f"position {position}"
    return f"position {position} (label {shown_text(str(prepared.index[position]))})"


def _from_pandas(series: Any) -> PreparedSeries:
    import numpy as np  # pandas always brings numpy

    try:
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError(
            f"series must hold numbers, got a pandas Series of dtype {series.dtype}"
        ) from exc
    return PreparedSeries(_numpy_values(values), series.index, series.name)


def _numpy_values(values: Any) -> Any:
    import numpy as np

    if values.ndim != 1:
        raise ValueError(
            "series must be one-dimensional, got an array of shape "
            f"{values.shape}; select one column (e.g. a[:, 0]) or flatten it"
        )
    if isinstance(values, np.ma.MaskedArray):
        # Masked entries are missing values; the data hidden under the mask
        # must not be read as if it were there.
        masked = np.flatnonzero(np.ma.getmaskarray(values))
        if masked.size:
            raise ValueError(
                f"series has {masked.size} missing (masked) value"
                f"{'s' if masked.size > 1 else ''}, the first at position "
                f"{int(masked[0])}; {_FILL_HINT}"
            )
        values = values.data
    kind = values.dtype.kind
    if kind in "biuf":
        return np.ascontiguousarray(values, dtype=np.float64)
    if kind == "O":
        return np.frombuffer(_float_array(values.tolist()), np.float64)
    raise TypeError(f"series must hold real numbers, got dtype {values.dtype}")


def _float_array(items: Sequence[Any]) -> array:
    """The items as an ``array('d')``, naming the first one that is no number."""
    try:
        return array("d", items)
    except (TypeError, OverflowError):
        pass
    for position, item in enumerate(items):
        try:
            if isinstance(item, (str, bytes, bytearray)):
                raise TypeError
            array("d", (item,))
        except OverflowError:
            raise ValueError(
                f"series item at position {position} is an integer too large for a "
                f"float ({shown(item)})"
            ) from None
        except TypeError:
            hint = f"; {_FILL_HINT}" if item is None else ""
            raise TypeError(
                f"series item at position {position} is {shown(item)}, not a number{hint}"
            ) from None
    return array("d", items)  # the items changed while they were checked


def _first_non_finite(values: Any) -> tuple[int, int] | None:
    """The position of the first NaN or infinity and how many there are."""
    np = sys.modules.get("numpy")
    if np is not None and isinstance(values, np.ndarray):
        bad = np.flatnonzero(~np.isfinite(values))
        return (int(bad[0]), int(bad.size)) if bad.size else None
    # A finite sum proves every value finite; only otherwise look closer (the
    # sum can also overflow with finite values).
    if math.isfinite(sum(values)):
        return None
    positions = [i for i, value in enumerate(values) if not math.isfinite(value)]
    return (positions[0], len(positions)) if positions else None
