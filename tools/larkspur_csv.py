#!/usr/bin/env python3
"""Run the Escanciano–Lobato serial-correlation test on one column of a CSV file.

The test asks whether a series is serially uncorrelated (for returns: a
martingale difference), robust to conditional heteroscedasticity such as
volatility clustering. It chooses the number of lags itself, up to d.

Examples:
  larkspur_csv.py data/EuStockMarkets.csv --column DAX --log-returns
  larkspur_csv.py data/sunspot.year.csv --column value --d 8
"""

from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from el_report import ReportError, differences, log_returns, print_table, read_column, run_test  # noqa: E402


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="larkspur_csv.py",
        description=__doc__.split("\n\n")[0],
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", help="CSV file with a header row")
    parser.add_argument("--column", required=True, help="name of the column to test")
    transform = parser.add_mutually_exclusive_group()
    transform.add_argument("--log-returns", action="store_true",
                           help="test r_t = ln(P_t / P_{t-1}) instead of the values (prices must be positive)")
    transform.add_argument("--diff", action="store_true", help="test first differences x_t - x_{t-1}")
    parser.add_argument("--q", type=float, default=None,
                        help="constant of the penalty switch (default 2.4; must be positive)")
    parser.add_argument("--d", type=int, default=None,
                        help="largest lag considered (default floor(n ** 0.2); at most n)")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        values = read_column(arguments.path, arguments.column)
        name = arguments.column
        if arguments.log_returns:
            values, name = log_returns(values), f"{name} log returns"
        elif arguments.diff:
            values, name = differences(values), f"{name} differences"
        row = run_test(name, values, arguments.q, arguments.d)
    except ReportError as error:
        print(f"larkspur_csv.py: error: {error}", file=sys.stderr)
        return 2
    except (ValueError, TypeError, OSError, OverflowError) as error:
        # The test's own refusals: empty or NaN data, bad q or d, constant series.
        print(f"larkspur_csv.py: error: {error}", file=sys.stderr)
        return 2
    print_table([row], sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
