"""make bench: the cost of a whole wild-bootstrap p-value against the B plain
calls of the test it needs, in one run.

Baseline: B direct calls `EscancianoLobato(a)` on B arrays prepared
beforehand (replicate series made outside the timing). Measured:
`bootstrap_pvalue(x, B, ...)` from the raw series to the p-value (the test on
the data, demeaning, the weights, the B calls, the count). The two alternate;
each figure is the least CPU time of this process over the repeats, which a
machine shared with other work disturbs far less than wall time. Target:
ratio at most 1.2 for the default (Rademacher) weights at B = 999, n = 250
and n = 10,000.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable

import numpy as np

from larkspur import statistical_tests
from larkspur_tools import bootstrap_pvalue

EL = statistical_tests.EscancianoLobato
TARGET = 1.2


def seconds(function: Callable[[], object]) -> float:
    start = time.process_time()
    function()
    return time.process_time() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny inputs only: keeps the script working in make test")
    parser.add_argument("--repeats", type=int, default=21)
    args = parser.parse_args()
    B, sizes, repeats = (99, [250], 3) if args.quick else (999, [250, 10_000], args.repeats)
    rng = np.random.default_rng(2026)
    print(f"numpy {np.__version__}; B = {B}; least CPU time of {repeats} alternating runs")
    print(f"{'n':>7} {'weights':<11} {'B plain calls':>14} {'bootstrap':>11} {'ratio':>7}")
    missed = []
    for n in sizes:
        x = rng.standard_normal(n)
        prepared = [(x - x.mean()) * rng.choice([-1.0, 1.0], n) for _ in range(B)]
        for weights in ("rademacher", "mammen"):
            plain, whole = [], []
            for repeat in range(repeats):
                plain.append(seconds(lambda: [EL(a).statistic for a in prepared]))
                whole.append(seconds(lambda: bootstrap_pvalue(x, B, weights=weights, seed=repeat)))
            base, ours = min(plain), min(whole)
            print(f"{n:>7,} {weights:<11} {base * 1e3:11.2f} ms {ours * 1e3:8.2f} ms {ours / base:6.2f}x")
            if weights == "rademacher" and not args.quick and ours / base > TARGET:
                missed.append(f"n={n:,}: {ours / base:.2f}x the plain calls (target {TARGET}x)")
    for line in missed:
        print(f"TARGET MISSED: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
