"""A one-line progress bar on standard error, shown only on a terminal."""

from __future__ import annotations

import shutil
import sys
from typing import TextIO

#: Characters of the bar itself.
BAR_WIDTH = 20


class ProgressBar:
    """Draws ``[#####...............]  25% label`` over and over on one
    terminal line, fed by a detection's progress callback
    (:meth:`update`, called with the positions done and their total).

    It draws nothing when the stream is not a terminal, so redirected or
    piped output stays clean, and nothing for a run that ends before its
    first report (the engine reports at most every 0.1 s).
    """

    def __init__(self, label: str = "", stream: TextIO | None = None) -> None:
        self.label = label
        self.stream: TextIO = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = isatty is not None and isatty()
        self._drawn = 0

    def update(self, done: int, total: int) -> None:
        """Draws the bar with ``done`` of ``total`` units of work finished."""
        if not self.enabled or (done >= total and not self._drawn):
            return
        share = done / total if total else 1.0
        filled = round(BAR_WIDTH * share)
        line = f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {share:4.0%} {self.label}"
        line = line[: max(shutil.get_terminal_size().columns - 1, 20)]
        self.stream.write("\r" + line.ljust(self._drawn))
        self.stream.flush()
        self._drawn = len(line)

    def close(self) -> None:
        """Erases the bar."""
        if self.enabled and self._drawn:
            self.stream.write("\r" + " " * self._drawn + "\r")
            self.stream.flush()
            self._drawn = 0
