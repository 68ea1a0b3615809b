"""Turning what users pass as a series into the floats the detector reads.

pandas is optional: an object can only be a pandas Series when pandas is
already imported, so it is looked up in ``sys.modules`` instead of being
imported here.
"""

from __future__ import annotations

import math
import sys
from array import array
from collections.abc import Mapping, Sequence, Set
from dataclasses import dataclass
from typing import Any

import numpy as np

from quarn._checks import shown, shown_text

class SeriesError(ValueError):
    """A series quarn cannot analyse: of the wrong kind or shape, too short,
    or holding a missing, NaN or infinite value. The message says which and
    where."""


class SeriesTypeError(SeriesError, TypeError):
    """A series of the wrong kind (not numbers, or not a sequence of them);
    a TypeError as well, as it always was."""


_FILL_HINT = "remove or fill in missing values (e.g. drop or interpolate them) first"
_VALUES_HINT = (
    "pass the column of values, with the times as its index "
    "(e.g. df.set_index('time')['value'], or pd.Series(values, index=times))"
)


@dataclass(frozen=True)
class PreparedSeries:
    """A series checked for its kind and shape.

    Attributes:
        values: The caller's list or tuple unchanged, an ``array('d')``, or a
            one-dimensional float64 numpy array.
        index: The pandas index of a pandas Series, otherwise None.
        name: The name of a pandas Series, otherwise None.
        owned: Whether ``values`` is a new object made here (a converted
            copy) rather than the caller's own.
        skip_missing: Whether missing values are left out of the detection:
            masked entries are then NaN in ``values``, and None or pandas
            NA among the items become NaN when they are read as floats.
    """

    values: Any
    index: Any = None
    name: Any = None
    owned: bool = False
    skip_missing: bool = False

    def __len__(self) -> int:
        return len(self.values)


def prepare_series(series: Any, missing: str = "raise") -> PreparedSeries:
    """Checks the kind and shape of a series and extracts its values.

    Args:
        series: A list or tuple of numbers, an ``array.array``, a
            one-dimensional numpy array, or a pandas Series.
        missing: "skip" reads missing values (NaN, None, pandas NA, masked
            entries) as NaN, for the detector to leave out; "raise" refuses
            None and masked entries here (NaN later, in the detector).

    Returns:
        The values, with the pandas index when there is one.

    Raises:
        TypeError: The object is not a sequence of numbers.
        ValueError: The object has more than one dimension, or masked
            (missing) entries when they are not skipped.
    """
    return _prepare(series, missing == "skip")


def _prepare(series: Any, skip: bool) -> PreparedSeries:
    pd = sys.modules.get("pandas")
    if pd is not None:
        if isinstance(series, pd.DataFrame):
            raise SeriesError(
                "series must be one-dimensional, got a DataFrame with "
                f"{series.shape[1]} columns; pass a single column, e.g. df['name']"
            )
        if isinstance(series, pd.Series):
            return _from_pandas(series, skip)
    if isinstance(series, np.ndarray):
        values = numpy_values(series, skip)
        owned = not np.may_share_memory(values, series)
        return PreparedSeries(values, owned=owned, skip_missing=skip)
    if isinstance(series, (list, tuple)):
        return PreparedSeries(series, skip_missing=skip)
    if isinstance(series, array):
        if series.typecode == "u" or series.typecode == "w":
            raise SeriesTypeError("series must hold numbers, got an array of characters")
        if series.typecode == "d":
            return PreparedSeries(series, skip_missing=skip)
        return PreparedSeries(array("d", series), owned=True, skip_missing=skip)
    if isinstance(series, (str, bytes, bytearray, Mapping, Set)) or not isinstance(
        series, Sequence
    ):
        raise SeriesTypeError(
            "series must be a list, tuple, numpy array or pandas Series of "
            f"numbers, got {type(series).__name__}"
        )
    return PreparedSeries(list(series), owned=True, skip_missing=skip)


def float_values(prepared: PreparedSeries) -> Any:
    """The series as a private float64 numpy array of at least 3 values.

    The array is never the caller's buffer (nor a view of it): the detector
    reads it without the interpreter lock, so another thread, or a progress
    callback, that changes the caller's data meanwhile must not reach it.
    Where the values were already converted into a new array, that array is
    used; otherwise they are copied once, and results keep the same array.

    NaN and infinite values are left for the detector to find (it names the
    first one; see :func:`non_finite_message`), so that the series is read
    only once.

    Args:
        prepared: The series as returned by :func:`prepare_series`.

    Returns:
        The array, owned by the caller of this function alone.

    Raises:
        TypeError: An item is not a number.
        ValueError: An integer is too large for a float, or the series has
            fewer than 3 values.
    """
    values = prepared.values
    owned = prepared.owned
    if isinstance(values, (list, tuple)):
        values, owned = _float_array(values, prepared.skip_missing), True
    if len(values) < 3:
        raise SeriesError("series must contain at least 3 values")
    if isinstance(values, array):
        values = np.frombuffer(values, dtype=np.float64)
    if not owned:
        values = np.array(values, dtype=np.float64, copy=True)
    if prepared.skip_missing:
        missing = int(np.count_nonzero(np.isnan(values)))
        if len(values) - missing < 3:
            raise SeriesError(
                "series must contain at least 3 values that are not missing, got "
                f"{len(values) - missing} ({missing} of {len(values)} missing)"
            )
    return values


def non_finite_message(prepared: PreparedSeries, values: Any, position: int) -> str:
    """The message for a series whose first NaN or infinite value is at
    ``position`` (found by the detector), with how many there are.

    Args:
        prepared: The series as returned by :func:`prepare_series`.
        values: Its values, as :func:`float_values` returned them.
        position: Index of the first NaN or infinite value.

    Returns:
        E.g. "series contains 2 NaN or infinite values, the first at position
        2; remove or fill in missing values (...) first".
    """
    count = int(np.count_nonzero(~np.isfinite(values)))
    return (
        f"series contains {count} NaN or infinite value{'s' if count > 1 else ''}, "
        f"the first at {describe_position(prepared, position)}; {_FILL_HINT}"
    )


def infinite_message(prepared: PreparedSeries, values: Any, position: int) -> str:
    """The message for a series whose missing values are skipped and whose
    first infinite value is at ``position``, with how many there are."""
    count = int(np.count_nonzero(np.isinf(values)))
    return (
        f"series contains {count} infinite value{'s' if count > 1 else ''}, the first at "
        f"{describe_position(prepared, position)}; infinite values are not missing values: "
        "remove or replace them first"
    )


def describe_position(prepared: PreparedSeries, position: int) -> str:
    """Names a position, with its index label for a pandas Series."""
    if prepared.index is None:
        return f"position {position}"
    return f"position {position} (label {shown_text(str(prepared.index[position]))})"


def _from_pandas(series: Any, skip: bool = False) -> PreparedSeries:
    problem = not_numbers(series.dtype, series.to_numpy() if series.dtype == object else None)
    if problem is not None:
        raise SeriesTypeError(
            f"series must hold numbers, got a pandas Series of {problem}; {_VALUES_HINT}"
        )
    try:
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise SeriesTypeError(
            f"series must hold numbers, got a pandas Series of dtype {series.dtype}"
        ) from exc
    return PreparedSeries(numpy_values(values, skip), series.index, series.name, skip_missing=skip)


def not_numbers(dtype: Any, objects: Any = None) -> str | None:
    """What a pandas column holds when it is times or text rather than
    numbers (e.g. "dtype datetime64[ns] (times, not values)"), else None.

    Args:
        dtype: The column's dtype.
        objects: For a column of dtype object, its items as a numpy array:
            text among them counts as text.
    """
    categories = getattr(dtype, "categories", None)
    if categories is not None:  # a categorical column: what its categories are
        inner = not_numbers(categories.dtype, categories.to_numpy())
        return None if inner is None else f"dtype {dtype} of {inner}"
    kind = getattr(dtype, "kind", "O")
    name = str(dtype)
    if kind in "mM" or name.startswith(("datetime64", "timedelta64", "period", "interval")):
        return f"dtype {name} (times, not values)"
    if kind in "SU" or name.startswith(("string", "str")):
        return f"dtype {name} (text, not numbers)"
    if objects is not None:
        for position, item in enumerate(objects.tolist()):
            if isinstance(item, (str, bytes)):
                return (
                    f"dtype object holding text ({shown(item)} at position {position}), "
                    "not numbers"
                )
    return None


def numpy_values(values: Any, skip_missing: bool = False) -> Any:
    """A one-dimensional numpy array of real numbers as contiguous float64
    (the array itself when it already is).

    With ``skip_missing``, masked entries, and None or pandas NA in an
    array of objects, become NaN (in a new array).

    Raises:
        TypeError: The array does not hold real numbers.
        ValueError: It is not one-dimensional, or has masked entries that
            are not skipped.
    """
    if values.ndim != 1:
        raise SeriesError(
            "series must be one-dimensional, got an array of shape "
            f"{values.shape}; select one column (e.g. a[:, 0]) or flatten it"
        )
    if isinstance(values, np.ma.MaskedArray):
        # Masked entries are missing values; the data hidden under the mask
        # must not be read as if it were there.
        mask = np.ma.getmaskarray(values)
        if skip_missing and mask.any():
            floats = numpy_values(values.data, skip_missing)
            floats = np.array(floats, dtype=np.float64, copy=True)
            floats[mask] = np.nan
            return floats
        masked = np.flatnonzero(mask)
        if masked.size:
            raise SeriesError(
                f"series has {masked.size} missing (masked) value"
                f"{'s' if masked.size > 1 else ''}, the first at position "
                f"{int(masked[0])}; {_FILL_HINT}"
            )
        values = values.data
    kind = values.dtype.kind
    if kind in "mM":
        raise SeriesTypeError(
            f"series must hold real numbers, got dtype {values.dtype} (times, not values); "
            f"{_VALUES_HINT}"
        )
    if kind in "biuf":
        return np.ascontiguousarray(values, dtype=np.float64)
    if kind == "O":
        return np.frombuffer(_float_array(values.tolist(), skip_missing), np.float64)
    raise SeriesTypeError(f"series must hold real numbers, got dtype {values.dtype}")


def is_missing_item(item: Any) -> bool:
    """Whether an item stands for a missing value: None, or pandas' NA."""
    if item is None:
        return True
    pd = sys.modules.get("pandas")
    return pd is not None and item is pd.NA


def _float_array(items: Sequence[Any], skip_missing: bool = False) -> array:
    """The items as an ``array('d')``, naming the first one that is no number;
    with ``skip_missing``, None and pandas NA become NaN."""
    try:
        return array("d", items)
    except (TypeError, OverflowError):
        pass
    if skip_missing:
        items = [math.nan if is_missing_item(item) else item for item in items]
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
            raise SeriesError(
                f"series item at position {position} is an integer too large for a "
                f"float ({shown(item)})"
            ) from None
        except TypeError:
            hint = f"; {_FILL_HINT}" if item is None else ""
            raise SeriesTypeError(
                f"series item at position {position} is {shown(item)}, not a number{hint}"
            ) from None
    return array("d", items)  # the items changed while they were checked
