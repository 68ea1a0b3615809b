"""Loading the annotated real series of the change-point benchmark.

The default table of that benchmark uses every univariate series that has no
missing values, leaving out the synthetic quality-control demonstrations.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass

#: Where the data usually live, relative to the repository root.
DEFAULT_FOLDER = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "tcpd")


@dataclass(frozen=True)
class AnnotatedSeries:
    """One real series and its annotators' change points."""

    name: str
    values: list[float]
    annotations: dict[str, list[int]]


def default_folder() -> str | None:
    """The data folder next to the repository, or None when it is absent."""
    for candidate in (DEFAULT_FOLDER, os.path.join("..", "shared", "data", "tcpd")):
        if os.path.isfile(os.path.join(candidate, "annotations.json")):
            return os.path.normpath(candidate)
    return None


def load_folder(folder: str) -> list[AnnotatedSeries]:
    """Reads the univariate, complete, non-demonstration series of a folder.

    Args:
        folder: A folder holding ``annotations.json`` and one JSON file per
            series.

    Returns:
        The series in name order.
    """
    with open(os.path.join(folder, "annotations.json"), encoding="utf-8") as handle:
        annotations = json.load(handle)
    found = []
    for file_name in sorted(os.listdir(folder)):
        name, extension = os.path.splitext(file_name)
        if extension != ".json" or name not in annotations or name.startswith("quality_control"):
            continue
        with open(os.path.join(folder, file_name), encoding="utf-8") as handle:
            data = json.load(handle)
        if data.get("n_dim") != 1:
            continue
        raw = data["series"][0]["raw"]
        if any(value is None for value in raw):
            continue
        found.append(AnnotatedSeries(name, [float(v) for v in raw], annotations[name]))
    return found
