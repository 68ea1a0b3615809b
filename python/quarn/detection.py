"""``detect``: the multi-window detector with checked options and a result object.

:func:`detect` and ``quarn.detect_many`` share two steps: the engine runs on
the checked and scaled series (``_runner.run_detector``), and results are
built from its compact output (``quarn.result.build_result`` and the frames
of ``_frames``).
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable
from typing import Any

from quarn._coverage import QuarnWarning, unanalysed_message
from quarn._inputs import PreparedSeries, float_values, prepare_series
from quarn._runner import SeriesFailure, run_detector
from quarn.options import check_options, with_options_doc
from quarn.result import DetectionResult, build_result

def detect(
    series: Any,
    *,
    window_sizes: Iterable[int] | int | None = None,
    n_perm: int = 300,
    alpha: float = 1.0,
    seed: int = 123,
    tol: int = 2,
    workers: int | None = None,
    change_type: str = "mean",
    block_length: int | None = None,
    taper_ratio: float = 0.5,
    center: bool = True,
    progress: Callable[[int, int], object] | None = None,
) -> DetectionResult:
    """Finds change points in a series with the multi-window detector.

    Every window size cuts the series into adjacent windows and compares
    neighbouring windows by their Wasserstein distance; a seeded, tapered
    block bootstrap decides which distances are significant. The change
    points of all window sizes are merged into a consensus, where each change
    point gets its votes, a score and a probability.

    The series is first centred on its median and multiplied by a power of
    two that brings its spread near 1 (exact in floating point), so the same
    change points are found for ``a * x + c`` as for ``x`` (any ``a > 0``)
    and for values anywhere in the floating-point range; statistics and
    thresholds are reported in the series' own units. ``center=False`` then
    means windows are scaled but not centred on their own means.

    The result depends only on the series and the options: the same seed
    gives the same result on every run and for any number of workers.

    The detector runs without holding the interpreter lock, so other Python
    threads keep running, and Ctrl-C stops it within a few tens of
    milliseconds (KeyboardInterrupt).

    Args:
        series: The values, in time order: a list or tuple of numbers, an
            ``array.array``, a one-dimensional numpy array, or a pandas
            Series (whose index labels are then reported with the change
            points). At least 3 values, all finite.
        (options): One entry per option, from quarn.options.OPTIONS.

    Returns:
        The consensus change points, the findings of every window size, and
        the options used.

    Raises:
        TypeError: The series is not a sequence of numbers, or an option has
            the wrong type.
        ValueError: The series is not one-dimensional, has fewer than 3
            values, holds NaN, infinite, missing (masked) values or integers
            too large for a float, or an option is out of range.
        MemoryError: The detection does not fit into memory.

    Warns:
        QuarnWarning: A window size needs more values than the series has
            (at least twice its size), so it analysed nothing; the message
            says which sizes, and whether any size analysed the series.
    """
    given = dict(locals())  # exactly the options, as passed
    del given["series"]
    prepared = prepare_series(series)
    options = check_options(given)
    try:
        (result,) = detect_each([prepared], options, progress=options["progress"])
    except SeriesFailure as failure:
        raise ValueError(failure.message) from failure.__cause__
    message = unanalysed_message(result.n_samples, options["window_sizes"])
    if message is not None:
        warnings.warn(message, QuarnWarning, stacklevel=2)
    return result


def detect_each(
    prepared: list[PreparedSeries],
    options: dict[str, Any],
    *,
    progress: Callable[[int, int], object] | None = None,
) -> list[DetectionResult]:
    """Runs the detector on checked series and builds one result for each.

    Several series run as one batch in parallel; the results are those of
    one :func:`detect` call per series.

    Args:
        prepared: The series, as ``prepare_series`` returned them.
        options: Checked options, as ``check_options`` returned them.
        progress: Called as ``progress(done, total)`` in sweep positions.

    Returns:
        The results, in input order.

    Raises:
        TypeError: A series holds an item that is not a number.
        ValueError: A series has too few values or an integer too large
            for a float.
        SeriesFailure: The detector refused a series (a NaN or infinite
            value) or the options (a window size too small for its blocks);
            it names the series by its place in ``prepared``.
    """
    values = []
    for series in prepared:
        values.append(float_values(series))
    arrays = [array for array, _ in values]
    compact = run_detector(prepared, arrays, options, progress=progress)
    results = []
    for series, (array, owned), detection in zip(prepared, values, compact):
        # The result keeps its own copy of the values, made now that the
        # detector's scaled copy is gone, unless the array is already new.
        kept = array if owned else array.copy()
        results.append(build_result(detection, kept, series.index, options))
    return results


detect.__doc__ = with_options_doc(detect.__doc__ or "")
