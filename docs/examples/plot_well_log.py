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
from quarn.datasets import ANNOTATION_MARGIN
from quarn.display import plot_result

well_log = quarn.load_dataset("well_log")
print(f"{well_log.title}: {len(well_log.values)} values")
print(well_log.source)

# %%
# The defaults: candidates from six window sizes chosen for 675 values,
# each kept only when a test on the stretches between its neighbours
# confirms it at the level 0.05. Every change point gets its kind and
# p-value.
result = quarn.detect(well_log.values)
print("candidate window sizes:", sorted(result.window_results))
for point in result.change_points:
    print(f"{point.position:4d}  {point.kind}  p-value {point.p_value:.2g}")

# %%
# How many of each person's marks lie within a few samples of a change point
# that the detector found:
found = result.positions
for person, marks in well_log.annotations.items():
    hits = [m for m in marks if any(abs(m - p) <= ANNOTATION_MARGIN for p in found)]
    print(f"annotator {person:>2}: {len(hits):2d} of {len(marks):2d} marks found")

# %%
# Every change found is a shift of level near a mark of at least three of
# the five people; the marks not found are six that only annotator 13 set.
# Some window sizes propose change points at the short downward spikes
# (near 2, 202 and 660), and the tests reject them: a spike of a few values
# does not change the level of the stretches around it.
#
# Found change points in red, the marks of all five people as blue ticks at
# the bottom.
ax = plot_result(result, title="Well log", annotations=well_log.annotated_positions())
plt.show()
