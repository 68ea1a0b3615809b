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
found = quarn.dask.detect_many(frame, by="store", time="day", value="sales", alpha=0.05)
print(found)  # lazy: nothing has run yet

# %%
# ``compute`` runs the detection and gives a pandas DataFrame with the
# columns of :func:`quarn.detect_many`; the labels are the days.
table = found.compute()
strong = table[table["score"] == 1.0]
print(strong[["series", "label", "votes", "probability"]].to_string(index=False))

fig, ax = plt.subplots(figsize=(9, 3.5), layout="constrained")
for _, group in sales.groupby("store"):
    ax.plot(group["day"], group["sales"], linewidth=0.5, color="0.7")
ax.vlines(strong["label"], 6, 17, color="tab:red", linewidth=1.2, label="change found (score 1)")
ax.set_ylabel("sales")
ax.legend(loc="upper left", fontsize=8)
ax.set_title("Twelve stores, one change each")
plt.show()
