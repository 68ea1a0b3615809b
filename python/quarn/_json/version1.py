"""Reading a document of version 1: the native dictionary (``result``, in
the JSON form of :mod:`quarn.serialize`) with a side block ``changes`` for
the confirm method."""

from __future__ import annotations

from typing import Any

import numpy as np

from quarn._json import parts
from quarn._json.fields import (
    DocumentError,
    field,
    freeze,
    integer,
    key_integer,
    mapping,
    number,
    numbers,
    sequence,
)


def read_version_1(
    document: dict[str, Any],
) -> tuple[dict[str, Any], Any, Any, dict[str, Any]]:
    n_samples, n_missing, values, options, index = parts.read_common(document, 1)
    detection = _compact_from_native(
        field(document, "result", "the document"), n_samples, options, n_missing
    )
    changes = document.get("changes")
    table = detection["table"]
    if options["method"] == "confirm":
        kinds, p_values = parts.read_changes(changes, len(table["position"]))
        table["kind"] = kinds
        table["p_value"] = p_values
        detection["seasonal_period"] = parts.read_period(changes, n_samples - n_missing)
        table.update(parts.read_reports(changes, table["position"], n_samples))
        freeze(table)
    elif changes is not None:
        raise DocumentError("changes belong to results of the confirm method only")
    detection["n_missing"] = n_missing
    segments = document.get("segments")
    detection["segments"] = parts.read_segments(segments, values, table["position"])
    return detection, values, index, options


def _compact_from_native(
    native: Any, n_samples: int, options: dict[str, Any], n_missing: int = 0
) -> dict[str, Any]:
    """The engine's compact form of a native result dictionary (in the JSON
    form of quarn.serialize), every part checked against the series length,
    the number of missing values and the options."""
    from quarn._native_form import compact_thresholds, native_table

    last = n_samples - 1
    windows_data = mapping(field(native, "window_results", "result"), "result window_results")
    points_data = mapping(field(native, "cp_dict", "result"), "result cp_dict")
    out = mapping(field(native, "out", "result"), "result out")
    sizes = [key_integer(key, "window_results", 1, 2**63 - 1) for key in windows_data]
    present = n_samples - n_missing
    expected = parts.expected_window_sizes(present, options, sizes)
    if sizes != expected:
        raise DocumentError(
            f"the window sizes {sizes} are not those of the options ({expected})"
        )
    if sorted(key_integer(key, "cp_dict", 1, 2**63 - 1) for key in points_data) != sizes:
        raise DocumentError("cp_dict and window_results name different window sizes")
    windows = []
    for key, size in zip(windows_data, sizes):
        where = f"window {size}"
        found = mapping(windows_data[key], where)
        positions = max(present // size - 1, 0)
        statistics = parts.read_statistics(field(found, "statistics", where), where, positions)
        all_thresholds = numbers(
            field(found, "tapered_block_bootstrap_threshold", where),
            f"{where} thresholds", positions, nan=True, infinite=True,
        )
        starts = sequence(field(found, "starts", where), f"{where} starts", positions)
        if n_missing == 0:
            if any(type(s) is not int or s != v * size for v, s in enumerate(starts)):
                raise DocumentError(f"{where} starts must be 0, {size}, {2 * size}, ...")
        else:
            starts = parts.read_present_starts(starts, where, size, last)
        change_points = parts.read_change_points(found, where, last)
        listed = sequence(points_data[str(size)], f"cp_dict {size}")
        if listed != change_points.tolist():
            raise DocumentError(f"cp_dict {size} differs from the window's change points")
        regions = parts.read_regions(found, where, n_samples)
        thresholds, runs = compact_thresholds(all_thresholds)
        windows.append(
            {
                "window_size": size,
                "statistics": statistics,
                "thresholds": thresholds,
                "threshold_runs": runs,
                "change_points": change_points,
                "localized_regions": regions,
            }
        )
        if n_missing:
            windows[-1]["starts"] = np.array(starts, dtype=np.int64)
    for window in windows:
        freeze(window)

    votes_data = mapping(field(out, "leaders_segment_votes", "out"), "out leaders_segment_votes")
    scores_data = mapping(field(out, "leaders_scores", "out"), "out leaders_scores")
    probabilities_data = mapping(field(out, "leaders_probs", "out"), "out leaders_probs")
    leaders = sorted(key_integer(key, "leaders", 1, last) for key in votes_data)
    for name, data in (("leaders_scores", scores_data), ("leaders_probs", probabilities_data)):
        if sorted(key_integer(key, name, 1, last) for key in data) != leaders:
            raise DocumentError(f"out {name} and leaders_segment_votes name different leaders")
    votes, scores, probabilities = [], [], []
    for p in leaders:
        votes.append(integer(votes_data[str(p)], f"votes of {p}", 1, 2**63 - 1))
        score = number(scores_data[str(p)], f"score of {p}")
        probability = number(probabilities_data[str(p)], f"probability of {p}")
        if score < 0.0 or not 0.0 <= probability <= 1.0:
            raise DocumentError(f"the score or probability of {p} is out of range")
        scores.append(score)
        probabilities.append(probability)
    cdf = []
    pairs = sequence(field(out, "cdf", "out"), "out cdf", len(leaders))
    for i, (p, pair) in enumerate(zip(leaders, pairs)):
        position, total = sequence(pair, f"out cdf[{i}]", 2)
        if integer(position, f"out cdf[{i}] position") != p:
            raise DocumentError(f"out cdf[{i}] is not at leader {p}")
        cdf.append(number(total, f"out cdf[{i}]"))
    table = native_table(leaders, votes, scores, probabilities, cdf)
    freeze(table)
    return {"n": n_samples, "windows": tuple(windows), "table": table}
