"""Reading a result document back (``DetectionResult.from_json``), trusting
nothing in it: the checked reading of its fields, and of its index.

Every part is checked for its type and range before it is used, and the
parts for their agreement: a document is read only when it describes a
result that :func:`quarn.detect` could have produced, and anything else
raises ValueError naming the part at fault. Documents written before the
confirm method existed have no ``method`` option: they are native results.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from typing import Any

import numpy as np

from quarn._native_form import INFINITIES

#: The kinds of change the confirm method reports.
KINDS = frozenset({"level", "slope", "spread", "shape", "pattern"})


#: Index dtypes a document may name (what ``to_json`` writes).
_INDEX_DTYPES = ("int", "uint", "float", "bool", "object", "str", "string")


#: Units of datetime and timedelta ticks.
_TICK_UNITS = frozenset({"s", "ms", "us", "ns"})


_INT64 = (-(2**63), 2**63 - 1)


class DocumentError(ValueError):
    """A document that is no result of quarn.detect."""


def read_document(
    text: str | bytes, format_name: str, versions: tuple[int, ...]
) -> dict[str, Any]:
    """Parses the JSON text and checks its header.

    Raises:
        ValueError: The text is no JSON, nests too deeply, holds NaN or
            infinity literals, or is no document of this format and of one
            of these versions.
    """

    def refuse_constant(name: str) -> Any:
        raise DocumentError(f"{name} is not a JSON number (write NaN and infinity as quarn does)")

    try:
        document = json.loads(text, parse_constant=refuse_constant)
    except DocumentError as exc:
        raise ValueError(f"not a JSON document: {exc}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as exc:
        raise ValueError(f"not a JSON document: {exc}") from None
    except RecursionError:
        raise ValueError("not a JSON document: nested too deeply") from None
    except (TypeError, ValueError) as exc:  # bytes in an unknown encoding, say
        raise ValueError(f"not a JSON document: {exc}") from None
    if not isinstance(document, dict) or document.get("format") != format_name:
        raise ValueError(f'not a {format_name} document (no "format": "{format_name}")')
    found = document.get("version")
    if type(found) is not int or found not in versions:
        raise ValueError(f"unsupported {format_name} version {found!r}")
    return document


def field(data: Any, key: str, where: str) -> Any:
    """``data[key]`` of a JSON object."""
    if not isinstance(data, dict):
        raise DocumentError(f"{where} must be an object, got {_kind(data)}")
    if key not in data:
        raise DocumentError(f"{where} has no {key!r}")
    return data[key]


def mapping(data: Any, where: str) -> dict[str, Any]:
    if not isinstance(data, dict):
        raise DocumentError(f"{where} must be an object, got {_kind(data)}")
    return data


def sequence(data: Any, where: str, length: int | None = None) -> list[Any]:
    if not isinstance(data, list):
        raise DocumentError(f"{where} must be a list, got {_kind(data)}")
    if length is not None and len(data) != length:
        raise DocumentError(f"{where} must hold {length} entries, got {len(data)}")
    return data


def integer(data: Any, where: str, low: int | None = None, high: int | None = None) -> int:
    """A JSON integer (not a boolean) within [low, high]."""
    if type(data) is not int:
        raise DocumentError(f"{where} must be an integer, got {_kind(data)}")
    if (low is not None and data < low) or (high is not None and data > high):
        bounds = f"from {low}" if high is None else f"from {low} to {high}"
        raise DocumentError(f"{where} must be an integer {bounds}, got {short(data)}")
    return data


def key_integer(key: str, where: str, low: int, high: int) -> int:
    """An integer written as a decimal key (window sizes, positions)."""
    if not (
        key.isascii() and key.isdigit() and len(key) <= 20 and (key == "0" or key[0] != "0")
    ):
        raise DocumentError(f"{where}: the key {short(key)} is not a decimal integer")
    return integer(int(key), f"{where} key", low, high)


def number(data: Any, where: str, *, nan: bool = False, infinite: bool = False) -> float:
    """A float written as JSON: a number, or null for NaN and "Infinity" or
    "-Infinity" where those may occur."""
    if data is None and nan:
        return math.nan
    if infinite and isinstance(data, str) and data in INFINITIES:
        return INFINITIES[data]
    if type(data) not in (int, float):
        allowed = "a number" + (", null" if nan else "") + (' or "Infinity"' if infinite else "")
        raise DocumentError(f"{where} must be {allowed}, got {_kind(data)}")
    try:
        value = float(data)
    except OverflowError:
        raise DocumentError(f"{where} is too large for a float: {short(data)}") from None
    if not infinite and math.isinf(value):
        raise DocumentError(f"{where} must be finite, got {short(data)}")
    return value


def numbers(data: Any, where: str, length: int | None = None, **allowed: bool) -> Any:
    """A list of numbers as a float64 array."""
    items = sequence(data, where, length)
    return np.array(
        [number(item, f"{where}[{i}]", **allowed) for i, item in enumerate(items)],
        dtype=np.float64,
    )


def built(make: Callable[[], Any], where: str) -> Any:
    """``make()``, with whatever pandas or numpy raise about the data turned
    into a DocumentError naming ``where``."""
    try:
        return make()
    except MemoryError:
        raise
    except Exception as exc:  # pandas' own errors are of many kinds
        raise DocumentError(f"{where}: {type(exc).__name__}: {exc}") from None


def read_index(data: Any, n_samples: int) -> Any:
    """The pandas index of a document (None for null), of n_samples labels."""
    if data is None:
        return None
    data = mapping(data, "index")
    try:
        import pandas as pd
    except ImportError:
        raise DocumentError("index: reading a pandas index needs pandas") from None
    kind = field(data, "kind", "index")
    name = field(data, "name", "index")
    if not (name is None or type(name) in (str, int, float)):
        raise DocumentError(f"index name must be text, a number or null, got {_kind(name)}")
    if kind == "range":
        start, stop, step = (
            integer(field(data, key, "index"), f"index {key}", *_INT64)
            for key in ("start", "stop", "step")
        )
        if step == 0:
            raise DocumentError("index step must not be 0")
        index = built(lambda: pd.RangeIndex(start, stop, step, name=name), "index")
    elif kind in ("datetime", "timedelta"):
        unit = field(data, "unit", "index")
        if unit not in _TICK_UNITS:
            raise DocumentError(f"index unit must be one of s, ms, us, ns, got {short(unit)}")
        ticks = _ticks(field(data, "values", "index"), n_samples)
        letter = "M" if kind == "datetime" else "m"
        array = np.array(ticks, dtype=np.int64).view(f"{letter}8[{unit}]")
        if kind == "timedelta":
            index = built(lambda: pd.TimedeltaIndex(array, name=name), "index")
        else:
            tz = field(data, "tz", "index")
            if not (tz is None or isinstance(tz, str)):
                raise DocumentError(f"index tz must be text or null, got {_kind(tz)}")
            index = built(
                lambda: (
                    pd.DatetimeIndex(array, name=name)
                    if tz is None
                    else pd.DatetimeIndex(array, name=name).tz_localize("UTC").tz_convert(tz)
                ),
                "index",
            )
    elif kind == "period":
        freq = field(data, "freq", "index")
        if not isinstance(freq, str):
            raise DocumentError(f"index freq must be text, got {_kind(freq)}")
        ticks = _ticks(field(data, "values", "index"), n_samples)
        index = built(lambda: pd.PeriodIndex.from_ordinals(ticks, freq=freq, name=name), "index")
    elif kind == "values":
        dtype = field(data, "dtype", "index")
        if not (isinstance(dtype, str) and dtype.startswith(_INDEX_DTYPES)):
            raise DocumentError(f"index dtype must be a numeric or text dtype, got {short(dtype)}")
        values = sequence(field(data, "values", "index"), "index values", n_samples)
        if dtype.startswith("float"):
            values = [
                number(v, f"index values[{i}]", nan=True, infinite=True)
                for i, v in enumerate(values)
            ]
        elif dtype.startswith(("object", "str", "string")):
            if not all(isinstance(v, str) for v in values):
                raise DocumentError(f"index values of dtype {dtype} must all be text")
        elif dtype.startswith("bool"):
            if not all(type(v) is bool for v in values):
                raise DocumentError(f"index values of dtype {dtype} must all be true or false")
        elif not all(type(v) is int for v in values):
            raise DocumentError(f"index values of dtype {dtype} must all be integers")
        index = built(lambda: pd.Index(values, dtype=dtype, name=name), "index")
    else:
        raise DocumentError(f"unknown index kind {short(kind)}")
    if len(index) != n_samples:
        raise DocumentError(f"the index must hold n_samples = {n_samples} labels, got {len(index)}")
    return index


def _ticks(data: Any, n_samples: int) -> list[int]:
    items = sequence(data, "index values", n_samples)
    return [integer(v, f"index values[{i}]", *_INT64) for i, v in enumerate(items)]


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (dict, list)):
        return "an object" if isinstance(value, dict) else "a list"
    if isinstance(value, str):
        return f"text {short(value)}"
    return short(value)


def short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def freeze(arrays: dict[str, Any]) -> None:
    for value in arrays.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
        elif isinstance(value, tuple):
            freeze(dict(enumerate(value)))


def frozen(arrays: dict[str, Any]) -> dict[str, Any]:
    freeze(arrays)
    return arrays
