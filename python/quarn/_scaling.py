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
taken at an even stride, so that the cost stays linear. Lists, ``array('d')``
and numpy arrays give the same bits.
"""

from __future__ import annotations

import math
import sys
from array import array
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

#: The centre and spread are estimated from at most about this many values.
SAMPLE_SIZE = 1 << 17

# After scaling, no value lies further than 2**_MAX_DEVIATION_EXPONENT from
# the centre (so sums of squares of up to 2**200 values stay finite) and no
# value before centring exceeds 2**_MAX_MAGNITUDE_EXPONENT.
_MAX_DEVIATION_EXPONENT = 400
_MAX_MAGNITUDE_EXPONENT = 1000

# Both 2**power and 2**-power must be normal floats.
_MAX_POWER = 1022

# Result keys holding values in the series' units.
_SCALED_KEYS = ("statistics", "tapered_block_bootstrap_threshold")


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
        """Maps a series of finite floats.

        Args:
            values: An ``array('d')`` or a float64 numpy array.

        Returns:
            A new array of the same kind, or ``values`` itself when the map is
            the identity.
        """
        if self.is_identity:
            return values
        factor = 2.0**self.power
        shift = self.centre * factor
        np = sys.modules.get("numpy")
        if np is not None:
            data = values if isinstance(values, np.ndarray) else np.frombuffer(values, np.float64)
            out = data * factor
            out -= shift
            return out if isinstance(values, np.ndarray) else array("d", out.tobytes())
        return array("d", [value * factor - shift for value in values])

    def to_data_units(self, value: float) -> float:
        """Turns a difference of mapped values back into the series' units."""
        return value * 2.0 ** -self.power if self.power else value

    def native_to_data_units(self, native: dict[str, Any]) -> dict[str, Any]:
        """Brings the statistics and thresholds of a detector result to the
        series' units, in place.

        Args:
            native: The dictionary ``quarn_detector`` returned for the mapped
                series.

        Returns:
            The same dictionary.
        """
        if self.power:
            unit = 2.0 ** -self.power
            for found in native["window_results"].values():
                for key in _SCALED_KEYS:
                    found[key] = [value * unit for value in found[key]]
        return native


IDENTITY = Scaling()


def choose_scaling(values: Sequence[float]) -> Scaling:
    """Chooses the centre and the power of two for a series.

    The centre is the lower median of the sampled values. The spread is
    their median absolute deviation from it; when more than half of them sit
    on the centre, the median of the other deviations; when all do (a
    constant series), no scaling is needed. The power is then capped so that
    every value stays far from overflow.

    Args:
        values: At least one finite float, as an ``array('d')`` or a float64
            numpy array.

    Returns:
        The scaling to apply.
    """
    np = sys.modules.get("numpy")
    if np is not None and not isinstance(values, np.ndarray):
        values = np.frombuffer(values, np.float64)
    stride = -(-len(values) // SAMPLE_SIZE)
    sample = values[::stride] if stride > 1 else values
    if np is not None:
        lowest, highest = float(np.min(values)), float(np.max(values))
    else:
        lowest, highest = min(values), max(values)
    # + 0.0 turns a -0.0 into 0.0, so the centre does not depend on which of
    # two equal zeros a sort put first.
    centre = _lower_median(sample, np) + 0.0
    # Halves keep x - centre from overflowing for values near the largest
    # floats; halving is exact except deep in the subnormal range.
    half_centre = centre * 0.5
    if np is not None:
        deviations = np.abs(sample * 0.5 - half_centre)
        spread = _lower_median(deviations, np)
        if spread == 0.0:
            others = deviations[deviations > 0.0]
            spread = _lower_median(others, np) if others.size else 0.0
    else:
        deviations = [abs(value * 0.5 - half_centre) for value in sample]
        spread = _lower_median(deviations, None)
        if spread == 0.0:
            others = [d for d in deviations if d > 0.0]
            spread = _lower_median(others, None) if others else 0.0
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


def _lower_median(values: Any, np: Any) -> float:
    """The value of rank (n - 1) // 2 of a non-empty sample."""
    rank = (len(values) - 1) // 2
    if np is not None:
        return float(np.partition(values, rank)[rank])
    return float(sorted(values)[rank])
