"""Run-length constants of the monitor's CUSUMs (quarn-core/src/monitor_options.cpp).

For each of the eight one-sided CUSUMs, the run length without change grows
as exp(theta * h) in the threshold h. theta is the positive root of
E exp(theta X) = 1 for the CUSUM's increment X when the rank of a value in
the reference is uniform (no change); the offset c of log ARL = theta h + c
is fitted to simulated run lengths at thresholds where they can be
simulated, and the monitor extrapolates from there. The scores are computed
as the monitor computes them from a reference of ``warmup - 1`` residuals,
so the result does not depend on the noise's distribution.

Run: python bench/calibrate_monitor.py [--warmup 300] [--streams 4000]
Prints the two constant arrays to paste into monitor_options.cpp.
"""

from __future__ import annotations

import argparse
from statistics import NormalDist

import numpy as np

DRIFT = np.array([0.5, 0.5, 0.6, 0.3, 0.35, 0.35, 0.35, 0.35])
NAMES = ["level up", "level down", "wider", "narrower", "skew +", "skew -", "tails +", "tails -"]


def raw_scores(place: np.ndarray, knots: np.ndarray) -> np.ndarray:
    """The four raw scores at fractional places of the reference (as the monitor does)."""
    m = len(knots)
    at = np.floor(place).astype(np.int64)
    fraction = place - at
    upper = np.minimum(at + 1, m - 1)
    q = knots[at] + fraction * (knots[upper] - knots[at])
    u = (place + 0.5) / m
    x = 2 * u - 1
    x2 = x * x
    return np.stack(
        [q, q * q, np.sqrt(7) / 2 * (5 * x2 - 3) * x, 0.375 * ((35 * x2 - 30) * x2 + 3)]
    )


def increments(place: np.ndarray, knots: np.ndarray, mean: np.ndarray, scale: np.ndarray):
    scores = (raw_scores(place, knots) - mean[:, None]) * scale[:, None]
    signed = np.repeat(scores, 2, axis=0)
    signed[1::2] *= -1
    return signed - DRIFT[:, None]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmup", type=int, default=500)
    parser.add_argument("--streams", type=int, default=4000)
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args()

    m = args.warmup - 1
    normal = NormalDist()
    knots = np.array([normal.inv_cdf((i + 0.5) / m) for i in range(m)])
    at_knots = raw_scores(np.arange(m, dtype=float), knots)
    mean = at_knots.mean(axis=1)
    scale = 1 / at_knots.std(axis=1)

    # theta: root of E exp(theta X) = 1 over a uniform rank.
    grid = (np.arange(400_000) + 0.5) / 400_000
    place = np.clip(grid * m - 0.5, 0, m - 1)
    x = increments(place, knots, mean, scale)
    thetas = []
    for row in x:
        low, high = 1e-6, 50.0
        for _ in range(200):
            mid = (low + high) / 2
            if np.mean(np.exp(mid * row)) > 1:
                high = mid
            else:
                low = mid
        thetas.append((low + high) / 2)
    thetas = np.array(thetas)

    # Simulated run lengths at thresholds giving log ARL from about 5 to 8.
    rng = np.random.default_rng(args.seed)
    offsets = []
    for s, theta in enumerate(thetas):
        heights = (np.array([5.0, 6.0, 7.0, 8.0]) - 0.0) / theta
        value = np.zeros(args.streams)
        first = np.full((len(heights), args.streams), -1, dtype=np.int64)
        crossings = np.zeros(len(heights))
        time_spent = np.zeros(len(heights))
        step = 0
        limit = 60_000
        while step < limit and (first[-1] < 0).any():
            u = rng.random(args.streams)
            inc = increments(np.clip(u * m - 0.5, 0, m - 1), knots, mean, scale)[s]
            value = np.maximum(0.0, value + inc)
            step += 1
            for j, h in enumerate(heights):
                hit = (first[j] < 0) & (value > h)
                first[j][hit] = step
        for j in range(len(heights)):
            done = first[j] >= 0
            crossings[j] = done.sum()
            time_spent[j] = first[j][done].sum() + (~done).sum() * step
        arl = time_spent / crossings
        fitted = np.log(arl) - theta * heights
        offsets.append(float(np.mean(fitted[1:])))
        print(
            f"{NAMES[s]:>10}: theta {theta:.6f}, ARL {np.round(arl).astype(int)} at h "
            f"{np.round(heights, 2)}, offsets {np.round(fitted, 3)}"
        )
    print("constexpr double kLogRunSlope[Monitor::kStatistics] = {")
    print("    " + ", ".join(f"{t:.6f}" for t in thetas) + "};")
    print("constexpr double kLogRunOffset[Monitor::kStatistics] = {")
    print("    " + ", ".join(f"{c:.4f}" for c in offsets) + "};")


if __name__ == "__main__":
    main()
