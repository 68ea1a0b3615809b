"""
A pandas series with a time index
=================================

A pandas Series keeps its index: every change point carries the index label
at its position, here a date, and the plot uses the dates for its x-axis.
The data are a made-up daily load whose mean moves from 10 to 14 on
2024-04-10 and to 12 on 2024-07-19.
"""

import matplotlib.pyplot as plt
import pandas as pd

import quarn

load = pd.read_csv("../example.csv", index_col="date", parse_dates=True)["load"]
print(load.head())

# %%
# Detect, and read each change point's date from its ``label``.
result = quarn.detect(load)
for point in result.change_points:
    print(f"{point.label:%Y-%m-%d}  {point.kind}  p-value {point.p_value:.2g}")

# %%
# Both changes are found as shifts of level; the second is placed two days
# after the day the made-up mean moved, where the split between the two
# levels fits this noisy stretch best. ``to_frame`` gives the same as a
# table, with the dates in the ``label`` column.
print(result.to_frame()[["label", "kind", "p_value", "votes"]].to_string(index=False))

# %%
# The plot shows the dates on the x-axis.
ax = result.plot()
ax.set_title("Daily load")
plt.show()
