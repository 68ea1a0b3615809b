"""The core's detection method, run through its command-line runner.

The runner (quarn_method_tool, built with the core's tests) reads series
stored as raw float64 files and prints every change point with its kind and
p-value, and the time the method took on each series.
"""

from __future__ import annotations

import os
import subprocess
import tempfile
from collections.abc import Sequence

import numpy as np

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
CANDIDATES = (
    os.path.join(ROOT, "build", "core", "quarn-core", "quarn_method_tool"),
    os.path.join(ROOT, "build", "test", "core", "quarn-core", "quarn_method_tool"),
)


class CoreMethod:
    """Calls the runner on batches of series."""

    def __init__(self, tool: str):
        self.tool = tool

    @classmethod
    def find(cls, tool: str | None = None) -> CoreMethod | None:
        for path in [tool] if tool else CANDIDATES:
            if path and os.access(path, os.X_OK):
                return cls(path)
        return None

    def run_detailed(
        self, series: Sequence[np.ndarray], alpha: float = 0.05, seed: int = 123, extra=()
    ) -> list[dict]:
        """Runs the method on every series; one dict per series with the
        change points, their kinds and p-values, and the seconds spent."""
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for index, values in enumerate(series):
                path = os.path.join(folder, f"{index}.bin")
                np.asarray(values, dtype="<f8").tofile(path)
                paths.append(path)
            command = [self.tool, "--alpha", repr(alpha), "--seed", str(seed), *extra, *paths]
            output = subprocess.run(command, capture_output=True, text=True, check=False).stdout
        results: dict[str, dict] = {}
        current = None
        for line in output.splitlines():
            fields = line.split()
            if line.startswith("#"):
                current = {"points": [], "kinds": [], "p_values": [], "seconds": 0.0}
                results[fields[1]] = current
                if "seconds" in fields:
                    current["seconds"] = float(fields[fields.index("seconds") + 1])
            elif current is not None and len(fields) == 3:
                current["points"].append(int(fields[0]))
                current["kinds"].append(fields[1])
                current["p_values"].append(float(fields[2]))
        missing = {"points": None, "kinds": [], "p_values": [], "seconds": 0.0}
        return [results.get(path, missing) for path in paths]

    def run(self, series: Sequence[np.ndarray], alpha: float = 0.05) -> tuple[list, float]:
        """Change points of every series (None where the runner failed) and
        the total seconds the method took."""
        detailed = self.run_detailed(series, alpha)
        return [d["points"] for d in detailed], sum(d["seconds"] for d in detailed)
