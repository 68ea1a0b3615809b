"""Reading a text file as batches of lines, bounded in time and memory.

The file is read in chunks of :data:`CHUNK_BYTES`, so memory does not grow
with the file beyond what the caller keeps. Data that is not text fails at
once: a NUL byte (binary files, ``/dev/zero``, UTF-16 text), bytes that are
not UTF-8, or a line longer than :data:`MAX_LINE_BYTES` (a file without line
ends). Line ends are ``\\n``, ``\\r\\n`` or ``\\r``; line numbers count from 1
as editors show them.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from typing import BinaryIO

#: Bytes read at a time.
CHUNK_BYTES = 1 << 20

#: Longest line accepted, in bytes.
MAX_LINE_BYTES = 1 << 22

_UTF8_BOM = b"\xef\xbb\xbf"
_UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")


class DataError(Exception):
    """The input data cannot be used (exit status 1)."""


def open_input(path: str, source: str) -> BinaryIO:
    """Opens a file for reading bytes; ``-`` is standard input.

    Raises:
        DataError: The file is missing, a directory or unreadable.
    """
    if path == "-":
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise DataError(f"{source}: no such file") from None
    except IsADirectoryError:
        raise DataError(f"{source}: is a directory, not a file") from None
    except OSError as exc:
        raise DataError(f"{source}: cannot read it ({exc.strerror or exc})") from None


def line_batches(handle: BinaryIO, source: str) -> Iterator[tuple[int, list[str]]]:
    """Reads text as batches of whole lines.

    Args:
        handle: An open binary file.
        source: The name of the input, for messages.

    Yields:
        ``(number of the first line, lines)``, the lines without their line
        ends; together the batches hold every line of the file in order.

    Raises:
        DataError: The data is not UTF-8 text, has a line longer than
            :data:`MAX_LINE_BYTES`, or cannot be read.
    """
    pending = b""  # bytes after the last line end seen so far
    consumed = 0  # file offset of pending[0]
    next_line = 1
    first = True
    while True:
        try:
            data = handle.read(CHUNK_BYTES)
        except IsADirectoryError:
            raise DataError(f"{source}: is a directory, not a file") from None
        except OSError as exc:
            raise DataError(f"{source}: cannot read it ({exc.strerror or exc})") from None
        final = not data
        if first:
            first = False
            if data.startswith(_UTF16_BOMS):
                raise DataError(f"{source}: UTF-16 text; save it as UTF-8 and try again")
            if data.startswith(_UTF8_BOM):
                data = data[len(_UTF8_BOM) :]
                consumed = len(_UTF8_BOM)
        nul = data.find(b"\x00")
        if nul >= 0:
            raise DataError(
                f"{source}: not a text file (a NUL byte at offset {consumed + len(pending) + nul})"
            )
        buffer = pending + data if pending else data
        if final and not buffer:
            return
        # Cut after the last line end; a final \r may be the first half of a
        # \r\n split across chunks, so it waits for the next chunk.
        end = len(buffer) if final else max(buffer.rfind(b"\n"), buffer.rfind(b"\r", 0, -1)) + 1
        if end == 0:
            if len(buffer) > MAX_LINE_BYTES:
                raise DataError(
                    f"{source}, line {next_line}: longer than {MAX_LINE_BYTES} bytes; "
                    "this is not a table of numbers"
                )
            pending = buffer
            continue
        try:
            text = buffer[:end].decode("utf-8")
        except UnicodeDecodeError as exc:
            raise DataError(
                f"{source}: not UTF-8 text (undecodable byte at offset {consumed + exc.start})"
            ) from None
        pending = buffer[end:]
        consumed += end
        if "\r" in text:
            text = text.replace("\r\n", "\n").replace("\r", "\n")
        lines = text.split("\n")
        if lines[-1] == "":
            lines.pop()  # the text ended in a line end
        if lines:
            yield next_line, lines
            next_line += len(lines)
        if final:
            return


def emit(text: str) -> None:
    """Writes to standard output and flushes, so that a full disk shows here.

    Raises:
        BrokenPipeError: The reader went away.
        DataError: Anything else kept the text from being written.
    """
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        silence_stdout()
        raise DataError(f"cannot write the output ({exc.strerror or exc})") from None


def silence_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's
    final flush of what could not be written raises nothing more."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
