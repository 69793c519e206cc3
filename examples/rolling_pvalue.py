"""DAX log returns and the Escanciano–Lobato p-value over a rolling window.

A p-value that dips below 5% marks stretches where returns were serially
correlated: evidence against weak-form efficiency in that window, valid even
though volatility clusters. Needs pandas and matplotlib
(pip install "larkspur[plot,pandas]").

    python examples/rolling_pvalue.py [--output rolling_pvalue.png] [--window 250]

The picture goes to ./rolling_pvalue.png unless --output says otherwise.
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np
import pandas as pd
from larkspur_tools import rolling_pvalues

ROOT = pathlib.Path(__file__).resolve().parents[1]
WINDOW = 250  # about one year of trading days


def business_time_index(start_year: int, start_day: int, length: int, per_year: int = 260) -> pd.DatetimeIndex:
    """The data set's own time stamps: observation k at year start_year +
    (start_day - 1 + k) / per_year (business time, weekends and holidays
    omitted), placed on the calendar as a fraction of that year."""
    years = start_year + (start_day - 1 + np.arange(length)) / per_year
    whole = np.floor(years).astype(int)
    starts = pd.to_datetime([f"{year}-01-01" for year in whole])
    lengths = pd.to_datetime([f"{year + 1}-01-01" for year in whole]) - starts
    return pd.DatetimeIndex((starts + lengths * (years - whole)).normalize(), name="date")


def dax_log_returns() -> pd.Series:
    """DAX log returns, indexed by the date of the later price."""
    prices = pd.read_csv(ROOT / "data" / "EuStockMarkets.csv", index_col=0)["DAX"]
    prices.index = business_time_index(1991, 130, len(prices))  # R's ts start c(1991, 130), 260 per year
    return np.log(prices).diff().iloc[1:].rename("DAX log return")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--output",
        type=pathlib.Path,
        default=pathlib.Path("rolling_pvalue.png"),
        help="where to write the picture (default: ./rolling_pvalue.png)",
    )
    parser.add_argument("--window", type=int, default=WINDOW, help="observations per window (default 250)")
    arguments = parser.parse_args()

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    returns = dax_log_returns()
    pvalues = rolling_pvalues(returns, arguments.window)  # one per full window, at its last date
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6), sharex=True, height_ratios=[1, 1])
    top.plot(returns.index, returns.to_numpy(), linewidth=0.6, color="tab:blue")
    top.set_ylabel("DAX log return")
    top.set_title(f"DAX 1991–1998: returns and rolling Escanciano–Lobato test ({arguments.window}-day window)")
    bottom.plot(
        pvalues.index,
        pvalues.to_numpy(),
        linewidth=1.0,
        color="tab:green",
        label="EL p-value of the window ending that day",
    )
    bottom.axhline(0.05, color="tab:red", linestyle="--", linewidth=1.0, label="5% level")
    bottom.set_yscale("log")
    bottom.set_ylabel("p-value (log scale)")
    bottom.set_xlabel("date")
    bottom.legend(loc="lower left")
    figure.tight_layout()
    figure.savefig(arguments.output, dpi=110)
    rejected = int((pvalues < 0.05).sum())
    print(
        f"wrote {arguments.output}; {rejected} of {len(pvalues)} full windows "
        f"({100 * rejected / len(pvalues):.2f}%) reject at 5%"
    )


if __name__ == "__main__":
    main()
