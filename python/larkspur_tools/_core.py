"""What every module of the companion shares: the result class, the plain
result tuple, the test's defaults (from the native core, never recomputed
here) and the notes that name a failing series.

A result object of the extension holds three numbers and cannot be pickled,
so everything that crosses process and machine boundaries returns
`(p_tilde, statistic, pvalue)` tuples.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, TypeAlias

from larkspur import statistical_tests

from . import _batch

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
#: >>> from larkspur_tools import ElTuple, el_tuple
#: >>> row: ElTuple = el_tuple([1.0, 3.0, 2.0, 5.0, 4.0])
#: >>> row
#: (1, 0.0, 1.0)
ElTuple: TypeAlias = tuple[int, float, float]
#: The former spelling of `ElTuple`.
ELTuple: TypeAlias = ElTuple

#: The penalty constant q when none is given (the native core's own value).
DEFAULT_Q: float = _batch.DEFAULT_Q


def default_d(n: int) -> int:
    """The largest lag the test uses when `d` is not given.

    The integer fifth root of n: the largest k with ``k ** 5 <= n``, which is
    ``floor(n ** 0.2)`` for every n below 2 ** 40, as the native core
    computes it for the test (never recomputed here).

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
    return _batch.default_d(n)


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
