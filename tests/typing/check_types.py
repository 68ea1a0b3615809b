"""Typing checks of the public interface, run by mypy --strict and pyright.

Nothing here is executed by pytest: the file passes when both checkers accept
every line. Lines marked ``# type: ignore[...]`` must be rejected: both
checkers report an ignore comment that suppresses nothing.
"""

from __future__ import annotations

import array
from typing import Any, assert_type

import numpy as np
from matplotlib.axes import Axes

import quarn
from quarn import _quarn_native
from quarn._quarn_native import ConsensusDict, DetectorResultDict, WindowResultDict

values = [0.0] * 40 + [3.0] * 40
as_array = np.asarray(values)
as_float32 = as_array.astype(np.float32)

# Every kind of series the module reads: lists and tuples of ints and floats,
# numpy arrays, array.array and memoryview (buffers), numpy scalars.
assert_type(quarn.quarn_detector(values), DetectorResultDict)
assert_type(quarn.quarn_detector(as_array), DetectorResultDict)
assert_type(_quarn_native.quarn_detector(as_float32), DetectorResultDict)
assert_type(quarn.quarn_detector((1, 2, 3, 4, 5, 6)), DetectorResultDict)
assert_type(quarn.quarn_detector(array.array("d", values)), DetectorResultDict)
assert_type(quarn.quarn_detector(memoryview(array.array("d", values))), DetectorResultDict)
assert_type(quarn.refine_cusum([np.float64(1.0), 2, 3.5]), int)

# Every option, by keyword, with numpy integers and booleans where allowed.
detected = quarn.quarn_detector(
    as_array,
    window_sizes=np.arange(10, 21),
    n_perm=np.int64(100),
    alpha_q=0.05,
    seed=7,
    tol=2,
    workers=None,
    backend="process",
    change_type="distribution",
    b=None,
    taper_ratio=0.25,
    center=np.bool_(False),
    batch_size=32,
)
consensus: ConsensusDict = detected["out"]
leaders: list[int] = sorted(consensus["leaders_probs"])
cdf: list[tuple[int, float]] = consensus["cdf"]
window: WindowResultDict = detected["window_results"][10]
regions: list[tuple[int, int]] = window["localized_regions"]

assert_type(quarn.quarn_single_window(values, 10, change_type="var"), WindowResultDict)
assert_type(quarn.refine_wasserstein(as_array), tuple[int, list[float]])
assert_type(quarn.swal_statistic(values, "mean"), int)
assert_type(quarn.wasserstein_statistic(as_array, [1.0, 2.0]), float)
assert_type(_quarn_native.ipm_statistic(as_array, as_array), float)

# The high-level result.
result = quarn.detect(as_array, alpha=0.05)
assert_type(result.plot(), Axes)
assert_type(result.to_dict(), DetectorResultDict)
assert_type(result.change_points[0].probability, float)
assert_type(result.change_points[0].interval, tuple[int, int] | None)
assert_type(result.change_points[0].effect, float | None)
assert_type(result.segments[0], quarn.Segment)
assert_type(result.segments[0].slope, float | None)
quarn.detect(as_array, confidence=0.95)
assert_type(quarn.__version__, str)

# Rejected: a misspelt change type or backend, a set, a string, an integer
# passed for a flag, a float where a count belongs.
quarn.quarn_detector(values, change_type="median")  # type: ignore[arg-type]
quarn.quarn_detector(values, backend="processes")  # type: ignore[arg-type]
quarn.refine_cusum({1.0, 2.0, 3.0})  # type: ignore[arg-type]
quarn.quarn_single_window(values, 10, center=1)  # type: ignore[arg-type]
quarn.quarn_single_window(values, 10.0)  # type: ignore[arg-type]
_quarn_native.swal_statistic(values, change_type="Mean")  # type: ignore[arg-type]

# Many series, the result's conventions and its per-window findings. (The
# tables are pandas DataFrames; pandas ships no type stubs of its own.)
frame = quarn.detect_many({"a": values, "b": as_array}, n_perm=50)
quarn.detect_many([values], progress=lambda done, total: None)
table = result.to_frame()
segments_table = result.segments_frame()
assert_type(quarn.DetectionResult.from_json(result.to_json(indent=2)), quarn.DetectionResult)
found_window: quarn.WindowResult = result.window_results[10]
assert_type(found_window.statistics, np.ndarray[tuple[Any, ...], np.dtype[np.float64]])
assert_type(found_window.thresholds, np.ndarray[tuple[Any, ...], np.dtype[np.float64]])
assert_type(found_window.change_points, np.ndarray[tuple[Any, ...], np.dtype[np.int64]])
assert_type(result.values, np.ndarray[tuple[Any, ...], np.dtype[np.float64]])
quarn.detect_many(values, by=1, progress=3)  # type: ignore[arg-type]

# The online monitor: one value or a batch in, a tuple of alarms out.
monitor = quarn.Monitor(false_alarm_run=1e6, warmup=100, max_period=0)
assert_type(monitor.update(1.0), tuple[quarn.Alarm, ...])
assert_type(monitor.update(as_array), tuple[quarn.Alarm, ...])
first_alarm: quarn.Alarm | None = monitor.alarms[0] if monitor.alarms else None
assert_type(monitor.n_seen, int)
if first_alarm is not None:
    assert_type(first_alarm.position, int)
    assert_type(first_alarm.delay, int)
    assert_type(first_alarm.evidence, float)
quarn.Monitor(warmup="long")  # type: ignore[arg-type]

# The sktime detector: the options of quarn.detect as typed parameters, and
# the whole result of a series.
from quarn.sktime import QuarnDetector  # noqa: E402

detector = QuarnDetector(method="native", window_sizes=[10, 12], alpha=0.5, seed=3)
assert_type(detector.predict_result(as_array), quarn.DetectionResult)
QuarnDetector(alpha="0.05")  # type: ignore[arg-type]
