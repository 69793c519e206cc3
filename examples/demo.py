"""make demo: the Escanciano–Lobato test on bundled real data.

Log returns of the four EuStockMarkets indices (1991–1998, business days) and
the yearly sunspot numbers (1700–1988). Efficient-market returns should show
no serial correlation; the sunspot cycle must be detected.
"""

import pathlib
import sys

from larkspur_tools.report import log_returns, print_table, read_column, run_test

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main() -> None:
    stocks = str(ROOT / "data" / "EuStockMarkets.csv")
    rows = [
        run_test(f"{index} returns", log_returns(read_column(stocks, index))) for index in ("DAX", "SMI", "CAC", "FTSE")
    ]
    rows.append(run_test("sunspots", read_column(str(ROOT / "data" / "sunspot.year.csv"), "value")))
    print_table(rows, sys.stdout)


if __name__ == "__main__":
    main()
