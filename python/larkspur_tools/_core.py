"""The test as plain values: what crosses process and machine boundaries.

A result object of the extension holds three numbers and cannot be pickled,
so everything here returns `(p_tilde, statistic, pvalue)` tuples. The
functions live in this importable module on purpose: a function defined in a
script's `__main__` that names the result class is pickled by value together
with the class (the class reports the module `builtins`, where pickle cannot
find it) and fails on the worker; these are pickled by reference instead.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
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

#: (p_tilde, statistic, pvalue) of one series: the type of what `el_tuple`,
#: `el_batch`, `el_partition` and the Dask functions return, plain values
#: that can be pickled.
#:
#: Examples
#: --------
#: >>> from larkspur_tools import ELTuple, el_tuple
#: >>> row: ELTuple = el_tuple([1.0, 3.0, 2.0, 5.0, 4.0])
#: >>> row
#: (1, 0.0, 1.0)
ELTuple: TypeAlias = tuple[int, float, float]

Part = TypeVar("Part")


def default_d(n: int) -> int:
    """The largest lag the test uses when `d` is not given.

    The integer fifth root of n: the largest k with ``k ** 5 <= n``, which is
    ``floor(n ** 0.2)`` for every n below 2 ** 40, computed exactly.

    Parameters
    ----------
    n : int
        The length of the series.

    Returns
    -------
    int
        The default largest lag (0 for n = 0).

    Examples
    --------
    >>> from larkspur_tools import default_d
    >>> default_d(250), default_d(1023), default_d(1024), default_d(1859)
    (3, 3, 4, 4)
    """
    k = int(float(n) ** 0.2)
    while k > 0 and k**5 > n:
        k -= 1
    while (k + 1) ** 5 <= n:
        k += 1
    return k


def natural_array(values: Any) -> npt.NDArray[Any]:
    """The values as an array of their own dtype: pandas, polars and xarray
    containers through their `to_numpy()` (the extension's generic route
    copies them item by item), other sequences through NumPy.

    NumPy folds an exception raised by a sequence's `__len__` into "setting
    an array element with a sequence", so the length is asked here first: a
    KeyboardInterrupt, SystemExit or MemoryError from the data reaches the
    caller unchanged, as it does through the extension itself."""
    if isinstance(values, np.ndarray):
        return values
    to_numpy = getattr(values, "to_numpy", None)
    if callable(to_numpy):
        return np.asarray(to_numpy())
    if not isinstance(values, (list, tuple, range)) and hasattr(type(values), "__len__"):
        len(values)
    return np.asarray(values)


def as_float64(values: Any) -> npt.NDArray[np.float64]:
    """The values as a 1-D contiguous float64 array, the input the test reads in place.

    Parameters
    ----------
    values : array_like or pandas.Series
        One series: an array, a pandas, polars or xarray object (through its
        ``to_numpy()``), or a sequence of numbers.

    Returns
    -------
    numpy.ndarray
        The values as float64, contiguous; `values` itself when it already is
        such an array.

    Raises
    ------
    ValueError
        The values are not one-dimensional.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import as_float64
    >>> as_float64([1, 2, 3])
    array([1., 2., 3.])
    >>> x = np.arange(10.0)
    >>> as_float64(x) is x, as_float64(x[::2]).flags["C_CONTIGUOUS"]
    (True, True)
    """
    result = np.ascontiguousarray(natural_array(values), dtype=np.float64)
    if result.ndim != 1:
        # A DataFrame with a repeated column name gives a 2-D selection.
        raise ValueError(f"expected one series of values, got an array of shape {result.shape}")
    return result


def el_tuple(values: RawData, q: float | None = None, d: int | None = None) -> ELTuple:
    """The test on one series, as a plain picklable tuple.

    Result objects of the extension cannot be pickled; this tuple can be sent
    to another process or machine.

    Parameters
    ----------
    values : numpy.ndarray, pandas.Series or sequence of float
        The series, as `EscancianoLobato` takes it.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).

    Returns
    -------
    tuple of (int, float, float)
        ``(p_tilde, statistic, pvalue)``.

    Raises
    ------
    TypeError, ValueError, OverflowError, OSError
        As `EscancianoLobato` raises them for these arguments.

    See Also
    --------
    el_many : Many series in one native call.

    Examples
    --------
    >>> from larkspur_tools import el_tuple
    >>> p_tilde, statistic, pvalue = el_tuple([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], d=2)
    >>> p_tilde, round(statistic, 6), round(pvalue, 6)
    (1, 3.134328, 0.07666)
    """
    result = statistical_tests.EscancianoLobato(values, q, d)
    return result.p_tilde, result.statistic, result.pvalue


def el_batch(batch: Iterable[RawData], q: float | None = None, d: int | None = None, *,
             first: int = 0) -> list[ELTuple]:
    """The test on every series of a batch: one task's work on a worker.

    The 1-D float64 arrays among them are tested in one native batch on
    this thread (a cluster's workers already occupy the cores); anything
    else goes through the class. Results and the first error are those of a
    loop over the batch.

    Parameters
    ----------
    batch : iterable of array_like
        The series, each as `EscancianoLobato` takes it.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)`` of each series).
    first : int, default 0
        The batch's place in a larger collection, for the error's note.

    Returns
    -------
    list of tuple of (int, float, float)
        ``(p_tilde, statistic, pvalue)`` per series, in order.

    Raises
    ------
    TypeError, ValueError, OverflowError, OSError
        The error of the first failing series, as the class raises it, with
        the note "in series k", k counted from `first`.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import el_batch
    >>> rng = np.random.default_rng(0)
    >>> rows = el_batch([rng.standard_normal(500) for _ in range(3)])
    >>> [p_tilde for p_tilde, _, _ in rows]
    [1, 1, 1]
    >>> el_batch([np.arange(9.0), np.ones(9)], first=10)
    Traceback (most recent call last):
    ...
    OSError: Zero τ̂ value at lag 1
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
            with noting(f"in series {first + i}"):
                rows.append(el_tuple(values, q, d))
        elif k in failed:
            with noting(f"in series {first + i}"):
                raise failure_error(*failed[k])
        else:
            rows.append((int(p_tilde[k]), float(statistic[k]), float(pvalue[k])))
    return rows


def el_batch_at(batch: Iterable[RawData], first: int, q: float | None = None, d: int | None = None) -> list[ELTuple]:
    """`el_batch` with the batch's first position as an argument, for `Client.map`."""
    return el_batch(batch, q, d, first=first)


@contextmanager
def noting(note: str, *kinds: type[Exception]) -> Iterator[None]:
    """Runs the block; an error of `kinds` leaving it carries `note`.

    Without `kinds`: the errors of the data, any Exception but MemoryError.
    Interrupts, exits and an out-of-memory raised from anywhere pass
    untouched."""
    try:
        yield
    except Exception as error:
        if isinstance(error, kinds) if kinds else not isinstance(error, MemoryError):
            error.add_note(note)
        raise


def el_partition(load: Callable[[Part], Iterable[RawData]], part: Part,
                 q: float | None = None, d: int | None = None) -> list[ELTuple]:
    """Loads (or makes) the series of one partition where it runs, then tests each.

    `load(part)` runs on the worker, so only the partition's name travels,
    not its data; `load` may be defined in `__main__` as long as it does not
    name the result class. This is the task `dask_partitions` sends, and it
    works as well with joblib or a process pool.

    Parameters
    ----------
    load : callable
        ``load(part)`` returns the partition's series (an iterable of
        arrays, or a 2-D array whose rows are series).
    part : object
        The partition's name: a file name, a seed, a key.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)`` of each series).

    Returns
    -------
    list of tuple of (int, float, float)
        ``(p_tilde, statistic, pvalue)`` per series of the partition.

    Raises
    ------
    Exception
        An error of `load` or of a series, with the note "in partition
        <part>" (and "in series k" for a series).

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import el_partition
    >>> def load(seed):
    ...     return np.random.default_rng(seed).standard_normal((4, 300))
    >>> len(el_partition(load, 7))
    4
    """
    with noting(f"in partition {part!r}"):
        return el_batch(load(part), q, d)
