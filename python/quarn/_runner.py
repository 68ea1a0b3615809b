"""Running the detector engine on series that have been checked.

:func:`run_detector` is the one place where :func:`quarn.detect`,
:func:`quarn.detect_many` and the command line meet the engine
(``quarn._engine.run``), for either method. The engine runs with the
interpreter lock released (Ctrl-C and progress answered meanwhile), brings
every series to a comfortable range and every figure back to the series'
units, and returns per series its change table, windows and segments, from
which ``quarn.result`` builds results; a failure names the series it is
about.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from quarn import _engine
from quarn._inputs import PreparedSeries, SeriesError, infinite_message, non_finite_message
from quarn._checks import format_sizes

#: A progress callback: ``progress(done, total)`` in sweep positions.
Progress = Callable[[int, int], object]


class SeriesFailure(Exception):
    """A detection failed because of one series or of the options.

    Attributes:
        series_index: The series it is about, in input order.
        message: What went wrong, in user terms.
        is_data: Whether the series' values are at fault (a NaN, say), as
            opposed to an option (a window size too small for its blocks).
    """

    def __init__(self, series_index: int, message: str, is_data: bool) -> None:
        super().__init__(message)
        self.series_index = series_index
        self.message = message
        self.is_data = is_data

    @property
    def error(self) -> type[ValueError]:
        """The exception to raise for it: SeriesError where the series is at
        fault, ValueError where an option is."""
        return SeriesError if self.is_data else ValueError


def run_detector(
    prepared: Sequence[PreparedSeries],
    values: Sequence[Any],
    options: dict[str, Any],
    *,
    rescale: bool = True,
    progress: Progress | None = None,
) -> list[dict[str, Any]]:
    """Runs the chosen method (``options["method"]``) on every series.

    One series runs alone (its window sizes in parallel); several run as
    one batch, one task per series, in parallel.

    Args:
        prepared: The series, as ``prepare_series`` returned them (for
            messages that name a value by its index label).
        values: Their values as float64 arrays, as ``float_values``
            returned them.
        options: Checked options, as ``check_options`` returned them.
        rescale: For the native method, whether the detector sees every
            series centred and scaled by a power of two (its statistics and
            thresholds brought back to the series' units, in the engine), or
            the values exactly as given. The confirm method standardises the
            series itself.
        progress: Called as ``progress(done, total)`` with the sweep
            positions done, at most every 0.1 s and once at the end.

    Returns:
        One engine detection per series, in input order (see
        ``quarn._engine.run``): its change ``table``, its ``windows`` (for
        the confirm method its candidate detector's), ``segments``, ``n``,
        ``seasonal_period`` and ``n_missing``.

    Raises:
        SeriesFailure: A series holds a NaN or infinite value, or a window
            size is too small for the bootstrap.
        KeyboardInterrupt: Ctrl-C; the run was stopped and released.
        MemoryError: The work does not fit into memory.
    """
    try:
        return _engine.run(
            # The arrays themselves (float64 already): read in place.
            [np.asarray(series, dtype=np.float64) for series in values],
            **engine_arguments(options),
            skip_missing=_skips_missing(options),
            scale=rescale,
            progress=progress,
        )
    except _engine.DetectorError as error:
        raise _explained(error, prepared, values, options) from error


#: The options the engine takes, each given explicitly (the others say how
#: the package reads the series and reports progress).
ENGINE_OPTIONS = (
    "method",
    "window_sizes",
    "n_perm",
    "alpha",
    "confidence",
    "seed",
    "tol",
    "workers",
    "change_type",
    "block_length",
    "taper_ratio",
    "center",
)


def engine_arguments(options: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword arguments of ``quarn._engine.run`` that say what is
    computed, from checked options (as ``check_options`` returns them)."""
    arguments = {name: options[name] for name in ENGINE_OPTIONS}
    if arguments["window_sizes"] is not None:
        arguments["window_sizes"] = list(arguments["window_sizes"])
    return arguments


def _skips_missing(options: Mapping[str, Any]) -> bool:
    """Whether the engine leaves out missing values (NaN): the values that
    are there are analysed, and every position is one of the whole series."""
    return options.get("missing", "raise") == "skip"


def _explained(
    error: Any,
    prepared: Sequence[PreparedSeries],
    values: Sequence[Any],
    options: dict[str, Any],
) -> SeriesFailure:
    index = error.series_index if error.series_index is not None else 0
    if error.non_finite_index is not None:
        # Where missing values are skipped, only an infinite value is refused.
        describe = infinite_message if _skips_missing(options) else non_finite_message
        message = describe(prepared[index], values[index], error.non_finite_index)
        return SeriesFailure(index, message, is_data=True)
    if error.kind == "window_too_small":
        if options["block_length"] is None:
            hint = (
                "window sizes below 4 need an explicit block_length (the automatic "
                "block length is at least 8, and two windows must hold one block)"
            )
        else:
            hint = "two windows must hold at least 3 values"
        size = error.window_size
        return SeriesFailure(
            index, f"window size {size} is too small for the bootstrap: {hint}", is_data=False
        )
    return SeriesFailure(index, str(error), is_data=False)


# Window sizes that cannot analyse a series, and the warning that says so.
# A window size w compares pairs of adjacent windows, so it needs at least
# 2w values; with fewer it finds nothing, which must not read as "no change".
class QuarnWarning(UserWarning):
    """Something in a detection deserves attention but did not stop it."""


def unanalysed_sizes(n_values: int, window_sizes: Iterable[int]) -> list[int]:
    """The distinct window sizes, ascending, that need more than ``n_values`` values."""
    return sorted({size for size in window_sizes if 2 * size > n_values})


def unanalysed_message(
    n_values: int, window_sizes: Iterable[int], subject: str = "the series"
) -> str | None:
    """Says which window sizes left a series unanalysed, or None when all fit.

    Args:
        n_values: Length of the series.
        window_sizes: The window sizes asked for.
        subject: How to name the series: "the series", "column 'x'".

    Returns:
        E.g. "window size 1000 needs at least 2000 values; column 'x' has 192,
        so it analysed nothing", or None.
    """
    sizes = list(window_sizes)
    short = unanalysed_sizes(n_values, sizes)
    if not short:
        return None
    if len(short) == 1:
        need = f"window size {short[0]} needs at least {2 * short[0]} values"
        what = "so it analysed nothing"
    else:
        low, high = 2 * short[0], 2 * short[-1]
        need = f"window sizes {format_sizes(short)} need at least {low} to {high} values"
        what = "so they analysed nothing"
    if len(short) == len(set(sizes)):
        what += " and no change point can be found"
    return f"{need}; {subject} has {n_values}, {what}"


def short_series_message(
    n_values: int, window_sizes: Iterable[int], subject: str = "the series"
) -> str | None:
    """The warning for a series of ``n_values`` values that some window size
    its detection ran cannot analyse, or None (see :func:`unanalysed_message`).

    ``window_sizes`` are the sizes the detection's output holds (see
    :func:`run_window_sizes`).
    """
    return unanalysed_message(n_values, run_window_sizes(window_sizes), subject)


#: The smallest window size of the confirm method's candidate detector.
_SMALLEST_METHOD_WINDOW = 5


def run_window_sizes(window_sizes: Iterable[int]) -> tuple[int, ...]:
    """The window sizes a detection ran, from those its output holds.

    The native method runs every size asked for; the confirm method chooses
    its own from the length, and none when the series is too short for the
    smallest, which is then the size reported as unable to analyse it.
    """
    return tuple(window_sizes) or (_SMALLEST_METHOD_WINDOW,)
