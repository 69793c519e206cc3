"""Shared pieces of the demo and the CSV tool: reading columns, transforms,
running the test and printing one table. Not part of the larkspur module."""

from __future__ import annotations

import csv
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TextIO

from larkspur import statistical_tests

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

    @property
    def verdict(self) -> str:
        return "reject" if self.pvalue < SIGNIFICANCE else "do not reject"


def default_lag(n: int) -> int:
    """The lag the test derives when d is not given: floor(n ** 0.2)."""
    return int(math.pow(float(n), 0.2))


def run_test(name: str, values: Sequence[float], q: float | None = None, d: int | None = None) -> Row:
    result = statistical_tests.EscancianoLobato(values, q, d)
    return Row(name, len(values), d if d is not None else default_lag(len(values)), result.p_tilde,
               result.statistic, result.pvalue)


def read_column(path: str, column: str) -> list[float]:
    try:
        with open(path, newline="", encoding="utf-8") as handle:
            reader = csv.DictReader(handle)
            if reader.fieldnames is None or column not in reader.fieldnames:
                available = ", ".join(reader.fieldnames or [])
                raise ReportError(f"{path}: no column {column!r} (columns: {available})")
            values = []
            for line, record in enumerate(reader, start=2):
                text = (record[column] or "").strip()
                try:
                    values.append(float(text))
                except ValueError:
                    raise ReportError(f"{path}:{line}: column {column!r} holds a non-numeric value {text!r}") from None
            return values
    except FileNotFoundError:
        raise ReportError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise ReportError(f"{path}: is a directory") from None
    except UnicodeDecodeError:
        raise ReportError(f"{path}: not a UTF-8 text file") from None


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
    header = f"{'series':<{width}} {'n':>7} {'d':>3} {'p~':>3} {'statistic':>12} {'p-value':>10}  verdict at 5%"
    print(header, file=out)
    print("-" * len(header), file=out)
    for row in rows:
        print(f"{row.name:<{width}} {row.n:>7} {row.d:>3} {row.p_tilde:>3} {row.statistic:>12.5f} "
              f"{format_pvalue(row.pvalue):>10}  {row.verdict}", file=out)
    print(file=out)
    print("H0: no serial correlation (for returns: a martingale difference). 'reject' means significant", file=out)
    print("autocorrelation at the 5% level; the test stays valid under volatility clustering.", file=out)
