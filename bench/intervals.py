"""Coverage of the location intervals of the default method.

A synthetic suite of level and spread changes (1 to 3 noise standard
deviations; a spread change multiplies the noise's spread by 1 + size), one
or three changes per series, in Gaussian, heavy-tailed (Student t with 3
degrees of freedom, scaled to unit variance) and AR(1) noise (lag-1
autocorrelation 0.5, unit marginal variance), series of 200 to 100,000
values. Every series is run at each confidence; a true change counts where
the method reported a change of its kind within max(10, n / 50) values of
it, and is covered when that change's interval holds the true position.

Prints, per kind and noise, the share of covered changes at confidences
0.8, 0.9 and 0.95 (the target is the confidence within +-0.05), with the
number of changes behind each figure and the median interval width.

Run: python bench/intervals.py [--series N] [--seed S]
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
import pandas as pd

import quarn

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _structured import ar1_noise  # noqa: E402

CONFIDENCES = (0.8, 0.9, 0.95)
KINDS = ("level", "spread")
NOISES = ("gauss", "t3", "ar1")
LENGTHS = (200, 1000, 10_000, 100_000)
SIZES = (1.0, 2.0, 3.0)
AR = 0.5


def noise(kind: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if kind == "gauss":
        return rng.standard_normal(n)
    if kind == "t3":
        return rng.standard_t(3, n) / np.sqrt(3.0)
    return ar1_noise(rng, n, AR)


def make_series(kind: str, noise_kind: str, n: int, changes: int, rng: np.random.Generator):
    """A series and its true change points (a random place in each of
    `changes` equal parts, at least 15% of a part from its ends)."""
    part = n // (changes + 1)
    points = sorted(
        int((i + 1) * part + rng.integers(-int(0.35 * part), int(0.35 * part) + 1))
        for i in range(changes)
    )
    level = np.zeros(n)
    scale = np.ones(n)
    current_level, current_scale = 0.0, 1.0
    sizes = []
    for p in points:
        size = float(rng.choice(SIZES))
        sizes.append(size)
        sign = 1.0 if rng.random() < 0.5 else -1.0
        if kind == "level":
            current_level += sign * size
        else:
            current_scale = current_scale * (1.0 + size) if sign > 0 or current_scale < 1.5 \
                else current_scale / (1.0 + size)
        level[p:] = current_level
        scale[p:] = current_scale
    return level + scale * noise(noise_kind, n, rng), points, sizes


def suite(series_per_cell: int, seed: int):
    rng = np.random.default_rng(seed)
    cells = []
    for kind in KINDS:
        for noise_kind in NOISES:
            items = []
            for n in LENGTHS:
                count = series_per_cell if n <= 10_000 else max(1, series_per_cell // 5)
                for changes in (1, 3):
                    for _ in range(count):
                        items.append(make_series(kind, noise_kind, n, changes, rng))
            cells.append((kind, noise_kind, items))
    return cells


def coverage(kind: str, items, confidence: float):
    frame = pd.DataFrame(
        {
            "series": np.concatenate([np.full(len(x), i) for i, (x, _, _) in enumerate(items)]),
            "value": np.concatenate([x for x, _, _ in items]),
        }
    )
    found = quarn.detect_many(frame, by="series", value="value", confidence=confidence)
    records = []
    for i, (x, points, sizes) in enumerate(items):
        rows = found[found["series"] == i]
        margin = max(10, len(x) // 50)
        for p, size in zip(points, sizes):
            if rows.empty:
                continue
            nearest = rows.iloc[int(np.argmin(np.abs(rows["position"].to_numpy() - p)))]
            # spread changes are sometimes named level changes where the
            # level test also confirms them: both count for a spread change
            if abs(int(nearest["position"]) - p) > margin:
                continue
            if kind == "level" and nearest["kind"] != "level":
                continue
            low, high = int(nearest["interval_low"]), int(nearest["interval_high"])
            records.append((size, len(x), low <= p <= high, high - low + 1))
    return records


def table(records, key, heading: str) -> None:
    """Coverage and median width at each confidence, one row per key."""
    print(
        f"{heading} "
        + " ".join(f"{'cover@' + str(c):>11} {'width':>6}" for c in CONFIDENCES)
        + f" {'changes':>8}"
    )
    groups = sorted({key(r) for r in records})
    for group in groups:
        cells = []
        count = 0
        for c in CONFIDENCES:
            chosen = [r for r in records if key(r) == group and r["confidence"] == c]
            count = len(chosen)
            share = np.mean([r["held"] for r in chosen]) if chosen else float("nan")
            width = np.median([r["width"] for r in chosen]) if chosen else 0
            cells.append(f"{share:11.3f} {width:6.0f}")
        print(f"{' '.join(f'{g!s:>8}' for g in group)} " + " ".join(cells) + f" {count:8d}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=25, help="series per length and count")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    records = []
    for kind, noise_kind, items in suite(args.series, args.seed):
        for c in CONFIDENCES:
            for size, n, held, width in coverage(kind, items, c):
                records.append(
                    {"kind": kind, "noise": noise_kind, "size": size, "n": n,
                     "confidence": c, "held": held, "width": width}
                )
    table(records, lambda r: (r["kind"], r["noise"]), f"{'kind':>8} {'noise':>8}")
    print()
    table(records, lambda r: (r["kind"], r["size"]), f"{'kind':>8} {'size':>8}")
    print()
    table(records, lambda r: (r["kind"], r["n"]), f"{'kind':>8} {'n':>8}")


if __name__ == "__main__":
    main()
