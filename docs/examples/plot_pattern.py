"""
A change of pattern
===================

A recording that repeats a pattern, like a gait or a machine cycle: 3,000
values of a square wave of period 20 that slows to period 50 at 1,500, with
every cycle a little longer or shorter than the last. The values keep their
level and their spread, only their order changes, so no test of single values
sees the change. :func:`quarn.detect` finds the series' dominant period, cuts
it into blocks of about one period and compares the blocks' features (their
spread and the differences of values a lag apart): the change has the kind
``"pattern"``.
"""

import random

import matplotlib.pyplot as plt

import quarn
from quarn.display import plot_result

rng = random.Random(4)
series, phase, period = [], 0.0, 20.0 * rng.uniform(0.9, 1.1)
for i in range(3000):
    base = 20.0 if i < 1500 else 50.0
    series.append((1.0 if phase < 0.5 else -1.0) + rng.gauss(0.0, 0.3))
    phase += 1.0 / period
    if phase >= 1.0:  # a new cycle, of its own length
        phase -= 1.0
        period = base * rng.uniform(0.9, 1.1)

result = quarn.detect(series)
for point in result.change_points:
    print(f"{point.position:5d}  {point.kind:8s}  p-value {point.p_value:.2g}")

# %%
# The change is placed a little over one cycle of the slower pattern late:
# the slowing shows only once a cycle has run longer than the faster
# pattern's would. The figure shows the change point found, with its kind,
# and a close look at both sides.
fig, (whole, close) = plt.subplots(2, 1, figsize=(9, 5), layout="constrained")
plot_result(result, whole, title="A square wave whose period changes at 1,500")
for point in result.change_points:
    whole.annotate(point.kind, (point.position, min(series)), textcoords="offset points",
                   xytext=(4, 4), fontsize=9, color="tab:red")
close.plot(range(1350, 1650), series[1350:1650], color="0.25", linewidth=0.8)
for point in result.change_points:
    close.axvline(point.position, color="tab:red")
close.set_xlabel("position")
plt.show()
