"""The native functions under their package names, with documentation.

The extension's functions carry their signatures but no docstrings, and a
built-in function's docstring cannot be set. Each function here has the
same parameters and defaults and forwards its arguments unchanged, in
order, so results and conversion and value errors are the extension's own;
only a call with missing or unknown arguments is refused by Python before
it reaches the extension. Forwarding costs well under a microsecond per
call (``bench/bench_reexports.py``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, SupportsIndex

from quarn import _quarn_native

if TYPE_CHECKING:
    from quarn._quarn_native import (
        Backend,
        ChangeType,
        DetectorResultDict,
        Flag,
        IndexSequence,
        Real,
        SeriesLike,
        WindowResultDict,
    )

__all__ = [
    "quarn_detector",
    "quarn_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]


def quarn_detector(
    series: SeriesLike,
    window_sizes: IndexSequence | None = None,
    n_perm: SupportsIndex = 300,
    alpha_q: Real = 1.0,
    seed: SupportsIndex = 123,
    tol: SupportsIndex = 2,
    workers: SupportsIndex | None = None,
    backend: Backend = "thread",
    change_type: ChangeType = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: Real = 0.5,
    center: Flag = True,
    batch_size: SupportsIndex = 32,
) -> DetectorResultDict:
    """Runs the multi-window detector and merges its window sizes by vote.

    Every window size runs the single-window detector (see
    ``quarn_single_window``) on a pool of worker threads. Change points that
    different window sizes report within ``tol`` samples of each other form a
    segment; the member with the most votes leads it. Each leader gets the
    segment's votes, a score (votes over the number of distinct window sizes,
    at most 1) and a probability (its score over the sum of all scores).

    The result depends only on the arguments: the same ``seed`` gives the same
    bits for any number of ``workers``.

    Args:
        series: The values in time order; at least 3, all finite.
        window_sizes: Window sizes to run, each at least 1; None runs 10 to 20.
            Used as given (not sorted or deduplicated).
        n_perm: Bootstrap replicates per threshold; 0 makes every threshold
            NaN, so nothing is detected.
        alpha_q: Overall false-alarm level, shared evenly by the positions of
            each window size: a fraction when at most 1 (0.05 is 5 %), else a
            percentage (5.0 is 5 %).
        seed: Seed of the bootstrap, 0 to 2**64 - 1.
        tol: Largest gap, in samples, between neighbouring change points of one
            segment.
        workers: Worker threads; None or 0 uses the shared pool with one
            thread per logical processor.
        backend: "thread" or "process"; both run on the module's threads.
        change_type: How a change point is placed inside a significant region:
            "mean" (CUSUM split), "var" or "distribution" (weighted
            Wasserstein split).
        b: Bootstrap block length; None derives it from the window size (at
            least 8). Clamped to 3 ... twice the window size.
        taper_ratio: Share of each bootstrap block that is tapered, 0 to 1.
        center: Whether windows are centred before the bootstrap (they are
            always scaled).
        batch_size: Accepted for compatibility; has no effect.

    Returns:
        A dict with ``cp_dict`` (window size to its change points),
        ``window_results`` (window size to its ``quarn_single_window``
        result) and ``out`` (the consensus: ``leaders_segment_votes``,
        ``leaders_scores``, ``leaders_probs`` and the cumulative ``cdf``),
        window sizes and leaders in ascending order.

    Raises:
        TypeError: An argument has the wrong type (the message names it).
        OverflowError: An integer argument is negative or 2**64 or more.
        ValueError: The series is too short or not finite, ``window_sizes`` is
            empty or holds 0, ``backend`` or ``change_type`` is unknown, a
            window size is too small for its bootstrap blocks, or
            ``alpha_q`` or ``taper_ratio`` is NaN, infinite or negative.
    """
    return _quarn_native.quarn_detector(
        series, window_sizes, n_perm, alpha_q, seed, tol, workers, backend, change_type, b,
        taper_ratio, center, batch_size,
    )


def quarn_single_window(
    series: SeriesLike,
    window_size: SupportsIndex,
    n_perm: SupportsIndex = 300,
    alpha_q: Real = 1.0,
    seed: SupportsIndex = 123,
    change_type: ChangeType = "mean",
    b: SupportsIndex | None = None,
    taper_ratio: Real = 0.5,
    center: Flag = True,
    batch_size: SupportsIndex = 32,
) -> WindowResultDict:
    """Runs the detector for one window size.

    The series is cut into adjacent windows of ``window_size`` values; each
    pair of neighbouring windows is a position, and its statistic is the
    Wasserstein-1 distance between the two windows' values. A tapered
    moving-block bootstrap of the two standardized windows gives a threshold,
    recomputed after every detection. Positions whose statistic exceeds the
    threshold are significant; neighbouring significant positions form a
    localized region, and one change point is placed inside each region.

    Args:
        series: The values in time order; at least 3, all finite.
        window_size: Values per window, at least 1. A size above half the
            series gives empty lists, not an error.
        n_perm: Bootstrap replicates per threshold.
        alpha_q: False-alarm level for the whole sweep, a fraction when at
            most 1, else a percentage.
        seed: Seed of the bootstrap.
        change_type: "mean", "var" or "distribution" (see ``quarn_detector``).
        b: Bootstrap block length, or None to derive it.
        taper_ratio: Share of each bootstrap block that is tapered.
        center: Whether windows are centred before the bootstrap.
        batch_size: Accepted for compatibility; has no effect.

    Returns:
        A dict with ``change_points``, ``starts``, ``statistics``,
        ``tapered_block_bootstrap_threshold`` and ``localized_regions``.

    Raises:
        TypeError: An argument has the wrong type.
        OverflowError: An integer argument is negative or too large.
        ValueError: The series is too short or not finite, ``window_size`` is
            0, ``change_type`` is unknown, the window is shorter than one
            bootstrap block (window sizes up to 3 without ``b``), or
            ``alpha_q`` or ``taper_ratio`` is NaN, infinite or negative.
    """
    return _quarn_native.quarn_single_window(
        series, window_size, n_perm, alpha_q, seed, change_type, b, taper_ratio, center, batch_size
    )


def refine_cusum(series: SeriesLike) -> int:
    """Locates one change in the mean by the CUSUM statistic.

    Args:
        series: The values in time order; at least 3, all finite.

    Returns:
        The split k, 1 <= k <= len(series) - 1, after which the running sum
        of deviations from the mean is largest in absolute value: the number
        of values before the change, which is also the index of the first
        value after it. Ties go to the smallest k.

    Raises:
        TypeError: ``series`` is not a sequence of numbers.
        ValueError: The series has fewer than 3 values or is not finite.
    """
    return _quarn_native.refine_cusum(series)


def refine_wasserstein(series: SeriesLike) -> tuple[int, list[float]]:
    """Locates one change in the distribution and returns every split's score.

    The score of split k is the Wasserstein-1 distance between the values
    before and after k, weighted by sqrt(k * (n - k) / n).

    Args:
        series: The values in time order; at least 3, all finite.

    Returns:
        The best split k (ties go to the smallest) and the list of the n
        scores, whose entry 0 is NaN.

    Raises:
        TypeError: ``series`` is not a sequence of numbers.
        ValueError: The series has fewer than 3 values or is not finite.
    """
    return _quarn_native.refine_wasserstein(series)


def swal_statistic(series: SeriesLike, change_type: ChangeType = "distribution") -> int:
    """Locates one change with the split search the detector uses in a region.

    Args:
        series: The values in time order; at least 3, all finite.
        change_type: "mean" uses the CUSUM split (as ``refine_cusum``); "var"
            and "distribution" the weighted Wasserstein split (as
            ``refine_wasserstein``).

    Returns:
        The best split k, 1 <= k <= len(series) - 1.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: The series has fewer than 3 values or is not finite, or
            ``change_type`` is unknown.
    """
    return _quarn_native.swal_statistic(series, change_type)


def wasserstein_statistic(left: SeriesLike, right: SeriesLike) -> float:
    """Returns the Wasserstein-1 distance between two samples.

    This is the area between the two empirical distribution functions; it
    does not depend on the order of the values or of the two samples.

    Args:
        left: The first sample; at least one value, all finite.
        right: The second sample; at least one value, all finite.

    Returns:
        The distance, 0 or more (infinite when the values span more than the
        largest float).

    Raises:
        TypeError: A sample is not a sequence of numbers.
        ValueError: A sample is empty or holds NaN or an infinity.
    """
    return _quarn_native.wasserstein_statistic(left, right)


def ipm_statistic(left: SeriesLike, right: SeriesLike) -> float:
    """Returns the integral-probability-metric distance between two samples.

    The metric is the Wasserstein-1 distance: the result equals
    ``wasserstein_statistic(left, right)`` bit for bit.

    Args:
        left: The first sample; at least one value, all finite.
        right: The second sample; at least one value, all finite.

    Returns:
        The distance, 0 or more.

    Raises:
        TypeError: A sample is not a sequence of numbers.
        ValueError: A sample is empty or holds NaN or an infinity.
    """
    return _quarn_native.ipm_statistic(left, right)



# The package is where users find these functions (help(), pickling, the
# documentation), so they name it as their module.
for _name in __all__:
    globals()[_name].__module__ = "quarn"
del _name
