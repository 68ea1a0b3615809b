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
result = quarn.detect(load, alpha=0.05)
for point in result.change_points:
    print(f"{point.label:%Y-%m-%d}  score {point.score:.2f}  probability {point.probability:.2f}")

# %%
# Keep the change points that every window size voted for (score 1).
strong = [point.label for point in result.change_points if point.score == 1.0]
print("changes found by every window size:", [f"{day:%Y-%m-%d}" for day in strong])

# %%
# The plot shows the dates on the x-axis.
ax = result.plot()
ax.set_title("Daily load")
plt.show()
