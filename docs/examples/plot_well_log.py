"""
The well log against its hand-made annotations
==============================================

The well log (675 measurements of nuclear magnetic response taken while
drilling a well) ships with quarn together with the change points that five
people marked by hand. It comes from the Turing Change Point Dataset (MIT
licence; see ``quarn/data/README.md`` for the source and how to cite it).
"""

import matplotlib.pyplot as plt

import quarn
from quarn.datasets import ANNOTATION_MARGIN, DEMO_OPTIONS
from quarn.display import plot_result

well_log = quarn.load_dataset("well_log")
print(f"{well_log.title}: {len(well_log.values)} values")
print(well_log.source)

# %%
# The level shifts of the well log lie tens to hundreds of samples apart and
# the series has short spikes: windows of 20 to 40 values average over the
# spikes, and an overall false-alarm level of 1 % keeps them from being
# reported as changes.
sizes = DEMO_OPTIONS["window_sizes"]
print(f"window sizes {sizes[0]} to {sizes[-1]}, alpha {DEMO_OPTIONS['alpha']}")
result = quarn.detect(well_log.values, **DEMO_OPTIONS)
print("found:", list(result.positions))

# %%
# How many of each person's marks lie within a few samples of a change point
# that the detector found:
found = result.positions
for person, marks in well_log.annotations.items():
    hits = [m for m in marks if any(abs(m - p) <= ANNOTATION_MARGIN for p in found)]
    print(f"annotator {person:>2}: {len(hits):2d} of {len(marks):2d} marks found")

# %%
# Found change points in red, the marks of all five people as blue ticks at
# the bottom.
ax = plot_result(result, title="Well log", annotations=well_log.annotated_positions())
plt.show()
