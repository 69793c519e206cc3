"""The test as plain values: what crosses process and machine boundaries.

A result object of the extension holds three numbers and cannot be pickled,
so everything here returns `(p_tilde, statistic, pvalue)` tuples. The
functions live in this importable module on purpose: a function defined in a
script's `__main__` that names the result class is pickled by value together
with the class (the class reports the module `builtins`, where pickle cannot
find it) and fails on the worker; these are pickled by reference instead.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

from larkspur import statistical_tests

#: The result class under a second name (the same object at run time).
EscancianoLobato = statistical_tests.EscancianoLobato

if TYPE_CHECKING:
    import larkspur

    #: What the test reads: an ndarray, a pandas Series, a sequence of numbers.
    RawData: TypeAlias = larkspur._RawData

#: (p_tilde, statistic, pvalue) of one series.
ELTuple: TypeAlias = tuple[int, float, float]

Part = TypeVar("Part")


def default_d(n: int) -> int:
    """The largest lag the test uses when `d` is not given: floor(n ** 0.2)."""
    return int(math.pow(float(n), 0.2))


def as_float64(values: Any) -> npt.NDArray[np.float64]:
    """The values as a 1-D float64 array, the route the test reads in place.

    pandas, polars and xarray containers are converted with their own
    `to_numpy()` (the extension's generic route copies them item by item).
    """
    to_numpy = getattr(values, "to_numpy", None)
    array = to_numpy() if callable(to_numpy) else values
    result = np.ascontiguousarray(array, dtype=np.float64)
    if result.ndim != 1:
        # A DataFrame with a repeated column name gives a 2-D selection.
        raise ValueError(f"expected one series of values, got an array of shape {result.shape}")
    return result


def el_tuple(values: RawData, q: float | None = None, d: int | None = None) -> ELTuple:
    """The test on one series, as a plain picklable tuple."""
    result = statistical_tests.EscancianoLobato(values, q, d)
    return result.p_tilde, result.statistic, result.pvalue


def el_batch(batch: Iterable[RawData], q: float | None = None, d: int | None = None) -> list[ELTuple]:
    """The test on every series of a batch: one task's work on a worker.

    The 1-D float64 arrays among them are tested in one native batch on
    this thread (a cluster's workers already occupy the cores); anything
    else goes through the class. Results and the first error are those of a
    loop over the batch.
    """
    from .batch import failure_error, native_many

    items = list(batch)
    arrays = {i: item for i, item in enumerate(items)
              if isinstance(item, np.ndarray) and item.ndim == 1 and item.dtype == np.float64}
    slot = {i: k for k, i in enumerate(arrays)}
    p_tilde, statistic, pvalue, failures = native_many(list(arrays.values()), 0, q, d, 1, True) if arrays else (
        np.empty(0, np.int64), np.empty(0), np.empty(0), [])
    failed = {index: (exception, message) for index, exception, message in failures}
    rows: list[ELTuple] = []
    for i, values in enumerate(items):
        k = slot.get(i)
        if k is None:
            rows.append(el_tuple(values, q, d))
        elif k in failed:
            raise failure_error(*failed[k])
        else:
            rows.append((int(p_tilde[k]), float(statistic[k]), float(pvalue[k])))
    return rows


def el_partition(load: Callable[[Part], Iterable[RawData]], part: Part,
                 q: float | None = None, d: int | None = None) -> list[ELTuple]:
    """Loads (or makes) the series of one partition where it runs, then tests each.

    `load(part)` runs on the worker, so only the partition's name travels,
    not its data; `load` may be defined in `__main__` as long as it does not
    name the result class.
    """
    return el_batch(load(part), q, d)
