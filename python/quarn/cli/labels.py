"""A compact, append-only sequence of short texts (the time labels of a table).

Ten million labels as Python strings would take over half a gigabyte; kept
as one joined string per block of labels, they take little more than their
characters. Labels cannot hold a line end (they come from single lines), so
the blocks are joined with ``\\n``. Looking a label up splits its block, which
is fine for the few lookups a report makes (change points, axis ticks).
"""

from __future__ import annotations

from bisect import bisect_right
from collections.abc import Iterator, Sequence
from typing import overload

_BLOCK = 1 << 16


class Labels(Sequence[str]):
    """Texts in the order appended."""

    def __init__(self) -> None:
        self._starts: list[int] = []  # index of each block's first label
        self._blocks: list[str] = []
        self._pending: list[str] = []
        self._count = 0
        self._cached: tuple[int, list[str]] = (-1, [])

    def extend(self, texts: list[str]) -> None:
        """Appends texts, none of which holds a line end."""
        self._pending.extend(texts)
        if len(self._pending) >= _BLOCK:
            self._flush()

    def __len__(self) -> int:
        return self._count + len(self._pending)

    @overload
    def __getitem__(self, index: int) -> str: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[str]: ...

    def __getitem__(self, index: int | slice) -> str | Sequence[str]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        size = len(self)
        if index < 0:
            index += size
        if not 0 <= index < size:
            raise IndexError("label index out of range")
        if index >= self._count:
            return self._pending[index - self._count]
        block = bisect_right(self._starts, index) - 1
        if self._cached[0] != block:
            self._cached = (block, self._blocks[block].split("\n"))
        return self._cached[1][index - self._starts[block]]

    def __iter__(self) -> Iterator[str]:
        for block in self._blocks:
            yield from block.split("\n")
        yield from self._pending

    def _flush(self) -> None:
        self._starts.append(self._count)
        self._blocks.append("\n".join(self._pending))
        self._count += len(self._pending)
        self._pending = []
