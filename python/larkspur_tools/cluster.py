"""Many series on a Dask cluster: one task per batch, plain values back.

A task costs the scheduler and the network far more than testing one series
(microseconds), so series travel in batches, or better, only the names of
partitions travel and each worker loads its own. Needs
`pip install "dask[distributed]"`; dask is imported by the caller's client.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from itertools import islice
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

from ._core import ElTuple
from .batch import el_batch_at, el_partition

if TYPE_CHECKING:
    from ._core import RawData

Part = TypeVar("Part")


class Client(Protocol):
    """What is used of a `dask.distributed.Client`."""

    def map(self, func: Callable[..., Any], *iterables: Any, **kwargs: Any) -> Any: ...
    def gather(self, futures: Any) -> Any: ...
    def scatter(self, data: Any) -> Any: ...


def batched(series: Iterable[Any], size: int) -> Iterator[list[Any]]:
    if size < 1:
        raise ValueError("batch_size must be positive")
    iterator = iter(series)
    while batch := list(islice(iterator, size)):
        yield batch


def dask_many(
    client: Client, series: Iterable[RawData], *, batch_size: int = 1000, q: float | None = None, d: int | None = None
) -> list[ElTuple]:
    """The test on every series, in order, as (p_tilde, statistic, pvalue) tuples.

    The series are shipped from here in batches of `batch_size`, one task
    per batch; prefer `dask_partitions` when the data can be read where it
    is tested.

    Parameters
    ----------
    client : dask.distributed.Client
        The cluster's client (anything with its ``map``, ``gather`` and
        ``scatter``).
    series : iterable of array_like
        The series, each as `EscancianoLobato` takes it.
    batch_size : int, default 1000
        Series per task, at least 1.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)`` of each series).

    Returns
    -------
    list of tuple of (int, float, float)
        ``(p_tilde, statistic, pvalue)`` per series, in order; ``[]`` for no
        series.

    Raises
    ------
    ValueError
        `batch_size` is below 1.
    Exception
        The first failing series' error, raised by `gather` with the note
        "in series k" (k counted over the whole collection).

    Examples
    --------
    >>> import numpy as np
    >>> from dask.distributed import Client
    >>> from larkspur_tools import dask_many
    >>> rng = np.random.default_rng(0)
    >>> with Client(processes=False, n_workers=1, dashboard_address=None) as client:
    ...     rows = dask_many(client, [rng.standard_normal(300) for _ in range(5)], batch_size=2)
    >>> len(rows), rows[0][0]
    (5, 1)
    """
    batches = list(batched(series, batch_size))
    if not batches:
        return []
    firsts = [index * batch_size for index in range(len(batches))]
    # Scattered first, the batches go to the workers directly instead of
    # inside the task graph through the scheduler.
    futures = client.map(el_batch_at, client.scatter(batches), firsts, q=q, d=d, pure=False)
    results: list[list[ElTuple]] = client.gather(futures)
    return [row for batch in results for row in batch]


def dask_partitions(
    client: Client,
    load: Callable[[Part], Iterable[RawData]],
    parts: Sequence[Part],
    *,
    q: float | None = None,
    d: int | None = None,
) -> list[list[ElTuple]]:
    """`load(part)` and the test on each series it yields, one task per partition.

    Returns one list of tuples per partition, in the order of `parts`. `load`
    runs on the workers (a file name or a seed goes in, the partition's series
    come out), so the data never passes through this process.

    Parameters
    ----------
    client : dask.distributed.Client
        The cluster's client (anything with its ``map`` and ``gather``).
    load : callable
        ``load(part)`` returns the partition's series; it runs on the
        workers, and must not name the result class when defined in
        ``__main__`` (see `el_partition`).
    parts : sequence
        The partitions' names, one task each.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)`` of each series).

    Returns
    -------
    list of list of tuple of (int, float, float)
        Per partition, in the order of `parts`, ``(p_tilde, statistic,
        pvalue)`` per series.

    Raises
    ------
    Exception
        An error of `load` or of a series, raised by `gather` with the notes
        "in partition <part>" (and "in series k").

    Examples
    --------
    >>> import numpy as np
    >>> from dask.distributed import Client
    >>> from larkspur_tools import dask_partitions
    >>> def load(seed):
    ...     return np.random.default_rng(seed).standard_normal((3, 400))
    >>> with Client(processes=False, n_workers=1, dashboard_address=None) as client:
    ...     results = dask_partitions(client, load, [1, 2])
    >>> [len(part) for part in results]
    [3, 3]
    """
    if len(parts) == 0:
        return []
    futures = client.map(el_partition, [load] * len(parts), parts, q=q, d=d, pure=False)
    return list(client.gather(futures))
