"""``detect``: the multi-window detector with checked options and a result object."""

from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import Any, cast

from quarn import _quarn_native
from quarn._coverage import QuarnWarning, unanalysed_message
from quarn._inputs import float_values, prepare_series
from quarn._scaling import IDENTITY, choose_scaling
from quarn.options import check_options, docstring_args, native_arguments
from quarn.result import DetectionResult

# The native text when a window is too short for its bootstrap blocks.
_NATIVE_BLOCK_MESSAGE = "reference series is shorter than block length"

# The line of detect's docstring that the options' entries replace.
_OPTIONS_LINE = "(options): One entry per option, from quarn.options.OPTIONS."


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

    The series is first centred on its median and multiplied by a power of
    two that brings its spread near 1 (exact in floating point), so the same
    change points are found for ``a * x + c`` as for ``x`` (any ``a > 0``)
    and for values anywhere in the floating-point range; statistics and
    thresholds are reported in the series' own units. ``center=False`` then
    means windows are scaled but not centred on their own means.

    The result depends only on the series and the options: the same seed
    gives the same result on every run and for any number of workers.

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

    Warns:
        QuarnWarning: A window size needs more values than the series has
            (at least twice its size), so it analysed nothing; the message
            says which sizes, and whether any size analysed the series.
    """
    given = dict(locals())  # exactly the options, as passed
    del given["series"]
    prepared = prepare_series(series)
    options = check_options(given)
    values = float_values(prepared)
    native = detect_native(values, options)
    message = unanalysed_message(len(values), options["window_sizes"])
    if message is not None:
        warnings.warn(message, QuarnWarning, stacklevel=2)
    return DetectionResult.from_native(native, prepared, options)




def _with_options(doc: str) -> str:
    """Replaces the placeholder line of a docstring by the options' entries,
    at the placeholder's indentation (Python 3.13 strips docstring indents)."""
    lines = doc.splitlines(keepends=True)
    for number, line in enumerate(lines):
        if line.strip() == _OPTIONS_LINE:
            lines[number] = docstring_args(line[: len(line) - len(line.lstrip())]) + "\n"
    return "".join(lines)


detect.__doc__ = _with_options(detect.__doc__ or "")


def detect_native(values: Any, options: dict[str, Any], *, rescale: bool = True) -> dict[str, Any]:
    """Calls ``quarn_detector`` and explains its failures in user terms.

    Args:
        values: The series as finite floats (from ``float_values``).
        options: Options as returned by ``check_options``.
        rescale: Whether the detector sees the series centred and scaled by
            a power of two (with its statistics and thresholds brought back
            to the series' units), or the values exactly as given.

    Returns:
        The native result dictionary.

    Raises:
        ValueError: The native detector rejected the options.
    """
    scaling = choose_scaling(values) if rescale else IDENTITY
    try:
        native = _quarn_native.quarn_detector(scaling.apply(values), **native_arguments(options))
    except ValueError as exc:
        if str(exc) != _NATIVE_BLOCK_MESSAGE:
            raise
        if options["block_length"] is None:
            hint = (
                "window sizes below 4 need an explicit block_length (the automatic "
                "block length is at least 8, and two windows must hold one block)"
            )
        else:
            hint = "window size 1 is too small: two windows must hold at least 3 values"
        raise ValueError(f"window size too small for the bootstrap: {hint}") from exc
    return scaling.native_to_data_units(cast(dict[str, Any], native))
