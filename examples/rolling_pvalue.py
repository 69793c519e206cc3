"""DAX log returns and the Escanciano–Lobato p-value over a rolling window.

A p-value that dips below 5% marks stretches where returns were serially
correlated: evidence against weak-form efficiency in that window, valid even
though volatility clusters. Needs matplotlib (pip install "larkspur[plot]").

    python examples/rolling_pvalue.py [output.png]
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np

from larkspur import statistical_tests

ROOT = pathlib.Path(__file__).resolve().parents[1]
WINDOW = 250  # about one year of trading days


def dax_log_returns() -> np.ndarray:
    prices = np.genfromtxt(ROOT / "data" / "EuStockMarkets.csv", delimiter=",", names=True)["DAX"]
    return np.diff(np.log(prices))


def rolling_pvalues(returns: np.ndarray, window: int = WINDOW) -> np.ndarray:
    """p-value of the window ending at each day (NaN before the first full window)."""
    pvalues = np.full(len(returns), np.nan)
    for end in range(window, len(returns) + 1):
        pvalues[end - 1] = statistical_tests.EscancianoLobato(returns[end - window:end]).pvalue
    return pvalues


def main(output: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    returns = dax_log_returns()
    pvalues = rolling_pvalues(returns)
    days = np.arange(1, len(returns) + 1)
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6), sharex=True, height_ratios=[1, 1])
    top.plot(days, returns, linewidth=0.6, color="tab:blue")
    top.set_ylabel("DAX log return")
    top.set_title("DAX 1991–1998: returns and rolling Escanciano–Lobato test (250-day window)")
    bottom.plot(days, pvalues, linewidth=1.0, color="tab:green", label="EL p-value")
    bottom.axhline(0.05, color="tab:red", linestyle="--", linewidth=1.0, label="5% level")
    bottom.set_yscale("log")
    bottom.set_ylabel("p-value (log scale)")
    bottom.set_xlabel("trading day")
    bottom.legend(loc="lower left")
    figure.tight_layout()
    figure.savefig(output, dpi=110)
    below = np.nanmean(pvalues < 0.05)
    print(f"wrote {output}; {100 * below:.1f}% of the windows reject at 5%")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "dax_rolling_pvalue.png")
