"""A one-line progress bar on standard error, shown only on a terminal."""

from __future__ import annotations

import shutil
import sys
from typing import TextIO


class ProgressBar:
    """Draws ``[#####.....] 3/8 name`` over and over on one terminal line.

    It draws nothing when the stream is not a terminal or when there is only
    one item, so redirected or piped output stays clean.
    """

    def __init__(self, total: int, stream: TextIO | None = None) -> None:
        self.total = total
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = total > 1 and isatty is not None and isatty()
        self._drawn = 0

    def show(self, done: int, label: str = "") -> None:
        """Draws the bar with ``done`` of ``total`` items finished."""
        if not self.enabled:
            return
        width = max(shutil.get_terminal_size().columns - 1, 20)
        filled = round(20 * done / self.total)
        line = f"[{'#' * filled}{'.' * (20 - filled)}] {done}/{self.total} {label}"
        line = line[:width]
        self.stream.write("\r" + line.ljust(self._drawn))
        self.stream.flush()
        self._drawn = len(line)

    def close(self) -> None:
        """Erases the bar."""
        if self.enabled and self._drawn:
            self.stream.write("\r" + " " * self._drawn + "\r")
            self.stream.flush()
            self._drawn = 0
