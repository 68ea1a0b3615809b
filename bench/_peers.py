"""Untuned change-point methods of the ruptures package, when it is installed."""

from __future__ import annotations

import numpy as np

try:
    import ruptures
except ImportError:  # the comparison is optional
    ruptures = None

#: KernelCPD's cost grows with the square of the length; longer series are skipped.
KERNEL_MAX_LENGTH = 2000
#: Pelt's l2 search can take minutes on 10^5 values with few changes.
PELT_MAX_LENGTH = 20000


def available() -> bool:
    return ruptures is not None


def _penalty(values: np.ndarray) -> float:
    # The usual BIC-like penalty of the l2 cost: 2 log(n) times the variance.
    return 2.0 * np.log(len(values)) * float(np.var(values))


def binseg(values: np.ndarray) -> list[int]:
    return ruptures.Binseg(model="l2").fit(values).predict(pen=_penalty(values))[:-1]


def pelt(values: np.ndarray) -> list[int] | None:
    if len(values) > PELT_MAX_LENGTH:
        return None
    return ruptures.Pelt(model="l2").fit(values).predict(pen=_penalty(values))[:-1]


def kernel(values: np.ndarray) -> list[int] | None:
    if len(values) > KERNEL_MAX_LENGTH:
        return None
    # The rbf kernel's costs are scale-free; log(n) is its BIC-like penalty.
    return ruptures.KernelCPD(kernel="rbf").fit(values).predict(pen=float(np.log(len(values))))[:-1]


#: Name and function of every peer, in table order.
PEERS = (
    ("ruptures Binseg(l2)", binseg),
    ("ruptures Pelt(l2)", pelt),
    ("ruptures KernelCPD(rbf)", kernel),
)
