"""Bringing a series to a comfortable range before the detector sees it.

The detector's arithmetic is exact only where the numbers are moderate: a
level far above the noise makes running sums cancel, values near 1e300
overflow when squared, and values near 1e-13 fall under the floor of the
window standard deviation. So :func:`quarn.detect` hands the detector

    y = x * 2**power - centre * 2**power

where ``centre`` is a robust centre of the series (a median) and ``power``
puts a robust spread of ``y`` between 1 and 2. Multiplying by a power of two
is exact, so the only rounding is the one subtraction, and the change points
found depend on the shape of the series, not on its offset or unit. The
detector's statistics and thresholds are differences of values, so they are
brought back to the data's units by multiplying with ``2**-power`` alone
(again exact).

The centre and spread come from at most about :data:`SAMPLE_SIZE` values
taken at an even stride, so that the cost stays linear and the scratch
memory small.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

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

    A series holding NaN or infinite values is left as it is (the
    identity): the detector then refuses it and names its first such value.

    Args:
        values: At least one float, as an ``array('d')`` or a float64 numpy
            array.

    Returns:
        The scaling to apply.
    """
    values = np.asarray(values, dtype=np.float64)
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
