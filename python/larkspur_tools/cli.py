"""Run the Escanciano–Lobato serial-correlation test on columns of a CSV or Parquet file.

The test asks whether a series is serially uncorrelated (for returns: a
martingale difference), robust to conditional heteroscedasticity such as
volatility clustering. It chooses the number of lags itself, up to d. One
table row per column; without --column, every numeric column is tested (a
first column headed "rownames", "index" or nothing is taken as row names).
Parquet files (.parquet, .pq) need pyarrow.

Examples:
  larkspur-csv data/EuStockMarkets.csv --log-returns
  larkspur-csv data/EuStockMarkets.csv --column DAX --column FTSE --log-returns
  larkspur-csv data/sunspot.year.csv --column value --d 8
  larkspur-csv data/EuStockMarkets.csv --log-returns --bootstrap 999 --seed 1
"""

from __future__ import annotations

import argparse
import dataclasses
import sys

import numpy as np

from .analysis import bootstrap_column
from .report import ReportError, differences, log_returns, print_table, read_columns, run_test

PROG = "larkspur-csv"


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=__doc__.split("\n\n")[0],
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", help="CSV file with a header row, or a Parquet file")
    parser.add_argument("--column", action="append", default=None,
                        help="name of a column to test (repeat for several; default: every numeric column)")
    transform = parser.add_mutually_exclusive_group()
    transform.add_argument("--log-returns", action="store_true",
                           help="test r_t = ln(P_t / P_{t-1}) instead of the values (prices must be positive)")
    transform.add_argument("--diff", action="store_true", help="test first differences x_t - x_{t-1}")
    parser.add_argument("--q", type=float, default=None,
                        help="constant of the penalty switch (default 2.4; must be positive)")
    parser.add_argument("--d", type=int, default=None,
                        help="largest lag considered (default floor(n ** 0.2); at most n)")
    parser.add_argument("--bootstrap", type=int, default=0, metavar="B",
                        help="add a wild-bootstrap p-value from B Rademacher replicates (reliable in short series)")
    parser.add_argument("--seed", type=int, default=None, metavar="S",
                        help="seed of the bootstrap (default: a fresh one, printed)")
    arguments = parser.parse_args(argv)
    if arguments.bootstrap < 0:
        parser.error("--bootstrap must not be negative")
    if arguments.seed is not None and arguments.seed < 0:
        parser.error("--seed must not be negative")
    return arguments


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    if arguments.bootstrap and arguments.seed is None:
        arguments.seed = int(np.random.SeedSequence().generate_state(1, np.uint32)[0])
    rows = []
    try:
        for name, values in read_columns(arguments.path, arguments.column).items():
            if arguments.log_returns:
                values, name = log_returns(values), f"{name} log returns"
            elif arguments.diff:
                values, name = differences(values), f"{name} differences"
            try:
                row = run_test(name, values, arguments.q, arguments.d)
                rows.append(dataclasses.replace(row, bootstrap_pvalue=bootstrap_column(
                    values, arguments.bootstrap, arguments.seed, arguments.q, arguments.d)))
            except (ValueError, TypeError, OSError, OverflowError) as error:
                # The test's own refusals: empty or NaN data, bad q or d, constant series.
                raise ReportError(f"{name}: {error}") from None
    except ReportError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    print_table(rows, sys.stdout)
    if arguments.bootstrap:
        print(f"Bootstrap: {arguments.bootstrap} Rademacher replicates per column, seed {arguments.seed}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
