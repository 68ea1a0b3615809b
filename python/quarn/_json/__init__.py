"""``DetectionResult.to_json`` and ``DetectionResult.from_json``: the JSON document of a
result, written by :mod:`quarn._json.write` and read back by the readers of
each version (:mod:`quarn._json.version1`, :mod:`quarn._json.version2`).

The document (version 2) holds the result's own table and arrays::

    {"format": "quarn.DetectionResult", "version": 2,
     "n_samples": 240, "n_missing": 0, "options": {...}, "values": [...],
     "index": null | {"kind": ..., "name": ..., ...},
     "seasonal_period": null | 12.0,
     "change_points": {"position": [...], "kind": [...], "p_value": [...],
                       "votes": [...], "score": [...], "probability": [...],
                       "interval_low": [...], "interval_high": [...],
                       "direction": [...], "effect": [...], "cdf": [...]},
     "windows": [{"window_size": 10, "statistics": [...],
                  "thresholds": [...] | null,
                  "threshold_runs": null | {"starts": [...], "values": [...]},
                  "change_points": [...], "localized_regions": [[start, end], ...],
                  "starts": [...]}, ...],
     "segments": {"starts": [...], "stops": [...], "counts": [...],
                  "levels": [...], "spreads": [...], "slopes": [...]}}

``change_points`` has one list per column of the change-point table (the
columns of ``quarn._frames.POINT_COLUMNS`` but the label, which the index
gives, and the cumulative probability ``cdf``), null where a figure does not
apply (the native method's kind, p-value, interval, direction and effect).
A window holds its thresholds per position or, where the result keeps them
so, by runs (positions ``starts[i]`` up to the next start have ``values[i]``);
``starts`` only where missing values were left out (otherwise position v
starts at ``v * window_size``). Missing values are null in ``values``.

Version 1 held the native dictionary (``result``, in the JSON form of
:mod:`quarn.serialize`) with a side block ``changes`` for the confirm method
(kinds, p-values, the seasonal period and, later, intervals, directions and
effects); documents without a ``method`` option were written before the
confirm method existed and are native results. Every version is read;
documents of version 1 written before intervals, segments or missing values
existed are read all the same (no intervals; segments computed from the
values; nothing missing).

Floats are written by ``repr`` (which reads back to the same bits); NaN and
infinite figures as ``quarn.serialize`` writes them. A pandas index is
written by kind, each lossless:

- ``range``: ``start``, ``stop``, ``step``;
- ``datetime`` / ``timedelta``: ``unit`` and ``values``, integer ticks of
  that unit since the epoch (``tz``: the time zone, or null);
- ``period``: ``freq`` and ``values``, the periods' ordinals;
- ``values``: ``dtype`` (integers, floats, booleans, strings) and
  ``values``.
"""

from __future__ import annotations

from typing import Any

from quarn._json.fields import DocumentError, read_document
from quarn._json.version1 import read_version_1
from quarn._json.version2 import read_version_2
from quarn._json.write import FORMAT

#: The versions from_json reads.
VERSIONS = (1, 2)


def result_from_json(text: str | bytes) -> tuple[dict[str, Any], Any, Any, dict[str, Any]]:
    """Reads a document written by :func:`result_to_json`: the arguments of
    ``quarn.result.build_result`` (compact detection, values, index, options).

    Only a document that describes a result :func:`quarn.detect` could have
    produced is read (see the reading below); a document without a
    ``method`` option, written before the confirm method existed, is a
    native result.

    Raises:
        ValueError: The text is not such a document, or is damaged; the
            message names the part at fault.
    """

    document = read_document(text, FORMAT, VERSIONS)
    try:
        if document["version"] == 1:
            return read_version_1(document)
        return read_version_2(document)
    except DocumentError as exc:
        raise ValueError(f"damaged {FORMAT} document: {exc}") from None
