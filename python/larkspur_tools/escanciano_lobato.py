"""The Escanciano-Lobato test as the companion's engines see it: its
record (options q and d, the native batch call, what one series yields, how
one series is bootstrapped). Its public functions keep their modules:
`el_many`, `el_tuple` (batch), `bootstrap` (wild_bootstrap), `lag_table`
(lags), `diagnose` (diagnosis).
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from larkspur import statistical_tests

from . import _batch
from ._many import run_many
from ._registry import FloatArray, TestRecord, register
from ._shared import check_q_d
from .reading import Panel

REPLICATE_NOTE = "in a bootstrap replicate"
REPLICATE_REFUSED = (
    "bootstrap: the test refused a re-weighted replicate ({message}), which degeneracy does not explain; "
    "no replicate is skipped for that"
)


class ElOptions(NamedTuple):
    """q and d as given (None: the test's default)."""

    q: float | None
    d: int | None


def check_options(options: dict[str, Any]) -> ElOptions:
    """q and d checked as the class checks them (its errors), a bool refused."""
    q, d = options.get("q"), options.get("d")
    check_q_d(q, d)
    _batch.check_parameters(q, d)
    return ElOptions(q, d)


def native_many(
    values: Any, options: ElOptions, axis: int, threads: int, stop_at_first_failure: bool
) -> tuple[Any, ...]:
    return _batch.el_many(values, options.q, options.d, axis, threads, stop_at_first_failure)


class Prepared:
    """One series ready for the wild bootstrap: its statistic, and the
    statistics of re-weighted replicates with the same q and d (p~ chosen
    anew in each). A replicate whose robust variance is zero (constant after
    re-weighting: a zero tau-hat) is degenerate and skipped; any other
    refusal is an error, never a skipped replicate."""

    def __init__(self, x: FloatArray, options: ElOptions, threads: int, statistic: float | None = None) -> None:
        """`statistic`: the test's statistic on x when the caller already has
        it (from the many-series engine), so that x is not tested twice."""
        self.options, self.threads = options, threads
        if statistic is None:
            statistic = statistical_tests.EscancianoLobato(x, options.q, options.d).statistic
        self.statistic = statistic

    def replicates(self, rows: FloatArray) -> tuple[FloatArray, str | None]:
        outcome = run_many(RECORD, Panel(rows, 1, len(rows)), self.options, self.threads, "mask", None)
        skipped = None
        for _, exception, message in outcome.failures:
            if exception is not OSError:
                error = ValueError(REPLICATE_REFUSED.format(message=message))
                error.add_note(REPLICATE_NOTE)
                raise error
            skipped = skipped or message
        return outcome.columns[1], skipped


RECORD = register(
    TestRecord(
        name="el",
        title="Escanciano-Lobato",
        question="linear autocorrelation at the first lags",
        columns=("p_tilde", "statistic", "pvalue"),
        dtypes=(np.int64, np.float64, np.float64),
        native_many=native_many,
        check_options=check_options,
        prepare=Prepared,
    )
)
