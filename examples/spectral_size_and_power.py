"""Two questions, two tests: how often the Escanciano-Lobato test (asymptotic
p-value) and the generalized spectral test (wild-bootstrap p-value, Mammen
weights) reject at the 5% level, by Monte Carlo.

Martingale differences (the null of both): i.i.d. normal, and GARCH(1,1)
with t5 innovations (omega 0.05, alpha 0.1, beta 0.85; uncorrelated, with
clustered volatility and heavy tails). Not martingale differences:
y_t = e_t + 0.5 (e_{t-1}^2 - 1), uncorrelated but predictable from y_{t-1},
and AR(1) with phi = 0.2. The spectral test rejects when its p-value is at
most 5% ((B + 1) * 5% an integer: the exact level of a Monte Carlo test).
Prints a Markdown table.

    python examples/spectral_size_and_power.py [--reps 1000] [--boot 199] [--n 250] [--seed 2024]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from larkspur_tools import gen_spectral
from size_and_power import BURN_IN, ar1, garch_paths, white_noise

from larkspur import statistical_tests

LEVEL = 0.05
COLUMNS = ["Escanciano-Lobato", "generalized spectral"]


def garch_t5(
    rng: np.random.Generator, reps: int, n: int, omega: float = 0.05, alpha: float = 0.1, beta: float = 0.85
) -> np.ndarray:
    """reps GARCH(1,1) paths side by side, Student t5 shocks scaled to
    variance 1 (finite fourth moment: beta^2 + 2 alpha beta + 9 alpha^2 < 1)."""
    return garch_paths(rng.standard_t(5, (reps, n + BURN_IN)) / np.sqrt(5 / 3), omega, alpha, beta)


def squared_lag(rng: np.random.Generator, reps: int, n: int) -> np.ndarray:
    """y_t = e_t + 0.5 (e_{t-1}^2 - 1): no autocorrelation, E[y_t | y_{t-1}] not 0."""
    e = rng.standard_normal((reps, n + 1))
    return e[:, 1:] + 0.5 * (e[:, :-1] ** 2 - 1)


MODELS = {
    "i.i.d. normal": white_noise,
    "GARCH(1,1), t5": garch_t5,
    "e_t + 0.5 (e_{t-1}^2 - 1)": squared_lag,
    "AR(1), phi = 0.2": ar1,
}


def rejections(name: str, n: int, reps: int, boot: int, seed: int) -> np.ndarray:
    """Rejection counts of both tests over reps series of one model; each
    model and n has its own streams, so the counts do not depend on which
    other cells run."""
    sequence = np.random.SeedSequence(seed, spawn_key=(list(MODELS).index(name), n))
    data_seed, boot_seed = sequence.spawn(2)
    series = MODELS[name](np.random.default_rng(data_seed), reps, n)
    seeds = boot_seed.generate_state(reps, np.uint64)
    counts = np.zeros(len(COLUMNS), dtype=np.int64)
    for row, seed_of_row in zip(series, seeds):
        counts[0] += statistical_tests.EscancianoLobato(row).pvalue < LEVEL
        counts[1] += gen_spectral(row, boot, seed=int(seed_of_row), threads=1).pvalue <= LEVEL
    return counts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=1000, help="replications per model (default 1,000)")
    parser.add_argument("--boot", type=int, default=199, help="bootstrap replicates per test (default 199)")
    parser.add_argument("--n", type=int, default=250, help="length of each series (default 250)")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    start = time.perf_counter()
    print(
        f"| rejections at 5%, n = {args.n}, {args.reps:,} replications, B = {args.boot} | " + " | ".join(COLUMNS) + " |"
    )
    print("|---|" + "---:|" * len(COLUMNS))
    for name in MODELS:
        rates = rejections(name, args.n, args.reps, args.boot, args.seed) / args.reps
        print(f"| {name} | " + " | ".join(f"{100 * rate:.1f}%" for rate in rates) + " |")
    print(f"\n({time.perf_counter() - start:.0f} s, seed {args.seed})")


if __name__ == "__main__":
    main()
