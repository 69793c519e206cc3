"""The many-series engine: a test (its record) on every series of a read
panel in one native call, for every test alike.

`threads` is checked first and named as an argument; the test's options
are refused as the class refuses them for the first series (with that
series' note). With errors="raise" the first failing series in order decides,
whether it could not be read or the test refused it, and the error names
it through `note`; with errors="mask" both kinds are masked alike and
every failure is returned. A series' own MemoryError (its buffer) is never
masked: it is raised, named, like any error with errors="raise".
"""

from __future__ import annotations

from collections.abc import Callable
from contextlib import AbstractContextManager, nullcontext
from typing import Any, NamedTuple

import numpy as np

from ._core import noting
from ._registry import TestRecord
from ._shared import checked_threads
from .reading import Panel

ERRORS_ACCEPTED = "errors must be 'raise' or 'mask'"


class ManyOutcome(NamedTuple):
    """One array per column of the record, and (index, exception class,
    message) per failed series (errors="mask"; empty with "raise")."""

    columns: tuple[np.ndarray[Any, Any], ...]
    failures: list[tuple[int, type[Exception], str]]


def failure_error(exception: type[Exception], message: str) -> Exception:
    """The exception the class raises for a failed series."""
    return exception(message) if message else exception()


def checked_errors(errors: object) -> str:
    if errors not in ("raise", "mask"):
        raise ValueError(f"{ERRORS_ACCEPTED}, not {errors!r}")
    assert isinstance(errors, str)
    return errors


def run_many(
    record: TestRecord,
    panel: Panel,
    options: Any,
    threads: int | None,
    errors: str,
    note: Callable[[int], str] | None,
) -> ManyOutcome:
    """The test on every series of `panel`; `note(i)` names series i in a
    raised error (None: no note, for one series given alone). `options`
    are the record's (check_options' result)."""
    checked_errors(errors)
    count = checked_threads(threads)
    if panel.size == 0:
        # As a loop over no series: nothing is tested.
        return ManyOutcome(tuple(np.empty(0, dtype) for dtype in record.dtypes), [])

    def noted(index: int, *kinds: type[Exception]) -> AbstractContextManager[None]:
        return noting(note(index), *kinds) if note is not None else nullcontext()

    # The test's options refused natively are refused as the class refuses
    # them for the first series, and named so.
    with noted(0, TypeError, ValueError, OverflowError):
        *raw, failures = record.native_many(panel.data, options, panel.axis, count, errors == "raise")
    columns = tuple(np.frombuffer(column, dtype=dtype) for column, dtype in zip(raw, record.dtypes))
    # An unreadable series sits in the batch as an empty one, which fails there too.
    fatal = [f for f in failures if errors == "raise" or f[1] is MemoryError and f[0] not in panel.unreadable]
    if fatal:
        index, exception, message = fatal[0]
        error = panel.unreadable.get(index) or failure_error(exception, message)
        # A series' own MemoryError (its buffer) is named too: it is that
        # series' outcome, not an out-of-memory passing through.
        with noted(index, Exception):
            raise error
    if errors == "raise":
        return ManyOutcome(columns, [])
    return ManyOutcome(
        columns,
        [
            (index, exception, str(panel.unreadable[index]) if index in panel.unreadable else message)
            for index, exception, message in failures
        ],
    )
