"""el_many: the test on every series of a panel in one native call.

The series are tested by the native module `larkspur_tools._batch` without
the interpreter lock, on up to `threads` threads. Every series gets exactly
the checks, messages and bits of `statistical_tests.EscancianoLobato`.
"""

from __future__ import annotations

import operator
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from ._core import noting

Errors: TypeAlias = Literal["raise", "mask"]
#: What the native module returns: three byte columns and (index, exception class, message) per failure.
Raw: TypeAlias = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.float64],
                       list[tuple[int, type[Exception], str]]]

# Data types whose values the test reads as float64 (as float() would).
REAL_KINDS = "biuf"


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


def _real_float64(array: np.ndarray[Any, Any], what: str) -> npt.NDArray[np.float64]:
    if array.dtype.kind not in REAL_KINDS:
        raise TypeError(f"{what} must hold real numbers, not dtype {array.dtype}")
    if array.dtype != np.float64:
        array = array.astype(np.float64)  # once, for the whole panel
    return array


def _series_array(item: Any, position: int) -> npt.NDArray[np.float64]:
    if isinstance(item, np.ndarray) and item.ndim == 1 and item.dtype == np.float64:
        return item
    to_numpy = getattr(item, "to_numpy", None)
    array = np.asarray(to_numpy() if callable(to_numpy) else item)
    if array.ndim != 1:
        raise ValueError(f"series {position} is not one-dimensional (shape {array.shape})")
    return _real_float64(array, f"series {position}")


def _panel(values: Any, axis: int) -> tuple[Any, int, Sequence[Any] | None]:
    """(what the native module reads, its time axis, labels for notes or None)."""
    if axis not in (0, 1, -1, -2):
        raise ValueError(f"axis must be 0 or 1, not {axis!r}")
    axis %= 2
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(values, pandas.DataFrame):
        labels = values.columns if axis == 0 else values.index
        return _real_float64(values.to_numpy(), "a DataFrame's columns"), axis, list(labels)
    if isinstance(values, np.ndarray):
        if values.ndim != 2:
            raise ValueError(f"values must be a 2-D array or a sequence of 1-D arrays, not an array of "
                             f"shape {values.shape}")
        return _real_float64(values, "values"), axis, None
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"values must be a 2-D array, a DataFrame or a sequence of 1-D arrays, "
                        f"not {type(values).__name__}")
    return [_series_array(item, i) for i, item in enumerate(values)], 0, None


def _default_threads() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return max(count or 1, 1)


def native_many(panel: Any, axis: int, q: float | None, d: int | None, threads: int | None,
                stop_at_first_failure: bool) -> Raw:
    """The native call on a prepared panel (see _panel): outputs and failures."""
    from . import _batch

    if threads is None:
        threads = _default_threads()
    elif isinstance(threads, bool) or operator.index(threads) < 1:
        raise ValueError(f"threads must be a positive integer, not {threads!r}")
    p_tilde, statistic, pvalue, failures = _batch.el_many(panel, q, d, axis, threads, stop_at_first_failure)
    return (np.frombuffer(p_tilde, dtype=np.int64), np.frombuffer(statistic, dtype=np.float64),
            np.frombuffer(pvalue, dtype=np.float64), failures)


def failure_error(exception: type[Exception], message: str) -> Exception:
    """The exception the class raises for a failed series."""
    return exception(message) if message else exception()


def run_many(panel: Any, axis: int, q: float | None, d: int | None, threads: int | None, errors: str,
             note: Callable[[int], str]) -> ElMany | ElManyMasked:
    """el_many on a prepared panel; `note(i)` names series i in a raised error."""
    if errors not in ("raise", "mask"):
        raise ValueError(f"errors must be 'raise' or 'mask', not {errors!r}")
    count = len(panel) if isinstance(panel, list) else panel.shape[1 - axis]
    if count == 0:
        # As a loop over no series: nothing is checked.
        empty = ElMany(np.empty(0, np.int64), np.empty(0, np.float64), np.empty(0, np.float64))
        return empty if errors == "raise" else ElManyMasked(*empty, [])
    # q or d refused: the class refuses them on the first series.
    with noting(note(0), TypeError, ValueError, OverflowError):
        p_tilde, statistic, pvalue, failures = native_many(panel, axis, q, d, threads, errors == "raise")
    if failures and (errors == "raise" or any(f[1] is MemoryError for f in failures)):
        index, exception, message = next(f for f in failures if errors == "raise" or f[1] is MemoryError)
        # A series' own MemoryError (its buffer) is named too: it is that
        # series' outcome, not an out-of-memory passing through.
        with noting(note(index), Exception):
            raise failure_error(exception, message)
    if errors == "raise":
        return ElMany(p_tilde, statistic, pvalue)
    messages: list[str | None] = [None] * count
    for index, _, message in failures:
        messages[index] = message
    return ElManyMasked(p_tilde, statistic, pvalue, messages)


@overload
def el_many(values: Any, q: float | None = None, d: int | None = None, *, axis: int = 0,
            threads: int | None = None, errors: Literal["raise"] = "raise") -> ElMany: ...
@overload
def el_many(values: Any, q: float | None = None, d: int | None = None, *, axis: int = 0,
            threads: int | None = None, errors: Literal["mask"]) -> ElManyMasked: ...


def el_many(values: Any, q: float | None = None, d: int | None = None, *, axis: int = 0,
            threads: int | None = None, errors: Errors = "raise") -> ElMany | ElManyMasked:
    """The test on every series of a panel, in one native call on all cores.

    `values` is a 2-D array whose `axis` runs over time (axis=0: each column
    is a series), a DataFrame (its columns with axis=0, its rows with
    axis=1), or a sequence of 1-D arrays of any lengths. float64 arrays are
    read in place whatever their order and strides; other real dtypes are
    converted once. `threads` defaults to the CPU count. Every series gets
    the bits `EscancianoLobato(series, q, d)` gives.

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
        The panel is not a 2-D array, a DataFrame or a sequence of series,
        or holds values that are not real numbers.
    ValueError
        `axis`, `threads` or `errors` is invalid, a series is not
        one-dimensional, or (errors="raise") a series fails with a
        ValueError.
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
    panel, time_axis, labels = _panel(values, axis)
    kind = "column" if axis % 2 == 0 else "row"

    def note(index: int) -> str:
        return f"in {kind} {labels[index]!r}" if labels is not None else f"in series {index}"

    return run_many(panel, time_axis, q, d, threads, errors, note)
