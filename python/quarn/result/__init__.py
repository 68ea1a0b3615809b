"""The result of a detection: consensus change points and per-window findings.

A result holds every figure once, in numpy arrays: per window size its
statistics and thresholds (float64, one per position; a position's start is
implied by the window size), its change points and regions (int64). The
native module's nested dictionaries are built on request by
:meth:`DetectionResult.to_dict`. Results are immutable (their arrays are
read-only), compare equal bit for bit, pickle and deep-copy.

:func:`build_result` makes a result from a detection of the engine. The
classes are defined in the package's modules, one concern each:
``_detection`` (the result and its making), ``_points`` (change points and
segments), ``_windows`` (one window size's findings) and ``_arrays``
(read-only mappings and arrays).
"""

from __future__ import annotations

import functools
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

import numpy as np
import numpy.typing as npt

from quarn.result._arrays import FrozenMapping as FrozenMapping
from quarn.result._detection import REPR_POINTS as REPR_POINTS
from quarn.result._detection import DetectionResult as DetectionResult
from quarn.result._detection import build_result as build_result
from quarn.result._detection import recorded_options as recorded_options
from quarn.result._points import ChangePoint as ChangePoint
from quarn.result._points import Segment as Segment
from quarn.result._windows import WindowResult as WindowResult
from quarn.result._windows import _EngineWindows as _EngineWindows
from quarn.result._windows import engine_window_sizes as engine_window_sizes

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes

    from quarn._quarn_native import DetectorResultDict, WindowResultDict

# This package is where the result's classes are found (pickles, help(), the
# documentation), so they name it as their module. The imports above that
# it does not use keep every name it has offered, and resolve the classes'
# annotations here.
for _class in (FrozenMapping, WindowResult, _EngineWindows, ChangePoint, Segment, DetectionResult):
    _class.__module__ = __name__
del _class
