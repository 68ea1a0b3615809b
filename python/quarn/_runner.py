"""Running the detector engine on series that have been checked.

:func:`run_detector` is the one place where :func:`quarn.detect`,
:func:`quarn.detect_many` and the command line meet the engine
(``quarn._engine``), for either method:

- ``confirm``: the engine's method standardises every series itself, so the
  values go in as they are; the candidate detector's statistics and
  thresholds come back on the standardised scale and are brought to the
  series' units here.
- ``native``: every series is centred and scaled by a power of two for the
  detector (see the scaling below), the scaled copies are freed as soon as the
  engine returns, and the statistics and thresholds are brought back.

Both run with the interpreter lock released (Ctrl-C and progress answered
meanwhile) and return the same compact form, from which ``quarn.result``
builds results; a failure names the series it is about.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from quarn import _engine
from quarn._inputs import PreparedSeries, SeriesError, infinite_message, non_finite_message
from quarn.options import format_sizes, native_arguments

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
            thresholds brought back to the series' units), or the values
            exactly as given. The confirm method standardises the series
            itself.
        progress: Called as ``progress(done, total)`` with the sweep
            positions done, at most every 0.1 s and once at the end.

    Returns:
        One compact engine result per series, in input order, with every
        window's thresholds as an array or by runs; for the confirm method
        the windows are its candidate detector's and the consensus entries
        hold the kept changes, with their ``kinds`` and ``p_values``.

    Raises:
        SeriesFailure: A series holds a NaN or infinite value, or a window
            size is too small for the bootstrap.
        KeyboardInterrupt: Ctrl-C; the run was stopped and released.
        MemoryError: The work does not fit into memory.
    """
    if options["method"] == "confirm":
        return _run_method(prepared, values, options, progress)
    # Thresholds by runs where smaller; figures writeable, to be brought
    # back to the series' units in place.
    arguments = dict(
        native_arguments(options),
        threshold_runs=True,
        writeable=True,
        skip_missing=_skips_missing(options),
        progress=progress,
    )
    scalings = [choose_scaling(series) if rescale else IDENTITY for series in values]
    mapped = [scaling.apply(series) for scaling, series in zip(scalings, values)]
    try:
        if len(mapped) == 1:
            results = [_engine.detect(mapped[0], **arguments)]
        else:
            results = _engine.detect_many(mapped, **arguments)
    except _engine.DetectorError as error:
        raise _explained(error, prepared, values, options) from error
    finally:
        # The scaled copies are as large as the series: free them before the
        # results grow.
        del mapped
    for series, result in zip(values, results):
        # Segments in the series' own units, between the consensus points.
        result["segments"] = _engine.describe_segments(
            series, result["consensus"]["leaders"].tolist()
        )
    return [scaling.detection_to_data_units(result) for scaling, result in zip(scalings, results)]


def _run_method(
    prepared: Sequence[PreparedSeries],
    values: Sequence[Any],
    options: dict[str, Any],
    progress: Progress | None,
) -> list[dict[str, Any]]:
    arguments = {
        "alpha": options["alpha"],
        "seed": options["seed"],
        "workers": options["workers"],
        "keep_detector": True,
        "confidence": options["confidence"],
        "threshold_runs": True,
        "writeable": True,
        "skip_missing": _skips_missing(options),
        "progress": progress,
    }
    try:
        if len(values) == 1:
            outputs = [_engine.detect_changes(values[0], **arguments)]
        else:
            outputs = _engine.detect_changes_many(list(values), **arguments)
    except _engine.DetectorError as error:
        raise _explained(error, prepared, values, options) from error
    return [_method_detection(output) for output in outputs]


def _skips_missing(options: Mapping[str, Any]) -> bool:
    """Whether the engine leaves out missing values (NaN): the values that
    are there are analysed, and every position is one of the whole series."""
    return options.get("missing", "raise") == "skip"


def _method_detection(output: dict[str, Any]) -> dict[str, Any]:
    """The compact detection of a method result: the candidate detector's
    windows in the series' units, and its kept changes in the place of the
    consensus, with votes, scores and probabilities from their support."""
    detector = output["detector"]
    windows = detector["windows"] if detector is not None else ()
    unit = float(output["unit"])
    for figures in detection_figures({"windows": windows}):
        if unit != 1.0:
            # Statistics of values near the largest floats may exceed them
            # in the series' units: they become infinite, without a warning.
            with np.errstate(over="ignore"):
                figures *= unit
        figures.flags.writeable = False
    sizes = len(output["window_sizes"])
    votes = output["votes"]
    scores = votes / sizes if sizes else np.zeros(len(votes))
    total = float(scores.sum())
    if total > 0.0:
        probabilities = scores / total
    else:  # no support anywhere: every change point weighs the same
        probabilities = np.full(len(votes), 1.0 / len(votes) if len(votes) else 0.0)
    consensus = {
        "leaders": output["positions"],
        "segment_votes": votes,
        "scores": scores,
        "probabilities": probabilities,
        "cdf": np.cumsum(probabilities),
        "kinds": output["kinds"],
        "p_values": output["p_values"],
        "interval_lows": output["interval_lows"],
        "interval_highs": output["interval_highs"],
        "directions": output["directions"],
        "effects": output["effects"],
    }
    for value in consensus.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    return {
        "n": output["n"],
        "windows": windows,
        "consensus": consensus,
        "seasonal_period": output["seasonal_period"],
        "n_missing": output.get("n_missing", 0),
        "segments": output["segments"],
    }


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


# Bringing a series to a comfortable range before the detector sees it.
#
# The detector's arithmetic is exact only where the numbers are moderate: a
# level far above the noise makes running sums cancel, values near 1e300
# overflow when squared, and values near 1e-13 fall under the floor of the
# window standard deviation. So :func:`quarn.detect` hands the detector
#
#     y = x * 2**power - centre * 2**power
#
# where ``centre`` is a robust centre of the series (a median) and ``power``
# puts a robust spread of ``y`` between 1 and 2. Multiplying by a power of two
# is exact, so the only rounding is the one subtraction, and the change points
# found depend on the shape of the series, not on its offset or unit. The
# detector's statistics and thresholds are differences of values, so they are
# brought back to the data's units by multiplying with ``2**-power`` alone
# (again exact).
#
# The centre and spread come from at most about :data:`SAMPLE_SIZE` values
# taken at an even stride, so that the cost stays linear and the scratch
# memory small.

#: The centre and spread are estimated from at most about this many values.
SAMPLE_SIZE = 1 << 17

# After scaling, no value lies further than 2**_MAX_DEVIATION_EXPONENT from
# the centre (so sums of squares of up to 2**200 values stay finite) and no
# value before centring exceeds 2**_MAX_MAGNITUDE_EXPONENT.
_MAX_DEVIATION_EXPONENT = 400
_MAX_MAGNITUDE_EXPONENT = 1000

# Both 2**power and 2**-power must be normal floats.
_MAX_POWER = 1022


@dataclass(frozen=True)
class Scaling:
    """The map ``x -> x * 2**power - centre * 2**power``.

    Attributes:
        centre: The value that becomes 0 (a value of the series).
        power: The power of two that multiplies the values.
    """

    centre: float = 0.0
    power: int = 0

    @property
    def is_identity(self) -> bool:
        """Whether the map leaves every value as it is."""
        return self.power == 0 and self.centre == 0.0

    def apply(self, values: Any) -> Any:
        """Maps a series of floats.

        Args:
            values: A float64 numpy array.

        Returns:
            A new array, or ``values`` itself when the map is the identity.
        """
        if self.is_identity:
            return values
        factor = 2.0**self.power
        out = values * factor
        out -= self.centre * factor
        return out

    def to_data_units(self, value: float) -> float:
        """Turns a difference of mapped values back into the series' units."""
        return value * 2.0 ** -self.power if self.power else value

    def detection_to_data_units(self, detection: dict[str, Any]) -> dict[str, Any]:
        """Brings the statistics and thresholds of an engine result to the
        series' units, in place, and makes them read-only.

        Args:
            detection: The dict ``quarn._engine.detect`` returned for the
                mapped series, with writeable statistics and thresholds.

        Returns:
            The same dict.
        """
        if self.power:
            unit = 2.0 ** -self.power
            # Statistics of values near the largest floats may exceed them in
            # the series' units: they become infinite, without a warning.
            with np.errstate(over="ignore"):
                for figures in detection_figures(detection):
                    figures *= unit
        for figures in detection_figures(detection):
            figures.flags.writeable = False
        return detection


def detection_figures(detection: dict[str, Any]) -> list[Any]:
    """The statistics and thresholds (or threshold values of runs) of every
    window of an engine result."""
    arrays = []
    for window in detection["windows"]:
        arrays.append(window["statistics"])
        if window["thresholds"] is not None:
            arrays.append(window["thresholds"])
        if window.get("threshold_runs") is not None:
            arrays.append(window["threshold_runs"][1])
    return arrays


IDENTITY = Scaling()


def choose_scaling(values: Any) -> Scaling:
    """Chooses the centre and the power of two for a series.

    The centre is the lower median of the sampled values. The spread is
    their median absolute deviation from it; when more than half of them sit
    on the centre, the median of the other deviations; when all do (a
    constant series), no scaling is needed. The power is then capped so that
    every value stays far from overflow.

    NaN values (missing) are left out of the estimate, so a series gets the
    scaling of the values that are there. A series holding infinite values
    is left as it is (the identity): the detector then refuses it and names
    its first such value.

    Args:
        values: At least one float, as an ``array('d')`` or a float64 numpy
            array.

    Returns:
        The scaling to apply.
    """
    values = np.asarray(values, dtype=np.float64)
    lowest, highest = float(np.min(values)), float(np.max(values))
    if math.isnan(lowest) or math.isnan(highest):
        # Missing values: the scaling of the values that are there, as the
        # detector sees them.
        values = values[~np.isnan(values)]
        if values.size == 0:
            return IDENTITY
        lowest, highest = float(np.min(values)), float(np.max(values))
    if not (math.isfinite(lowest) and math.isfinite(highest)):
        return IDENTITY
    stride = -(-len(values) // SAMPLE_SIZE)
    sample = values[::stride] if stride > 1 else values
    # + 0.0 turns a -0.0 into 0.0, so the centre does not depend on which of
    # two equal zeros a sort put first.
    centre = _lower_median(sample) + 0.0
    # Halves keep x - centre from overflowing for values near the largest
    # floats; halving is exact except deep in the subnormal range.
    half_centre = centre * 0.5
    deviations = np.abs(sample * 0.5 - half_centre)
    spread = _lower_median(deviations)
    if spread == 0.0:
        others = deviations[deviations > 0.0]
        spread = _lower_median(others) if others.size else 0.0
    if spread == 0.0:
        # Every value equals the centre: subtracting it gives exact zeros.
        return Scaling(centre, 0)
    # spread (a half) lies in [2**(e-1), 2**e), so twice it times 2**-e lies
    # in [1, 2).
    power = -math.frexp(spread)[1]
    furthest = max(highest * 0.5 - half_centre, half_centre - lowest * 0.5)
    power = min(power, _MAX_DEVIATION_EXPONENT - 1 - math.frexp(furthest)[1])
    largest = max(abs(lowest), abs(highest))
    power = min(power, _MAX_MAGNITUDE_EXPONENT - math.frexp(largest)[1])
    power = max(-_MAX_POWER, min(_MAX_POWER, power))
    return Scaling(centre, power)


def _lower_median(values: Any) -> float:
    """The value of rank (n - 1) // 2 of a non-empty sample (partitioning a
    scratch copy of at most about SAMPLE_SIZE values)."""
    rank = (len(values) - 1) // 2
    return float(np.partition(values, rank)[rank])


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
