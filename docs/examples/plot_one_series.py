"""
One series
==========

A series of 600 values whose level rises by 2.5 at position 200 and falls by
2 at position 400. :func:`quarn.detect` finds the changes; each change point
comes with the votes of the window sizes, a score and a probability.
"""

import random

import matplotlib.pyplot as plt

import quarn

rng = random.Random(42)
levels = [0.0] * 200 + [2.5] * 200 + [0.5] * 200
series = [rng.gauss(level, 1.0) for level in levels]

# %%
# Run the detector with an overall false-alarm level of 5 %. The default
# level (100 %) is permissive and reports more weak change points.
result = quarn.detect(series, alpha=0.05)
for point in result.change_points:
    print(
        f"position {point.position:4d}  votes {point.votes:3d}  "
        f"score {point.score:.2f}  probability {point.probability:.2f}"
    )

# %%
# The picture: each change point is a red line, darker the higher its
# score, with its probability written above the axes.
ax = result.plot()
ax.set_title("Level shifts at 200 and 400")
plt.show()

# %%
# Both shifts get the vote of every window size (score 1). The other change
# points have low scores: most are noise that one or two window sizes took
# for a change. Keeping the change points with a high score is the simplest
# reading of a result.
print([point.position for point in result.change_points if point.score >= 0.9])
