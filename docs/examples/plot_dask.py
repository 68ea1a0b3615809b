"""
Many series with Dask
=====================

:func:`quarn.dask.detect_many` runs :func:`quarn.detect_many` on every
partition of a Dask DataFrame. Here Dask computes in threads of this
process; connecting a ``dask.distributed.Client`` to a cluster first sends
the same work to the cluster's workers.
"""

import random

import dask.dataframe as dd
import matplotlib.pyplot as plt
import pandas as pd

import quarn.dask

rng = random.Random(3)
days = pd.date_range("2023-01-01", periods=365, freq="D")
rows = []
for k in range(12):
    start = rng.randrange(60, 300)
    values = [rng.gauss(10.0, 1.0) + (3.0 if i >= start else 0.0) for i in range(365)]
    rows.append(pd.DataFrame({"store": f"store {k:02d}", "day": days, "sales": values}))
sales = pd.concat(rows, ignore_index=True)

# %%
# Indexed by store with known divisions, every store lies within one
# partition, so the partitions are analysed as they are, without a shuffle.
frame = dd.from_pandas(sales.set_index("store"), npartitions=4)
found = quarn.dask.detect_many(frame, by="store", time="day", value="sales")
print(found)  # lazy: nothing has run yet

# %%
# ``compute`` runs the detection and gives a pandas DataFrame with the
# columns of :func:`quarn.detect_many`; the labels are the days.
table = found.compute()
print(table[["series", "label", "kind", "p_value", "votes"]].to_string(index=False))

# %%
# Every store's change is found as a change of level with a p-value far
# below 0.05, on the day it happened (store 02: one day early). Stores 05
# and 08 also get weaker change points, with p-values from 0.006 to 0.04:
# false alarms (``alpha=0.05`` is the chance of any false alarm on a series
# without changes). The picture marks the strongest change of each store.
strongest = table.sort_values("p_value").drop_duplicates("series")

fig, ax = plt.subplots(figsize=(9, 3.5), layout="constrained")
for _, group in sales.groupby("store"):
    ax.plot(group["day"], group["sales"], linewidth=0.5, color="0.7")
ax.vlines(strongest["label"], 6, 17, color="tab:red", linewidth=1.2,
          label="strongest change found")
ax.set_ylabel("sales")
ax.legend(loc="upper left", fontsize=8)
ax.set_title("Twelve stores, one change each")
plt.show()
