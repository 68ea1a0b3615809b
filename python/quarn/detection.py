"""``detect``: the multi-window detector with checked options and a result object."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, cast

from quarn import _quarn_native
from quarn._inputs import (
    NATIVE_NON_FINITE_MESSAGE,
    PreparedSeries,
    describe_position,
    first_non_finite,
    first_non_number,
    prepare_series,
)
from quarn.options import check_options, native_arguments
from quarn.result import DetectionResult

# The native text when a window is too short for its bootstrap blocks.
_NATIVE_BLOCK_MESSAGE = "reference series is shorter than block length"


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
) -> DetectionResult:
    """Finds change points in a series with the multi-window detector.

    Every window size cuts the series into adjacent windows and compares
    neighbouring windows by their Wasserstein distance; a seeded, tapered
    block bootstrap decides which distances are significant. The change
    points of all window sizes are merged into a consensus, where each change
    point gets its votes, a score and a probability.

    The result depends only on the series and the options: the same seed
    gives the same result on every run and for any number of workers.

    Args:
        series: The values, in time order: a list or tuple of numbers, a
            one-dimensional numpy array, or a pandas Series (whose index
            labels are then reported with the change points). At least 3
            values, all finite.
        window_sizes: Window sizes to run, each at least 1 (sizes up to 3 need
            an explicit ``block_length``); a single integer means one size.
            None means every size from 10 to 20.
        n_perm: Bootstrap replicates per threshold. More replicates give
            steadier thresholds and cost proportionally more time.
        alpha: Overall false-alarm level as a fraction between 0 and 1
            (0.05 means 5%), shared out evenly over the positions of each
            window size. Smaller values report fewer, stronger changes.
        seed: Seed of the bootstrap, 0 to 2**64 - 1.
        tol: Change points of different window sizes at most ``tol`` samples
            apart (chained) count as the same change.
        workers: Number of worker threads; None or 0 uses one per processor.
            The result does not depend on it.
        change_type: What kind of change is located inside a detected region:
            "mean" (a shift in level), "var" (in spread) or "distribution".
        block_length: Length of the bootstrap blocks; None chooses it from the
            window size. Values below 3 count as 3, values above twice the
            window size as twice the window size.
        taper_ratio: Share of every bootstrap block that is tapered at its
            ends, 0 (no taper) to 1.
        center: Whether each window is centred on its mean before the
            bootstrap, besides being scaled.

    Returns:
        The consensus change points, the findings of every window size, and
        the options used.

    Raises:
        TypeError: The series is not a sequence of numbers, or an option has
            the wrong type.
        ValueError: The series is not one-dimensional, has fewer than 3
            values or holds NaN or infinite values, or an option is out of
            range.
    """
    prepared = prepare_series(series)
    options = check_options(
        window_sizes=window_sizes,
        n_perm=n_perm,
        alpha=alpha,
        seed=seed,
        tol=tol,
        workers=workers,
        change_type=change_type,
        block_length=block_length,
        taper_ratio=taper_ratio,
        center=center,
    )
    native = run_native(prepared, options)
    return DetectionResult.from_native(native, prepared, options)


def run_native(prepared: PreparedSeries, options: dict[str, Any]) -> dict[str, Any]:
    """Calls ``quarn_detector`` and explains its failures in user terms.

    Args:
        prepared: The series as returned by ``prepare_series``.
        options: Options as returned by ``check_options``.

    Returns:
        The native result dictionary.

    Raises:
        TypeError: A list or tuple holds an item that is not a number.
        ValueError: The native detector rejected the series or the options.
    """
    try:
        native = _quarn_native.quarn_detector(prepared.values, **native_arguments(options))
        return cast(dict[str, Any], native)
    except TypeError as exc:
        found = first_non_number(prepared.values)
        if found is None:
            raise
        position, item = found
        raise TypeError(
            f"series item at position {position} is {item!r}, not a number"
            + ("; remove or fill in missing values first" if item is None else "")
        ) from exc
    except ValueError as exc:
        message = str(exc)
        if message == NATIVE_NON_FINITE_MESSAGE:
            found = first_non_finite(prepared)
            if found is not None:
                position, count = found
                raise ValueError(
                    f"series contains {count} NaN or infinite value"
                    f"{'s' if count > 1 else ''}, the first at "
                    f"{describe_position(prepared, position)}; remove or fill in "
                    "missing values (e.g. drop or interpolate them) first"
                ) from exc
        if message == _NATIVE_BLOCK_MESSAGE:
            if options["block_length"] is None:
                hint = (
                    "window sizes below 4 need an explicit block_length (the automatic "
                    "block length is at least 8, and two windows must hold one block)"
                )
            else:
                hint = "window size 1 is too small: two windows must hold at least 3 values"
            raise ValueError(f"window size too small for the bootstrap: {hint}") from exc
        raise
