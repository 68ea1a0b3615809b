"""Change points of many series on a Dask cluster: :func:`detect_many`.

Needs the ``dask`` extra (``pip install 'quarn[dask]'``). Every partition
of a Dask DataFrame in long form (one row per value: a series name, a time
label, a value) goes through :func:`quarn.detect_many` on a worker, which
runs the partition's series in parallel on that worker's processors. A
series must lie within one partition, so when the partitions do not already
hold whole series the frame is shuffled by series first.

To run on a cluster, connect a client before computing; Dask then sends the
work to the cluster's workers (which need quarn installed)::

    from dask.distributed import Client
    client = Client("tcp://scheduler-address:8786")
    found = quarn.dask.detect_many(ddf, by="sensor", time="time", value="value")
    table = found.compute()

Without a client, Dask computes in threads of the calling process.
"""

from __future__ import annotations

import warnings
from collections.abc import Hashable, Iterable
from typing import TYPE_CHECKING, Any

from quarn._runner import QuarnWarning
from quarn._frames import POINT_COLUMNS
from quarn.many import detect_many as detect_many_local
from quarn._checks import shown
from quarn.options import check_options, with_options_doc

try:
    import dask.dataframe as dd
    import pandas as pd
except ImportError as _missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quarn.dask needs dask's DataFrame and distributed packages, which are not "
        "installed; run: pip install 'quarn[dask]'"
    ) from _missing

if TYPE_CHECKING:
    from dask.dataframe import DataFrame as DaskDataFrame

__all__ = ["detect_many"]


def detect_many(
    ddf: DaskDataFrame,
    *,
    by: Hashable,
    time: Hashable | None = None,
    value: Hashable | None = None,
    shuffle: bool | None = None,
    method: str = "confirm",
    window_sizes: Iterable[int] | int | None = None,
    n_perm: int | None = None,
    alpha: float | None = None,
    confidence: float | None = None,
    seed: int = 123,
    tol: int | None = None,
    workers: int | None = None,
    change_type: str | None = None,
    block_length: int | None = None,
    taper_ratio: float | None = None,
    center: bool | None = None,
    missing: str = "skip",
) -> DaskDataFrame:
    """Finds change points in every series of a Dask DataFrame in long form.

    Each partition is analysed by :func:`quarn.detect_many` (``by``,
    ``time`` and ``value`` mean what they mean there), with no data moved
    between workers as long as every series lies within one partition. That
    holds when ``by`` is the frame's index with known divisions (after
    ``ddf.set_index(by)``), and is checked otherwise by reading the ``by``
    column alone (a quick pass); when a series is split over partitions, the
    frame is first shuffled by ``by`` (which moves every row to the
    partition of its series, the least expensive correct remedy, yet costly
    for large data) and a :class:`quarn.QuarnWarning` says so.

    Args:
        ddf: The Dask DataFrame, one row per value.
        by: The column (or the index) naming the series.
        time: The column of time labels, by which each series is sorted.
        value: The column of values; may be left out when the frame has
            just one column besides ``by`` and ``time``.
        shuffle: None checks whether the partitions hold whole series and
            shuffles only when they do not; True shuffles without checking;
            False trusts that they do (a split series is then analysed as
            two series of one name).
        (options): One entry per option, from quarn.options.OPTIONS.

    Returns:
        A lazy Dask DataFrame with the columns of :func:`quarn.detect_many`
        (``series``, ``position``, ``label``, ``votes``, ``score``,
        ``probability``, ``kind``, ``p_value``), the series in the order of the partitions; its
        ``compute()`` equals ``quarn.detect_many`` of the whole frame up to
        that order and the row index.

    Raises:
        TypeError: An option has the wrong type, or progress was asked for
            (Dask's own dashboard and progress bar show the progress).
        ValueError: A column is missing, or an option is out of range.
    """
    given = dict(locals())
    for name in ("ddf", "by", "time", "value", "shuffle"):
        del given[name]
    options = {name: value for name, value in check_options(given).items() if name != "progress"}
    frame, whole = _partitioned_by_series(ddf, by, time, value, shuffle)
    if not whole:
        warnings.warn(
            f"the partitions do not hold whole series of {shown(by)}: shuffling by it first; "
            f"partition the frame by series (e.g. ddf.set_index({by!r}) or "
            f"ddf.shuffle({by!r})) to avoid it",
            QuarnWarning,
            stacklevel=2,
        )
        frame = frame.shuffle(on=by)
    return frame.map_partitions(
        _detect_partition,
        by=by,
        time=time,
        value=value,
        options=options,
        meta=_meta(frame, by, time),
        enforce_metadata=False,
    )


detect_many.__doc__ = with_options_doc(detect_many.__doc__ or "")


def _partitioned_by_series(
    ddf: Any, by: Any, time: Any, value: Any, shuffle: bool | None
) -> tuple[Any, bool]:
    """The frame with ``by`` as a column or as an index of known
    divisions, and whether its partitions hold whole series."""
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"ddf must be a Dask DataFrame, got {type(ddf).__name__}")
    columns = list(ddf.columns)
    for role, name in (("time", time), ("value", value)):
        if name is not None and name not in columns:
            raise ValueError(f"{role}: no column {shown(name)} (columns: {shown(columns)})")
    if by not in columns:
        if ddf.index.name != by:
            raise ValueError(f"by: no column or index {shown(by)} (columns: {shown(columns)})")
        if ddf.known_divisions:
            # Sorted by series with known bounds: no series spans two partitions.
            return ddf, shuffle is not True
        ddf = ddf.reset_index()
    if shuffle is not None:
        return ddf, not shuffle
    keys = ddf[by].map_partitions(lambda names: names.drop_duplicates(), meta=ddf[by]._meta)
    return ddf, not bool(keys.compute().duplicated().any())


def _detect_partition(
    partition: pd.DataFrame, by: Any, time: Any, value: Any, options: dict[str, Any]
) -> pd.DataFrame:
    found = detect_many_local(partition, by=by, time=time, value=value, **options)
    # An empty partition gives columns of default dtypes.
    return found.astype(_meta_dtypes(partition, by, time))


def _meta(frame: Any, by: Any, time: Any) -> pd.DataFrame:
    """The empty frame whose columns and dtypes the result has."""
    dtypes = _meta_dtypes(frame._meta, by, time)
    return pd.DataFrame({column: pd.Series(dtype=dtype) for column, dtype in dtypes.items()})


def _meta_dtypes(frame: pd.DataFrame, by: Any, time: Any) -> dict[str, Any]:
    names = frame[by] if by in frame.columns else frame.index.to_series()
    dtypes = {"series": names.dtype, **{c.name: c.dtype for c in POINT_COLUMNS}}
    if time is not None:
        dtypes["label"] = frame[time].dtype
    return dtypes
