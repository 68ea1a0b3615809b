"""DetectionResult documents of every format version: those written by
earlier releases read back to the result a detection gives today, and the
current version's round trip loses nothing."""

import json
from pathlib import Path

import numpy as np
import pytest

import quarn

DATA = Path(__file__).parent / "data"

# Version 1, as to_json wrote it: 200 values with one shift of the level
# (at 110), and the same series with six values missing.
VERSION_1 = [
    "result_v1_native.json",
    "result_v1_confirm.json",
    "result_v1_native_missing.json",
    "result_v1_confirm_missing.json",
]


def _recomputed(document):
    """The result of detecting the document's series with its options."""
    values = np.array([np.nan if v is None else v for v in document["values"]], dtype=float)
    options = {name: value for name, value in document["options"].items() if value is not None}
    return quarn.detect(values, **options)


@pytest.mark.parametrize("name", VERSION_1)
def test_version_1_documents_read_back_to_todays_result(name):
    text = (DATA / name).read_text()
    document = json.loads(text)
    read = quarn.DetectionResult.from_json(text)
    assert read == _recomputed(document)
    assert read.n_missing == document["n_missing"]
    assert read.method == document["options"]["method"]
    if read.method == "confirm":
        assert read.positions == (110,) and read.change_points[0].kind == "level"


@pytest.mark.parametrize("name", VERSION_1)
def test_round_trip_of_the_current_version_is_lossless(name):
    result = _recomputed(json.loads((DATA / name).read_text()))
    text = result.to_json()
    again = quarn.DetectionResult.from_json(text)
    assert again == result
    assert again.to_json() == text
    assert again.to_dict() == result.to_dict()
    assert [p.__dict__ for p in again.change_points] == [p.__dict__ for p in result.change_points]
