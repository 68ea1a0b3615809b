"""
Kinds of change
===============

A series of 800 values that starts to rise at 250, drops at 500 and becomes
more spread out at 650. :func:`quarn.detect` tells each change point's kind
from the test that confirmed it: ``"level"`` (a jump), ``"slope"`` (a kink
in a trend), ``"spread"`` or ``"shape"``.
"""

import random

import matplotlib.pyplot as plt

import quarn
from quarn.display import plot_result

rng = random.Random(1)
series = []
for i in range(800):
    level = 0.0 if i < 250 else 0.02 * (i - 250) if i < 500 else 2.0
    series.append(rng.gauss(level, 1.0 if i < 650 else 2.5))

result = quarn.detect(series)
for point in result.change_points:
    print(f"{point.position:4d}  {point.kind:6s}  p-value {point.p_value:.2g}  votes {point.votes}")

# %%
# The drop is placed exactly and the change of spread seven values late.
# The start of the trend is placed less exactly (nine values early here):
# where a trend starts gently, no single value marks the change, and the
# best split of a noisy stretch can lie tens of values away.
#
# The same series through the native method: the drop gets the vote of
# every window size, while the rise and the change of spread come out as
# several weaker change points, without kinds.
native = quarn.detect(series, method="native", alpha=0.05)
print("native:", [(point.position, round(point.score, 2)) for point in native.change_points])

# %%
# The change points found, with their kinds.
fig, ax = plt.subplots(figsize=(9, 3.5), layout="constrained")
plot_result(result, ax, title="A kink, a drop and a change of spread")
for point in result.change_points:
    ax.annotate(point.kind, (point.position, min(series)), textcoords="offset points",
                xytext=(4, 4), fontsize=9, color="tab:red")
plt.show()
