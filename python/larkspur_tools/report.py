"""Reading columns, transforms, running the test and writing the results (a
table for eyes, CSV or JSON for programs): the pieces of the command-line
tool and the demo."""

from __future__ import annotations

import csv
import json
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TextIO

import numpy as np
import numpy.typing as npt

from ._core import default_d
from ._shared import rejects
from .batch import el_tuple
from .csv_input import read_csv_columns
from .parquet_input import read_parquet_columns
from .table_columns import Column
from .table_columns import ReportError as ReportError

SIGNIFICANCE = 0.05
# The extension's text for a zero robust variance (OSError), followed by the lag.


@dataclass(frozen=True)
class Row:
    name: str
    n: int
    d: int
    p_tilde: int
    statistic: float
    pvalue: float
    bootstrap_pvalue: float | None = None
    #: The replicates and the seed of the bootstrap p-value, which repeat it.
    bootstrap_B: int | None = None
    bootstrap_seed: int | None = None

    @property
    def reject(self) -> bool:
        """The verdict at SIGNIFICANCE, by the bootstrap p-value when there is one."""
        return rejects(self.pvalue if self.bootstrap_pvalue is None else self.bootstrap_pvalue, SIGNIFICANCE)

    @property
    def verdict(self) -> str:
        return "reject" if self.reject else "do not reject"


@dataclass(frozen=True)
class SpectralRow:
    """A column's generalized spectral test: its statistic, the kernel
    factor's rank and truncation bound, and the bootstrap p-value with what
    repeats it."""

    name: str
    n: int
    statistic: float
    error_bound: float
    rank: int
    pvalue: float
    B: int
    seed: int
    form: str
    weights: str

    @property
    def reject(self) -> bool:
        return rejects(self.pvalue, SIGNIFICANCE)

    @property
    def verdict(self) -> str:
        return "reject" if self.reject else "do not reject"


def run_test(
    name: str, values: Sequence[float] | npt.NDArray[np.float64], q: float | None = None, d: int | None = None
) -> Row:
    # Through the companion's one reading of a series, like every entry point.
    p_tilde, statistic, pvalue = el_tuple(values, q, d)
    return Row(name, len(values), d if d is not None else default_d(len(values)), p_tilde, statistic, pvalue)


def read_columns(path: str, columns: Sequence[str] | None = None) -> dict[str, npt.NDArray[np.float64]]:
    """The named columns of a CSV or Parquet file as float64 arrays; with
    `columns` None, every numeric data column. A missing value is an error."""
    read = read_parquet_columns if path.endswith((".parquet", ".pq")) else read_csv_columns
    return {column.name: without_missing(column, "raise")[0] for column in read(path, columns).tested}


def read_column(path: str, column: str) -> npt.NDArray[np.float64]:
    return read_columns(path, [column])[column]


def without_missing(column: Column, policy: str) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.intp] | None]:
    """The column's values without its missing ones ("omit") or an error at the
    first ("raise"), and the positions kept (None when none was missing)."""
    missing = np.isnan(column.values)
    if not missing.any():
        return column.values, None
    if policy != "omit":
        where = column.locate(int(np.flatnonzero(missing)[0]))
        raise ReportError(
            f"{where}: column {column.name!r} has a missing value; fill it, or pass --missing omit "
            "to drop missing values column by column"
        )
    kept = np.flatnonzero(~missing)
    return column.values[kept], kept


def log_returns(
    prices: Sequence[float] | npt.NDArray[np.float64], locate: Callable[[int], str] | None = None
) -> npt.NDArray[np.float64]:
    """r_t = ln P_t - ln P_{t-1}, as np.diff(np.log(prices)) computes it (the
    same bits); every price must be a positive number. `locate(k)` says where
    price k sits, for the message."""
    values = np.asarray(prices, dtype=np.float64)
    bad = np.flatnonzero(~(values > 0))
    if len(bad):
        where = locate(int(bad[0])) if locate else f"price {int(bad[0])}"
        raise ReportError(f"{where}: price {float(values[bad[0]])!r} is not positive; log returns need prices > 0")
    return np.diff(np.log(values))


def differences(
    values: Sequence[float] | npt.NDArray[np.float64], locate: Callable[[int], str] | None = None
) -> npt.NDArray[np.float64]:
    """x_t - x_{t-1}, as np.diff computes it (the same bits); a difference
    beyond float64's range (1e308 after -1e308) is an error naming where
    value k sits (`locate(k)`), not an infinity for the test to refuse."""
    values = np.asarray(values, dtype=np.float64)
    with np.errstate(over="ignore"):
        steps = np.diff(values)
    overflow = np.flatnonzero(np.isinf(steps) & np.isfinite(values[1:]) & np.isfinite(values[:-1]))
    if len(overflow):
        k = int(overflow[0]) + 1
        where = locate(k) if locate else f"value {k}"
        raise ReportError(
            f"{where}: the difference from the value above ({float(values[k])!r} - {float(values[k - 1])!r}) "
            "overflows to infinity"
        )
    return steps


def format_pvalue(pvalue: float) -> str:
    return f"{pvalue:.5f}" if pvalue == 0.0 or pvalue >= 1e-4 else f"{pvalue:.2e}"


def format_statistic(statistic: float) -> str:
    # Six significant digits, so that a small statistic does not print as 0,
    # trailing zeros kept, so that every number of the column shows six
    # ("1182.00" beside "1628.32", not "1182").
    return f"{statistic:#.6g}"


#: What the command tests, by transform, for the line under the table.
TESTED = {
    "none": "the values of each column as given (levels)",
    "log-returns": "the log returns of each column",
    "diff": "the first differences of each column",
}


def aligned(
    header: Sequence[str], cells: Sequence[Sequence[str]], verdicts: Sequence[str], title: str, out: TextIO
) -> None:
    """A table of every test: names left, numbers right, aligned for any
    width, the verdict last; a rule under the header."""
    widths = [max(len(text) for text in column) for column in zip(header, *cells)]

    def line(texts: Sequence[str], verdict: str) -> str:
        first, *numbers = texts
        parts = [f"{first:<{widths[0]}}", *(f"{text:>{width}}" for text, width in zip(numbers, widths[1:]))]
        return "  ".join([*parts, verdict])

    heading = line(header, title)
    print(heading, file=out)
    print("-" * len(heading), file=out)
    for texts, verdict in zip(cells, verdicts):
        print(line(texts, verdict), file=out)


def print_table(rows: Iterable[Row], out: TextIO, *, tested: str | None = None) -> None:
    """Aligned for any width of name, n or d. `tested` is a transform
    ("none", "log-returns", "diff"): the table then says what was tested,
    and on levels its footer does not speak of returns. Without it (the
    demo, whose rows name what they are) the footer reads for both. With a
    bootstrap column the verdict follows the bootstrap p-value, and the
    header says so."""
    rows = list(rows)
    bootstrap = any(row.bootstrap_pvalue is not None for row in rows)
    header = ("series", "n", "d", "p~", "statistic", "p-value", *(("boot p",) if bootstrap else ()))
    cells = [
        (
            row.name,
            str(row.n),
            str(row.d),
            str(row.p_tilde),
            format_statistic(row.statistic),
            format_pvalue(row.pvalue),
            *((format_pvalue(row.bootstrap_pvalue) if row.bootstrap_pvalue is not None else "",) if bootstrap else ()),
        )
        for row in rows
    ]
    aligned(
        header, cells, [row.verdict for row in rows], "verdict at 5% (boot p)" if bootstrap else "verdict at 5%", out
    )
    print(file=out)
    if tested is not None:
        print(f"Tested: {TESTED[tested]}.", file=out)
    if tested == "none":
        print("H0: no serial correlation. 'reject' means significant autocorrelation at the 5% level;", file=out)
        print("the test stays valid under volatility clustering.", file=out)
    else:
        print("H0: no serial correlation (for returns: a martingale difference). 'reject' means significant", file=out)
        print("autocorrelation at the 5% level; the test stays valid under volatility clustering.", file=out)
    if bootstrap:
        print("The verdict follows the bootstrap p-value (boot p).", file=out)


def print_spectral_table(rows: Iterable[SpectralRow], out: TextIO, *, tested: str) -> None:
    """The generalized spectral test's table, aligned as the first test's."""
    rows = list(rows)
    header = ("series", "n", "statistic", "rank", "boot p")
    cells = [
        (row.name, str(row.n), format_statistic(row.statistic), str(row.rank), format_pvalue(row.pvalue))
        for row in rows
    ]
    aligned(header, cells, [row.verdict for row in rows], "verdict at 5%", out)
    print(file=out)
    print(f"Tested: {TESTED[tested]}, by the generalized spectral test.", file=out)
    print("H0: a martingale difference (no single lag predicts the series, linearly or otherwise). 'reject'", file=out)
    print("means some lag predicts it at the 5% level; p-values are wild-bootstrap ones.", file=out)
    if rows:
        first = rows[0]
        print(
            f"Bootstrap: {first.B} {first.weights.capitalize()} replicates per column, seed {first.seed}; form {first.form!r}.",
            file=out,
        )


SPECTRAL_FIELDS = (
    "series",
    "transform",
    "test",
    "form",
    "n",
    "statistic",
    "error_bound",
    "rank",
    "pvalue",
    "bootstrap_B",
    "bootstrap_seed",
    "weights",
    "reject",
)
FIELDS = ("series", "transform", "n", "d", "p_tilde", "statistic", "pvalue", "reject")
#: With a bootstrap: its p-value, and the replicates and seed that repeat it.
BOOTSTRAP_FIELDS = ("bootstrap_pvalue", "bootstrap_B", "bootstrap_seed")


def records(rows: Iterable[Row] | Iterable[SpectralRow], transform: str) -> list[dict[str, object]]:
    """One record per row, floats at full precision (repr round-trips); the
    bootstrap's columns only when the rows carry a bootstrap p-value."""
    given: list[Row | SpectralRow] = list(rows)
    spectral = [row for row in given if isinstance(row, SpectralRow)]
    if spectral:
        return [
            dict(
                zip(
                    SPECTRAL_FIELDS,
                    (
                        row.name,
                        transform,
                        "gst",
                        row.form,
                        row.n,
                        row.statistic,
                        row.error_bound,
                        row.rank,
                        row.pvalue,
                        row.B,
                        row.seed,
                        row.weights,
                        row.reject,
                    ),
                )
            )
            for row in spectral
        ]
    return el_records([row for row in given if isinstance(row, Row)], transform)


def el_records(rows: list[Row], transform: str) -> list[dict[str, object]]:
    """The first test's records."""
    bootstrap = any(row.bootstrap_pvalue is not None for row in rows)
    fields = (*FIELDS, *BOOTSTRAP_FIELDS) if bootstrap else FIELDS
    return [
        dict(
            zip(
                fields,
                (
                    row.name,
                    transform,
                    row.n,
                    row.d,
                    row.p_tilde,
                    row.statistic,
                    row.pvalue,
                    row.reject,
                    row.bootstrap_pvalue,
                    row.bootstrap_B,
                    row.bootstrap_seed,
                ),
            )
        )
        for row in rows
    ]


def write_csv(rows: Iterable[Row] | Iterable[SpectralRow], out: TextIO, transform: str) -> None:
    writer = csv.writer(out, lineterminator="\n")
    table = records(rows, transform)
    writer.writerow(table[0].keys() if table else FIELDS)
    for record in table:
        writer.writerow(
            [
                repr(value) if isinstance(value, float) else str(value).lower() if isinstance(value, bool) else value
                for value in record.values()
            ]
        )


def write_json(rows: Iterable[Row] | Iterable[SpectralRow], out: TextIO, transform: str) -> None:
    json.dump(records(rows, transform), out, indent=1)
    print(file=out)
