"""Reading columns, transforms, running the test and printing one table: the
pieces of the command-line tool and the demo."""

from __future__ import annotations

import csv
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, TextIO

from larkspur import statistical_tests

from ._core import default_d

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

SIGNIFICANCE = 0.05


class ReportError(Exception):
    """A user mistake (missing file, column, bad value), reported in one line."""


@dataclass(frozen=True)
class Row:
    name: str
    n: int
    d: int
    p_tilde: int
    statistic: float
    pvalue: float
    bootstrap_pvalue: float | None = None

    @property
    def verdict(self) -> str:
        return "reject" if self.pvalue < SIGNIFICANCE else "do not reject"


def run_test(name: str, values: Sequence[float] | npt.NDArray[np.float64], q: float | None = None,
             d: int | None = None) -> Row:
    result = statistical_tests.EscancianoLobato(values, q, d)
    return Row(name, len(values), d if d is not None else default_d(len(values)), result.p_tilde,
               result.statistic, result.pvalue)


# Headers of a first column that only numbers the rows (R's and pandas' CSV writers).
ROW_NAME_HEADERS = ("", "rownames", "index", "Unnamed: 0")


def read_column(path: str, column: str) -> list[float]:
    return read_columns(path, [column])[column]


def read_columns(path: str, columns: Sequence[str] | None = None) -> dict[str, list[float]]:
    """The named columns of a CSV or Parquet file as floats; with `columns`
    None, every numeric column (a first row-name column excluded)."""
    if path.endswith((".parquet", ".pq")):
        return _read_parquet(path, columns)
    try:
        with open(path, newline="", encoding="utf-8") as handle:
            reader = csv.DictReader(handle)
            fields = list(reader.fieldnames or [])
            for column in columns or []:
                if column not in fields:
                    raise ReportError(f"{path}: no column {column!r} (columns: {', '.join(fields)})")
            records = list(enumerate(reader, start=2))
    except FileNotFoundError:
        raise ReportError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise ReportError(f"{path}: is a directory") from None
    except UnicodeDecodeError:
        raise ReportError(f"{path}: not a UTF-8 text file") from None
    if columns is None:
        candidates = fields[1:] if fields and fields[0] in ROW_NAME_HEADERS else fields
        columns = [name for name in candidates if all(_is_number(record[name]) for _, record in records)]
        if not columns:
            raise ReportError(f"{path}: no numeric column (columns: {', '.join(fields)})")
    table: dict[str, list[float]] = {}
    for column in columns:
        values = table[column] = []
        for line, record in records:
            text = (record[column] or "").strip()
            try:
                values.append(float(text))
            except ValueError:
                raise ReportError(f"{path}:{line}: column {column!r} holds a non-numeric value {text!r}") from None
    return table


def _is_number(text: str | None) -> bool:
    try:
        float(text or "")
    except ValueError:
        return False
    return True


def _read_parquet(path: str, columns: Sequence[str] | None) -> dict[str, list[float]]:
    try:
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise ReportError("reading Parquet needs pyarrow (pip install pyarrow)") from None
    try:
        table = pq.read_table(path)
    except FileNotFoundError:
        raise ReportError(f"{path}: no such file") from None
    except (OSError, pa.ArrowException) as error:
        raise ReportError(f"{path}: not a readable Parquet file ({error})") from None
    fields = list(table.column_names)
    if columns is None:
        numeric = (pa.types.is_integer, pa.types.is_floating)
        columns = [name for name in fields if name not in ROW_NAME_HEADERS
                   and any(test(table.schema.field(name).type) for test in numeric)]
        if not columns:
            raise ReportError(f"{path}: no numeric column (columns: {', '.join(fields)})")
    result: dict[str, list[float]] = {}
    for column in columns:
        if column not in fields:
            raise ReportError(f"{path}: no column {column!r} (columns: {', '.join(fields)})")
        try:
            # Nulls become NaN, which the test refuses with its own message.
            result[column] = [float("nan") if value is None else float(value)
                              for value in table.column(column).to_pylist()]
        except (TypeError, ValueError):
            raise ReportError(f"{path}: column {column!r} is not numeric") from None
    return result


def log_returns(prices: Sequence[float]) -> list[float]:
    """r_t = ln(P_t / P_{t-1}); prices must be positive."""
    if any(not price > 0 for price in prices):
        raise ReportError("log returns need strictly positive prices")
    return [math.log(current / previous) for previous, current in zip(prices, prices[1:])]


def differences(values: Sequence[float]) -> list[float]:
    return [current - previous for previous, current in zip(values, values[1:])]


def format_pvalue(pvalue: float) -> str:
    return f"{pvalue:.5f}" if pvalue == 0.0 or pvalue >= 1e-4 else f"{pvalue:.2e}"


def print_table(rows: Iterable[Row], out: TextIO) -> None:
    rows = list(rows)
    width = max([len("series"), *(len(row.name) for row in rows)])
    bootstrap = any(row.bootstrap_pvalue is not None for row in rows)
    boot_header = f" {'boot p':>8}" if bootstrap else ""
    header = (f"{'series':<{width}} {'n':>7} {'d':>3} {'p~':>3} {'statistic':>12} {'p-value':>10}{boot_header}"
              "  verdict at 5%")
    print(header, file=out)
    print("-" * len(header), file=out)
    for row in rows:
        boot = f" {row.bootstrap_pvalue:>8.4f}" if row.bootstrap_pvalue is not None else (" " * 9 if bootstrap else "")
        print(f"{row.name:<{width}} {row.n:>7} {row.d:>3} {row.p_tilde:>3} {row.statistic:>12.5f} "
              f"{format_pvalue(row.pvalue):>10}{boot}  {row.verdict}", file=out)
    print(file=out)
    print("H0: no serial correlation (for returns: a martingale difference). 'reject' means significant", file=out)
    print("autocorrelation at the 5% level; the test stays valid under volatility clustering.", file=out)
