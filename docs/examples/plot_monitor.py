"""
Watching the well log as a stream
=================================

:class:`quarn.Monitor` reads values one at a time, as a live stream would
deliver them, and raises an alarm as soon as the level, the spread or the
shape of the values changes. Here the bundled well log (675 measurements;
Turing Change Point Dataset, MIT licence) is replayed value by value. The
series is short, so the warm-up is shortened from its default of 500 to
100 values.
"""

import matplotlib.pyplot as plt

import quarn

well_log = quarn.load_dataset("well_log")
monitor = quarn.Monitor(warmup=100)

# %%
# One value per call, as a stream arrives. Each alarm names the estimated
# position of the change and the value that revealed it.
for value in well_log.values:
    for alarm in monitor.update(value):
        print(alarm)
print(f"{monitor.n_seen} values seen, {len(monitor.alarms)} alarms")

# %%
# The alarms on the series: a dashed line where each change is estimated
# to start, a solid one where it was detected; the grey ticks at the top
# are the changes marked by hand.
fig, ax = plt.subplots(figsize=(9, 3.5))
ax.plot(well_log.values, color="0.3", linewidth=0.8)
for alarm in monitor.alarms:
    ax.axvline(alarm.position, color="tab:red", linestyle="--", linewidth=1)
    ax.axvline(alarm.detected_at, color="tab:red", linewidth=1)
    ax.annotate(
        alarm.kind, (alarm.detected_at, 1.0), xycoords=("data", "axes fraction"),
        xytext=(3, -12), textcoords="offset points", color="tab:red",
    )
for position in well_log.annotated_positions():
    ax.plot([position], [1.0], marker="|", color="0.6", markersize=10,
            transform=ax.get_xaxis_transform(), clip_on=False)
ax.set_xlabel("index")
ax.set_title("Well log replayed as a stream: alarms of quarn.Monitor")
fig.tight_layout()
plt.show()
