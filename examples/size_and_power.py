"""How often the tests reject at the 5% level: size under the null, power
against AR(1), by Monte Carlo, for the asymptotic p-value, the wild bootstrap
(Rademacher and Mammen weights) and Ljung–Box at 5 and 10 lags.

Null: Gaussian white noise, and GARCH(1,1) (omega 0.05, alpha 0.1, beta 0.85;
serially uncorrelated but with clustered volatility). Alternative: AR(1) with
phi = 0.2 and Gaussian noise. Every series gets the test's defaults (q = 2.4,
d = floor(n ** 0.2)); each bootstrap draws `--boot` replicates and rejects
when its p-value is at most 5% (with (B + 1) * 5% an integer, the exact level
of a Monte Carlo test). Prints a Markdown table; with 20,000 replications a
rate of 5% has a standard error of 0.15 points (95% interval +-0.3).

    python examples/size_and_power.py [--reps 20000] [--boot 299] [--seed 2024] [--jobs 2]
"""

from __future__ import annotations

import argparse
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from larkspur_tools import bootstrap_pvalue, chi2_upper_tail

from larkspur import statistical_tests

SIZES = (100, 250, 1000)
BURN_IN = 200
CHUNK = 500
LEVEL = 0.05
LB_LAGS = (5, 10)
COLUMNS = ["asymptotic", "Rademacher", "Mammen", "Ljung-Box 5", "Ljung-Box 10"]


def white_noise(rng: np.random.Generator, reps: int, n: int) -> np.ndarray:
    return rng.standard_normal((reps, n))


def garch(
    rng: np.random.Generator, reps: int, n: int, omega: float = 0.05, alpha: float = 0.1, beta: float = 0.85
) -> np.ndarray:
    """reps GARCH(1,1) paths side by side, started at the stationary variance."""
    return garch_paths(rng.standard_normal((reps, n + BURN_IN)), omega, alpha, beta)


def garch_paths(shocks: np.ndarray, omega: float = 0.05, alpha: float = 0.1, beta: float = 0.85) -> np.ndarray:
    """GARCH(1,1) paths driven by rows of unit-variance shocks, the first BURN_IN steps dropped."""
    out = np.empty_like(shocks)
    variance = np.full(len(shocks), omega / (1 - alpha - beta))
    previous = np.zeros(len(shocks))
    for t in range(shocks.shape[1]):
        variance = omega + alpha * previous * previous + beta * variance
        previous = out[:, t] = np.sqrt(variance) * shocks[:, t]
    return out[:, BURN_IN:]


def ar1(rng: np.random.Generator, reps: int, n: int, phi: float = 0.2) -> np.ndarray:
    shocks = rng.standard_normal((reps, n + BURN_IN))
    out = np.empty_like(shocks)
    previous = np.zeros(reps)
    for t in range(n + BURN_IN):
        previous = out[:, t] = phi * previous + shocks[:, t]
    return out[:, BURN_IN:]


MODELS = {"white noise (size)": white_noise, "GARCH(1,1) (size)": garch, "AR(1), phi = 0.2 (power)": ar1}


def ljung_box_pvalues(series: np.ndarray, lags: int) -> np.ndarray:
    n = series.shape[1]
    e = series - series.mean(axis=1, keepdims=True)
    denominator = np.einsum("ij,ij->i", e, e)
    q = sum(((np.einsum("ij,ij->i", e[:, :-k], e[:, k:]) / denominator) ** 2) / (n - k) for k in range(1, lags + 1))
    return np.array([chi2_upper_tail(float(value), lags) for value in n * (n + 2) * q])


def rejections(task: tuple[str, int, int, int, int]) -> np.ndarray:
    """Rejection counts of every column on one chunk of replications."""
    name, n, reps, boot, seed = task
    sequence = np.random.SeedSequence(seed, spawn_key=(list(MODELS).index(name), n))
    data_seed, boot_seed = sequence.spawn(2)
    series = MODELS[name](np.random.default_rng(data_seed), reps, n)
    boot_seeds = boot_seed.generate_state(2 * reps, np.uint64)
    counts = np.zeros(len(COLUMNS), dtype=np.int64)
    for i, row in enumerate(series):
        counts[0] += statistical_tests.EscancianoLobato(row).pvalue < LEVEL
        counts[1] += bootstrap_pvalue(row, boot, weights="rademacher", seed=int(boot_seeds[2 * i])) <= LEVEL
        counts[2] += bootstrap_pvalue(row, boot, weights="mammen", seed=int(boot_seeds[2 * i + 1])) <= LEVEL
    for column, lags in enumerate(LB_LAGS, start=3):
        counts[column] = int(np.count_nonzero(ljung_box_pvalues(series, lags) < LEVEL))
    return counts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=20_000, help="replications per cell (default 20,000)")
    parser.add_argument("--boot", type=int, default=299, help="bootstrap replicates per test (default 299)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--jobs", type=int, default=1, help="worker processes (default 1)")
    args = parser.parse_args()
    start = time.perf_counter()
    cells = [(name, n) for name in MODELS for n in SIZES]
    # Chunks have their own seeds (seed, chunk), so the table does not
    # depend on --jobs.
    tasks = {
        (name, n): [
            (name, n, min(CHUNK, args.reps - first), args.boot, args.seed * 1_000_003 + first)
            for first in range(0, args.reps, CHUNK)
        ]
        for name, n in cells
    }
    flat = [task for cell in cells for task in tasks[cell]]
    if args.jobs > 1:
        with ProcessPoolExecutor(args.jobs) as pool:
            results = list(pool.map(rejections, flat))
    else:
        results = [rejections(task) for task in flat]
    totals: dict[tuple[str, int], np.ndarray] = {cell: np.zeros(len(COLUMNS), dtype=np.int64) for cell in cells}
    for task, counts in zip(flat, results):
        totals[task[0], task[1]] += counts
    print(f"| rejections at 5%, {args.reps:,} replications, B = {args.boot} | n | " + " | ".join(COLUMNS) + " |")
    print("|---|---:|" + "---:|" * len(COLUMNS))
    for name, n in cells:
        rates = totals[name, n] / args.reps
        print(f"| {name} | {n:,} | " + " | ".join(f"{100 * rate:.1f}%" for rate in rates) + " |")
    print(f"\n({time.perf_counter() - start:.0f} s, seed {args.seed})")


if __name__ == "__main__":
    main()
