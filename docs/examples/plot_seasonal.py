"""
A seasonal series with one level shift
======================================

Three years of hourly-like values with a cycle of 24 values, twice as large
as the noise, and a rise of the level by 2 at position 1500.
:func:`quarn.detect` finds the cycle's period in the periodogram, removes
the cycle before it looks for changes, and reports the rise alone, with
kind ``"level"``; the period is on the result as ``seasonal_period``.
"""

import math
import random

import matplotlib.pyplot as plt

import quarn
from quarn.display import plot_result

rng = random.Random(4)
series = [
    2.0 * math.sin(2 * math.pi * i / 24) + rng.gauss(0.0, 1.0) + (2.0 if i >= 1500 else 0.0)
    for i in range(2500)
]

result = quarn.detect(series)
print(f"seasonal period: {result.seasonal_period:.2f}")
for point in result.change_points:
    print(f"{point.position:4d}  {point.kind:6s}  p-value {point.p_value:.2g}")

# %%
# Without the rise, the cycle alone reports no change at all: the method
# does not mistake the swings of the cycle for shifts of level.
calm = [value - (2.0 if i >= 1500 else 0.0) for i, value in enumerate(series)]
print("without the rise:", quarn.detect(calm).positions)

# %%
# The series and the change point found.
fig, ax = plt.subplots(figsize=(9, 3.5), layout="constrained")
plot_result(result, ax, title=f"Seasonal period {result.seasonal_period:.1f}, one level shift")
plt.show()
