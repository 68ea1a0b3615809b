"""Immutable pieces of a result: a read-only mapping, numpy arrays locked
read-only for good, and the bit-for-bit comparisons of results' arrays and
indexes."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any, TypeVar

import numpy as np

_K = TypeVar("_K")
_V = TypeVar("_V")


class FrozenMapping(Mapping[_K, _V]):
    """A read-only mapping (which, unlike ``types.MappingProxyType``,
    pickles and deep-copies)."""

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[_K, _V]) -> None:
        """Wraps a copy of ``items``."""
        self._items = dict(items)

    def __getitem__(self, key: _K) -> _V:
        return self._items[key]

    def __iter__(self) -> Iterator[_K]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"FrozenMapping({self._items!r})"

    def __getstate__(self) -> dict[_K, _V]:
        return self._items

    def __setstate__(self, state: dict[_K, _V]) -> None:
        self._items = state


def _read_only(values: Any) -> Any:
    """A read-only view of a numpy array that cannot be made writeable again
    (its flags refuse ``writeable = True``): a view of the array's memory
    through a read-only buffer. The array itself is locked as well."""
    base = values.base
    if type(base) is memoryview and base.readonly and not values.flags.writeable:
        # Already such a view (the engine's arrays are): numpy refuses to make
        # it writeable, as it would refuse the view made below.
        return values
    if not values.flags.c_contiguous:
        values = np.ascontiguousarray(values)
    values.flags.writeable = False
    if values.size == 0:
        return values.view()  # a view of a locked array that owns its memory
    view = np.frombuffer(memoryview(values).toreadonly(), dtype=values.dtype)
    return view.reshape(values.shape)


def _locked(value: Any) -> Any:
    """A numpy array, or the arrays of a tuple, as read-only views; other
    values as they are."""
    if isinstance(value, np.ndarray):
        return _read_only(value)
    if isinstance(value, tuple):
        return tuple(_locked(item) for item in value)
    return value


def _same_bits(a: Any, b: Any) -> bool:
    """Equal arrays of floats, bit for bit (NaN equal to the same NaN)."""
    return bool(a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64)))


def _same_index(a: Any, b: Any) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return bool(type(a) is type(b) and a.dtype == b.dtype and a.name == b.name and a.equals(b))
