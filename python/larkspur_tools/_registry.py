"""A test is one record: what the companion's engines (many series, the
wild bootstrap, the reports, the command) need to know of it. The engines
read only the record; each test's module builds its record and registers
it once (`register`), and `record_for(name)` finds it again.

What a record says:

- `name`: the short name (``--test NAME`` in the command); `title`, the
  test's name in reports; `question`, what a rejection means, in a few words.
- `columns` and `dtypes`: what one series yields, in the native row's order
  (the many-series engine makes one array per column).
- `native_many(values, options, axis, threads, stop_at_first_failure)`:
  the native batch call, returning one bytearray per column and the
  failures as (index, exception class, message) in index order.
- `check_options(options)`: the test's own options checked and completed
  (defaults filled) before any data are read; raises what the test raises.
- `prepare(x, options, threads)`: one series made ready for the bootstrap:
  a `Prepared` with the statistic T and `replicates(rows)`, the statistics
  of the re-weighted rows (each row (x - mean(x)) times one draw of the
  weights), NaN for a replicate that is degenerate (skipped and counted),
  with the first such replicate's message.
- `scale_free`: the test gives x * 2**k exactly x's statistic, so the
  bootstrap may resample x scaled to a fixed magnitude: its replicates are
  then the same for every k.
- `multipliers`: the record's replicates take the draws of the weights
  themselves (V_1..V_n, one row each), not the re-weighted demeaned series.
- `default_weights`: the bootstrap weights the test uses when none are named.
- `small_sample_warning`: a series shorter than 100 gets the package's
  SmallSampleWarning (the test's asymptotic p-value is unreliable there); a
  test whose only p-value is the bootstrap's has none.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]


class Prepared(Protocol):
    statistic: float

    def replicates(self, rows: FloatArray) -> tuple[FloatArray, str | None]: ...


@dataclass(frozen=True)
class TestRecord:
    name: str
    title: str
    question: str
    columns: tuple[str, ...]
    dtypes: tuple[type[np.generic], ...]
    native_many: Callable[[Any, Any, int, int, bool], tuple[Any, ...]]
    check_options: Callable[[dict[str, Any]], Any]
    prepare: Callable[[FloatArray, Any, int], Prepared]
    scale_free: bool = True
    multipliers: bool = False
    default_weights: str = "rademacher"
    small_sample_warning: bool = True


_RECORDS: dict[str, TestRecord] = {}


def register(record: TestRecord) -> TestRecord:
    """Adds a test; a second record under one name is a programming error."""
    if record.name in _RECORDS and _RECORDS[record.name] is not record:
        raise ValueError(f"a test named {record.name!r} is already registered")
    _RECORDS[record.name] = record
    return record


def record_for(name: str) -> TestRecord:
    try:
        return _RECORDS[name]
    except KeyError:
        known = ", ".join(repr(key) for key in _RECORDS)
        raise ValueError(f"test must be one of {known}, not {name!r}") from None


def registered() -> tuple[str, ...]:
    return tuple(_RECORDS)
