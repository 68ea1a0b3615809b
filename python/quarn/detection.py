"""``detect``: the multi-window detector with checked options and a result object.

:func:`detect` and ``quarn.detect_many`` share two steps: the engine runs on
the checked series (``_runner.run_detector``), and results are built from
the change table it returns (``quarn.result.build_result`` and the frames
of ``_frames``).
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable
from typing import Any

from quarn._runner import QuarnWarning, short_series_message
from quarn._inputs import PreparedSeries, float_values, prepare_series
from quarn._runner import SeriesFailure, run_detector
from quarn.options import BY_NAME, check_options, with_options_doc
from quarn.result import DetectionResult, build_result

def detect(
    series: Any,
    *,
    method: str = "confirm",
    window_sizes: Iterable[int] | int | None = None,
    n_perm: int | None = None,
    alpha: float | None = None,
    confidence: float | None = None,
    seed: int = 123,
    tol: int | None = None,
    workers: int | None = None,
    change_type: str | None = None,
    block_length: int | None = None,
    taper_ratio: float | None = None,
    center: bool | None = None,
    missing: str = "skip",
    progress: Callable[[int, int], object] | None = None,
) -> DetectionResult:
    """Finds change points in a series.

    Both methods start from the multi-window detector: every window size
    cuts the series into adjacent windows and compares neighbouring windows
    by their Wasserstein distance; a seeded, tapered block bootstrap decides
    which distances are significant.

    - ``method="confirm"`` (the default) runs the detector with six window
      sizes scaled to the length of the series and takes every change point
      it reports as a candidate. A candidate is kept only when tests on the
      whole stretches between its neighbours confirm it: rank tests of
      level, spread and shape, and a test of a jump or kink in a trend, with
      p-values that allow for the search over split positions and for
      dependence between neighbouring values. Candidates are dropped one by
      one, the weakest first, until every remaining one has a p-value of at
      most ``alpha``; so on a series without changes, ``alpha`` is the
      chance of reporting any change point at all. Each kept change gets a
      kind (level, slope, spread, shape, pattern) and its p-value.
    - ``method="native"`` merges the change points of all window sizes into
      the detector's own consensus, where each change point gets its votes,
      a score and a probability, as ``quarn_detector`` computes them.

    Either method finds the same change points for ``a * x + c`` as for
    ``x`` (any ``a > 0``) and for values anywhere in the floating-point
    range: the confirm method works on ranks and on values standardised by
    a robust centre and scale; for the native method the series is first
    centred on its median and multiplied by a power of two that brings its
    spread near 1 (exact in floating point; ``center=False`` then means
    windows are scaled but not centred on their own means). Statistics and
    thresholds are reported in the series' own units.

    The result depends only on the series and the options: the same seed
    gives the same result on every run and for any number of workers.

    The detector runs without holding the interpreter lock, so other Python
    threads keep running, and Ctrl-C stops it within a few tens of
    milliseconds (KeyboardInterrupt).

    Args:
        series: The values, in time order: a list or tuple of numbers, an
            ``array.array``, a one-dimensional numpy array, or a pandas
            Series (whose index labels are then reported with the change
            points). At least 3 values that are not missing; missing values
            (NaN, None, pandas NA, masked entries) are left out unless
            ``missing="raise"``, every position still counting the values
            of the whole series; infinite values are refused.
        (options): One entry per option, from quarn.options.OPTIONS.

    Returns:
        The change points, the findings of every window size of the
        detector, and the options used.

    Raises:
        TypeError: The series is not a sequence of numbers, or an option has
            the wrong type.
        ValueError: The series is not one-dimensional, has fewer than 3
            values (that are not missing), holds infinite values, missing
            values with ``missing="raise"`` or integers too large for a
            float, or an option is out of range or does not apply to the
            method.
        MemoryError: The detection does not fit into memory.

    Warns:
        QuarnWarning: A window size needs more values than the series has
            (at least twice its size), so it analysed nothing; the message
            says which sizes, and whether any size analysed the series.
    """
    given = dict(locals())  # exactly the options, as passed
    del given["series"]
    prepared = prepare_series(series, BY_NAME["missing"].check(missing, "missing"))
    options = check_options(given)
    try:
        (result,) = detect_each([prepared], options, progress=options["progress"])
    except SeriesFailure as failure:
        raise failure.error(failure.message) from failure.__cause__
    message = short_series_message(result.n_samples - result.n_missing, result.window_results)
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
    values = [float_values(series) for series in prepared]
    compact = run_detector(prepared, values, options, progress=progress)
    # The results keep the private arrays the detector read.
    return [
        build_result(detection, array, series.index, options, lazy_windows=True)
        for series, array, detection in zip(prepared, values, compact)
    ]


detect.__doc__ = with_options_doc(detect.__doc__ or "")
