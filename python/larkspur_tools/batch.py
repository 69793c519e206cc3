"""The batch runners: the test on many series in one native call.

`el_many` is the public face for a panel in memory; `el_batch` and
`el_partition` are the tasks the Dask helpers ship to workers; `el_tuple`
tests one series and returns plain values. All of them read their series
through `reading` and test them in the native module `larkspur_tools._batch`
without the interpreter lock, so every series gets exactly the checks,
messages and bits of `statistical_tests.EscancianoLobato`.

The functions live in this importable module on purpose: a function defined
in a script's `__main__` that names the result class is pickled by value
together with the class (the class reports the module `builtins`, where
pickle cannot find it) and fails on the worker; these are pickled by
reference instead.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _batch, _many
from ._core import ElTuple, noting
from ._shared import check_q_d
from .escanciano_lobato import RECORD, ElOptions
from .reading import Panel, read_panel, read_series

if TYPE_CHECKING:
    from ._core import RawData
from .small_sample import warn_short_series

Errors: TypeAlias = Literal["raise", "mask"]
Part = TypeVar("Part")


class ElMany(NamedTuple):
    """What `el_many` returns with errors="raise": one entry per series.

    A named tuple of three arrays, in the order of the series.

    Attributes
    ----------
    p_tilde : numpy.ndarray of int64
        The chosen lag orders.
    statistic : numpy.ndarray of float64
        The statistics.
    pvalue : numpy.ndarray of float64
        The asymptotic p-values.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import el_many
    >>> res = el_many(np.random.default_rng(0).standard_normal((500, 3)))
    >>> type(res).__name__, res.p_tilde.dtype, res.pvalue.shape
    ('ElMany', dtype('int64'), (3,))
    """

    p_tilde: npt.NDArray[np.int64]
    statistic: npt.NDArray[np.float64]
    pvalue: npt.NDArray[np.float64]


class ElManyMasked(NamedTuple):
    """What `el_many` returns with errors="mask": as `ElMany`, and each series' error.

    A failed series holds p_tilde 0 and NaN statistic and p-value.

    Attributes
    ----------
    p_tilde : numpy.ndarray of int64
        The chosen lag orders (0 where the series failed).
    statistic : numpy.ndarray of float64
        The statistics (NaN where the series failed).
    pvalue : numpy.ndarray of float64
        The asymptotic p-values (NaN where the series failed).
    message : list of str or None
        Each series' error message, None where the test succeeded.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import el_many
    >>> res = el_many([np.arange(50.0) % 7, np.ones(40)], errors="mask")
    >>> res.p_tilde, res.message
    (array([1, 0]), [None, 'Zero τ̂ value at lag 1'])
    """

    p_tilde: npt.NDArray[np.int64]
    statistic: npt.NDArray[np.float64]
    pvalue: npt.NDArray[np.float64]
    message: list[str | None]


def run_many(
    panel: Panel, q: float | None, d: int | None, threads: int | None, errors: str, note: Callable[[int], str] | None
) -> ElMany | ElManyMasked:
    """The test on every series of a read panel (the many-series engine with
    the Escanciano-Lobato record); `note(i)` names series i in a raised error
    (None: no note, for one series given alone). q and d reach the native
    batch as given, which refuses them as the class does for the first
    series (with its note); only a bool is refused here, first."""
    check_q_d(q, d)
    outcome = _many.run_many(RECORD, panel, ElOptions(q, d), threads, errors, note)
    p_tilde, statistic, pvalue = outcome.columns
    if errors == "raise":
        return ElMany(p_tilde, statistic, pvalue)
    messages: list[str | None] = [None] * panel.size
    for index, _, message in outcome.failures:
        messages[index] = message
    return ElManyMasked(p_tilde, statistic, pvalue, messages)


@overload
def el_many(
    values: Any,
    q: float | None = None,
    d: int | None = None,
    *,
    axis: int = 0,
    threads: int | None = None,
    errors: Literal["raise"] = "raise",
) -> ElMany: ...
@overload
def el_many(
    values: Any,
    q: float | None = None,
    d: int | None = None,
    *,
    axis: int = 0,
    threads: int | None = None,
    errors: Literal["mask"],
) -> ElManyMasked: ...


def el_many(
    values: Any,
    q: float | None = None,
    d: int | None = None,
    *,
    axis: int = 0,
    threads: int | None = None,
    errors: Errors = "raise",
) -> ElMany | ElManyMasked:
    """The test on every series of a panel, in one native call on all cores.

    `values` is a 2-D array whose `axis` runs over time (axis=0: each column
    is a series), a DataFrame (its columns with axis=0, its rows with
    axis=1), or a sequence of series of any lengths (arrays, pandas Series,
    lists of numbers). float64 arrays are read in place whatever their
    order and strides; other real dtypes are converted once. `threads`
    defaults to the CPU count. Every series gets the bits
    `EscancianoLobato(series, q, d)` gives.

    errors="raise" raises the error the class raises for the first failing
    series, with a note naming its position or column label; errors="mask"
    gives failed series p_tilde 0, NaN statistic and p-value, and returns a
    fourth field with each series' message (None where it succeeded). A
    series that is not numbers (dates, text, ...) fails with TypeError like
    any other failure. One SmallSampleWarning counts the series shorter than
    100 observations.

    Parameters
    ----------
    values : numpy.ndarray, pandas.DataFrame or sequence of array_like
        The panel: a 2-D array, a DataFrame, or 1-D series of any lengths.
    q : float, optional
        Constant of the penalty switch (default 2.4), for every series.
    d : int, optional
        Largest lag for every series (default ``floor(n ** 0.2)`` of each).
    axis : {0, 1}, default 0
        The time axis of a 2-D array or DataFrame: 0, each column is a
        series; 1, each row.
    threads : int, optional
        Worker threads, at least 1 (default: the CPUs available).
    errors : {"raise", "mask"}, default "raise"
        "raise" raises the error the class raises for the first failing
        series; "mask" marks failed series and keeps going.

    Returns
    -------
    ElMany or ElManyMasked
        `ElMany` with errors="raise"; `ElManyMasked`, with each series'
        message (None where it succeeded), with errors="mask".

    Raises
    ------
    TypeError
        The panel is not a 2-D array, a DataFrame or a sequence of series
        (a mapping of names to series is a table: `by_column` tests it);
        `axis` is not an integer; q or d has the wrong type (a bool
        included); or (errors="raise") a series is not one series of numbers.
    ValueError
        `axis` is neither 0 nor 1, `threads` or `errors` is invalid, or
        (errors="raise") a series fails with a ValueError.
    OSError, OverflowError, MemoryError
        (errors="raise") A series fails so; the error carries a note naming
        its position ("in series 3") or its label ("in column 'DAX'").

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import el_many
    >>> panel = np.random.default_rng(0).standard_normal((2500, 1000))  # 1,000 series
    >>> res = el_many(panel)
    >>> res.pvalue.shape, bool(np.all(res.p_tilde >= 1))
    ((1000,), True)
    >>> el_many([np.arange(30.0) % 4, np.ones(30)])
    Traceback (most recent call last):
    ...
    OSError: Zero τ̂ value at lag 1
    """
    panel = read_panel(values, axis)
    readable = (
        panel.data
        if not panel.unreadable
        else [series for position, series in enumerate(panel.data) if position not in panel.unreadable]
    )
    warn_short_series(readable, panel.axis)
    kind = "column" if axis % 2 == 0 else "row"

    def note(index: int) -> str:
        return f"in {kind} {panel.labels[index]!r}" if panel.labels is not None else f"in series {index}"

    return run_many(panel, q, d, threads, errors, note)


def el_tuple(values: RawData, q: float | None = None, d: int | None = None) -> ElTuple:
    """The test on one series, as a plain picklable tuple.

    Result objects of the extension cannot be pickled; this tuple can be sent
    to another process or machine. The series is read as every function of
    the companion reads one (`read_series`), after q and d are checked.

    Parameters
    ----------
    values : numpy.ndarray, pandas.Series or sequence of float
        The series.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).

    Returns
    -------
    tuple of (int, float, float)
        ``(p_tilde, statistic, pvalue)``, the bits `EscancianoLobato` gives.

    Raises
    ------
    TypeError
        The values are not one series of numbers, or q or d has the wrong
        type (True and False too, which the class would take for 1 and 0).
    ValueError, OverflowError, OSError
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
    check_q_d(q, d)
    _batch.check_parameters(q, d)
    from larkspur import statistical_tests

    result = statistical_tests.EscancianoLobato(read_series(values), q, d)
    return result.p_tilde, result.statistic, result.pvalue


def el_batch(
    batch: Iterable[RawData], q: float | None = None, d: int | None = None, *, first: int = 0
) -> list[ElTuple]:
    """The test on every series of a batch: one task's work on a worker.

    The series are tested in one native batch on this thread (a cluster's
    workers already occupy the cores). Results and the first error are those
    of a loop over the batch.

    Parameters
    ----------
    batch : iterable of array_like
        The series, each read as `read_series` reads one.
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
        The error of the first failing series, as the class raises it (a
        series that is not numbers: TypeError), with the note "in series k",
        k counted from `first`.

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
    # A mapping goes to read_panel whole, which says what it is for.
    panel = read_panel(batch if isinstance(batch, Mapping) else list(batch))
    result = run_many(panel, q, d, 1, "raise", lambda index: f"in series {first + index}")
    return [(int(p), float(s), float(v)) for p, s, v in zip(result.p_tilde, result.statistic, result.pvalue)]


def el_batch_at(batch: Iterable[RawData], first: int, q: float | None = None, d: int | None = None) -> list[ElTuple]:
    """`el_batch` with the batch's first position as an argument, for `Client.map`."""
    return el_batch(batch, q, d, first=first)


def el_partition(
    load: Callable[[Part], Iterable[RawData]], part: Part, q: float | None = None, d: int | None = None
) -> list[ElTuple]:
    """Loads (or makes) the series of one partition where it runs, then tests each.

    `load(part)` runs on the worker, so only the partition's name travels,
    not its data; `load` may be defined in `__main__` as long as it does not
    name the result class. This is the task `dask_partitions` sends, and it
    works as well with joblib or a process pool.

    Parameters
    ----------
    load : callable
        ``load(part)`` returns the partition's series (an iterable of
        series, or a 2-D array whose rows are series).
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
