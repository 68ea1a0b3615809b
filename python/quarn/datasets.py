"""Real series with human change-point annotations, shipped with quarn.

The data come from the Turing Change Point Dataset (MIT licence); see
``quarn/data/README.md`` for the source and how to cite it.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from importlib import resources

#: Names of the bundled datasets.
AVAILABLE: tuple[str, ...] = ("well_log",)

#: The dataset that ``quarn demo`` analyses.
DEMO_DATASET = "well_log"

#: How far (in samples) a detected change point may lie from a hand-marked
#: one and still count as the same change, as in the usual benchmark scoring.
ANNOTATION_MARGIN = 5


@dataclass(frozen=True)
class Dataset:
    """A bundled series and its annotations.

    Attributes:
        name: Short name, e.g. ``"well_log"``.
        title: Readable title.
        values: The observations, in time order.
        time_labels: Time stamps as written in the source, or None when the
            series has none.
        annotations: For every annotator id, the change points that person
            marked: 0-based indices of the first value after each change.
        source: Where the data come from and under which licence.
    """

    name: str
    title: str
    values: tuple[float, ...]
    time_labels: tuple[str, ...] | None
    annotations: dict[str, tuple[int, ...]]
    source: str

    def annotated_positions(self) -> tuple[int, ...]:
        """Every position marked by at least one annotator, ascending."""
        return tuple(sorted({p for marks in self.annotations.values() for p in marks}))


def load_dataset(name: str = DEMO_DATASET) -> Dataset:
    """Loads a bundled dataset.

    Args:
        name: One of :data:`AVAILABLE`.

    Returns:
        The series with its annotations.

    Raises:
        ValueError: There is no bundled dataset of that name.
    """
    if name not in AVAILABLE:
        raise ValueError(f"no bundled dataset {name!r}; available: {', '.join(AVAILABLE)}")
    data = resources.files("quarn") / "data"
    raw = json.loads((data / f"{name}.json").read_text(encoding="utf-8"))
    marks = json.loads((data / "annotations.json").read_text(encoding="utf-8"))[name]
    (variable,) = raw["series"]
    time = raw["time"]
    return Dataset(
        name=name,
        title=raw["longname"],
        values=tuple(float(v) for v in variable["raw"]),
        time_labels=tuple(time["raw"]) if "raw" in time else None,
        annotations={who: tuple(points) for who, points in marks.items()},
        source="from the Turing Change Point Dataset, The Alan Turing Institute, MIT licence",
    )
