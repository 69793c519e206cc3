"""This test beside Ljung–Box on GARCH returns: how often each rejects a true
null of no serial correlation at the 5% level, by Monte Carlo.

GARCH(1,1) returns are serially uncorrelated, but their volatility clusters,
as daily returns' does. Ljung–Box assumes i.i.d. observations and so rejects
far more often than 5%; the Escanciano–Lobato test stays near 5%. Needs
statsmodels (for its acorr_ljungbox). Prints a Markdown table.

    python examples/ljung_box_garch.py [--reps 2000] [--n 1000] [--seed 7]
"""

from __future__ import annotations

import argparse

import numpy as np
from size_and_power import garch, white_noise
from statsmodels.stats.diagnostic import acorr_ljungbox

from larkspur import statistical_tests

LAGS = (1, 5, 10)
MODELS = {
    "white noise": white_noise,
    "GARCH(1,1), alpha 0.10, beta 0.85": lambda rng, reps, n: garch(rng, reps, n, 0.05, 0.10, 0.85),
    "GARCH(1,1), alpha 0.20, beta 0.75": lambda rng, reps, n: garch(rng, reps, n, 0.05, 0.20, 0.75),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=2000, help="replications per row (default 2,000)")
    parser.add_argument("--n", type=int, default=1000, help="observations per series (default 1,000)")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    print(
        f"| rejections at 5%, n = {args.n:,}, {args.reps:,} replications | this test | "
        + " | ".join(f"Ljung–Box, {lags} lag{'s' * (lags > 1)}" for lags in LAGS)
        + " |"
    )
    print("|---|---:|" + "---:|" * len(LAGS))
    for name, model in MODELS.items():
        series = model(rng, args.reps, args.n)
        el = np.mean([statistical_tests.EscancianoLobato(row).pvalue < 0.05 for row in series])
        lb = np.mean([acorr_ljungbox(row, lags=list(LAGS))["lb_pvalue"].to_numpy() < 0.05 for row in series], axis=0)
        print(f"| {name} | {100 * el:.1f}% | " + " | ".join(f"{100 * rate:.1f}%" for rate in lb) + " |")


if __name__ == "__main__":
    main()
