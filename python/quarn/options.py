"""The detector's options: defaults, checks, and their native names."""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Iterable
from typing import Any

#: Window sizes used when none are given: every size from 10 to 20.
DEFAULT_WINDOW_SIZES: tuple[int, ...] = tuple(range(10, 21))

#: The kinds of change the detector can look for.
CHANGE_TYPES: tuple[str, ...] = ("mean", "var", "distribution")

#: Largest seed the detector accepts (seeds are unsigned 64-bit integers).
MAX_SEED = 2**64 - 1

#: Option names of :func:`quarn.detect` that differ from the native ones.
NATIVE_NAMES = {"alpha": "alpha_q", "block_length": "b"}


def check_options(
    *,
    window_sizes: Iterable[int] | int | None,
    n_perm: int,
    alpha: float,
    seed: int,
    tol: int,
    workers: int | None,
    change_type: str,
    block_length: int | None,
    taper_ratio: float,
    center: bool,
) -> dict[str, Any]:
    """Checks the detector's options and fills in the defaults.

    Args:
        window_sizes: Window sizes, a single size, or None for 10 to 20.
        n_perm: Bootstrap replicates per threshold, at least 1.
        alpha: Overall false-alarm level as a fraction between 0 and 1.
        seed: Seed of the bootstrap, 0 to 2**64 - 1.
        tol: Largest gap in samples between change points of one consensus
            segment.
        workers: Worker threads, or None (or 0) for one per processor.
        change_type: "mean", "var" or "distribution", in any letter case.
        block_length: Bootstrap block length, or None for the automatic one.
        taper_ratio: Tapered share of each bootstrap block, 0 to 1.
        center: Whether windows are centred before the bootstrap.

    Returns:
        The options under their :func:`quarn.detect` names, normalised
        (window sizes as a tuple, change type in lower case).

    Raises:
        TypeError: An option has the wrong type.
        ValueError: An option is out of range.
    """
    if window_sizes is None:
        sizes = DEFAULT_WINDOW_SIZES
    elif isinstance(window_sizes, numbers.Integral):
        sizes = (_integer("window_sizes", window_sizes, 1),)
    elif isinstance(window_sizes, (str, bytes)) or not isinstance(window_sizes, Iterable):
        raise TypeError(
            "window_sizes must be a list of positive integers, got "
            f"{type(window_sizes).__name__}"
        )
    else:
        sizes = tuple(_integer("window sizes", size, 1) for size in window_sizes)
        if not sizes:
            raise ValueError("window_sizes must not be empty")
    if not isinstance(change_type, str):
        raise TypeError(f"change_type must be a string, got {type(change_type).__name__}")
    if change_type.lower() not in CHANGE_TYPES:
        raise ValueError(
            f"change_type must be 'mean', 'var' or 'distribution', got {change_type!r}"
        )
    if type(center).__name__ not in ("bool", "bool_"):
        raise TypeError(f"center must be True or False, got {center!r}")
    return {
        "window_sizes": sizes,
        "n_perm": _integer("n_perm", n_perm, 1),
        "alpha": _fraction("alpha", alpha, "0.05 means 5%"),
        "seed": _integer("seed", seed, 0, MAX_SEED),
        "tol": _integer("tol", tol, 0),
        "workers": None if workers is None else _integer("workers", workers, 0),
        "change_type": change_type.lower(),
        "block_length": None if block_length is None else _integer("block_length", block_length, 1),
        "taper_ratio": _fraction("taper_ratio", taper_ratio, "0 means no taper"),
        "center": bool(center),
    }


def native_arguments(options: dict[str, Any]) -> dict[str, Any]:
    """Renames checked options to the keyword arguments of ``quarn_detector``."""
    arguments = {NATIVE_NAMES.get(name, name): value for name, value in options.items()}
    arguments["window_sizes"] = list(options["window_sizes"])
    return arguments


def _integer(name: str, value: Any, low: int, high: int = MAX_SEED) -> int:
    try:
        if isinstance(value, bool):
            raise TypeError
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if not low <= value <= high:
        bound = f"at least {low}" if high == MAX_SEED else f"between {low} and {high}"
        raise ValueError(f"{name} must be {bound}, got {value}")
    return value


def _fraction(name: str, value: Any, example: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if math.isnan(value) or not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must be a fraction between 0 and 1 ({example}), got {value!r}")
    return value
