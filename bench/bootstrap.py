"""make bench: the cost of a whole wild-bootstrap p-value against the B plain
calls of the test it needs, in one run.

Baseline: B direct calls `EscancianoLobato(a)` on B arrays prepared
beforehand (replicate series made outside the timing), on this thread.
Measured: `bootstrap_pvalue(x, B, ...)` from the raw series to the p-value
(the test on the data, demeaning, the weights, the replicates' batches, the
count), once with el_many's default threads (every CPU) and once forced to
one thread. The three alternate; each figure is the least over the repeats,
of wall time and, separately, of the process's CPU time (all its threads).

Read them together: on one thread both clocks compare like with like, and
CPU time is the one a machine shared with other work disturbs least. On
every CPU, wall time is what a user waits for, while CPU time adds the
threads' start-up and hand-over to the work. Targets, at B = 999, n = 250
and n = 10,000, on one thread in CPU time and on every CPU in wall time:
ratio at most 1.2 for the default (Rademacher) weights, 1.3 for Mammen's
(a random byte per value, where Rademacher needs one bit).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable

import numpy as np
from larkspur_tools import bootstrap_pvalue

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato
TARGETS = {"rademacher": 1.2, "mammen": 1.3}


def seconds(function: Callable[[], object]) -> tuple[float, float]:
    """(wall, CPU) seconds of one call; CPU time counts every thread of the process."""
    wall, cpu = time.perf_counter(), time.process_time()
    function()
    return time.perf_counter() - wall, time.process_time() - cpu


def bootstrap(x: np.ndarray, B: int, weights: str, seed: int, threads: int | None) -> float:
    return bootstrap_pvalue(x, B, weights=weights, seed=seed, threads=threads)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny inputs only: keeps the script working in make test")
    parser.add_argument("--repeats", type=int, default=21)
    args = parser.parse_args()
    B, sizes, repeats = (99, [250], 3) if args.quick else (999, [250, 10_000], args.repeats)
    cpus = getattr(os, "process_cpu_count", os.cpu_count)() or 1
    rng = np.random.default_rng(2026)
    print(
        f"numpy {np.__version__}; B = {B}; {cpus} CPUs; least wall and least CPU time of {repeats} alternating "
        f"runs; load average {os.getloadavg()[0]:.2f}"
    )
    print(
        f"{'n':>7} {'weights':<11} {'threads':>7} {'plain wall/CPU ms':>19} {'bootstrap wall/CPU ms':>23} "
        f"{'wall ratio':>10} {'CPU ratio':>10}"
    )
    missed = []
    for n in sizes:
        x = rng.standard_normal(n)
        prepared = [(x - x.mean()) * rng.choice([-1.0, 1.0], n) for _ in range(B)]
        for weights in ("rademacher", "mammen"):
            plain: list[tuple[float, float]] = []
            whole: dict[int | None, list[tuple[float, float]]] = {None: [], 1: []}
            for repeat in range(repeats):
                plain.append(seconds(lambda: [EL(a).statistic for a in prepared]))
                for threads, runs in whole.items():
                    runs.append(seconds(lambda: bootstrap(x, B, weights, repeat, threads)))
            base_wall, base_cpu = (min(times) for times in zip(*plain))
            for threads, runs in whole.items():
                wall, cpu = (min(times) for times in zip(*runs))
                wall_ratio, cpu_ratio = wall / base_wall, cpu / base_cpu
                shown = "all" if threads is None else str(threads)
                print(
                    f"{n:>7,} {weights:<11} {shown:>7} {base_wall * 1e3:9.2f}/{base_cpu * 1e3:<9.2f} "
                    f"{wall * 1e3:11.2f}/{cpu * 1e3:<11.2f} {wall_ratio:9.2f}x {cpu_ratio:9.2f}x"
                )
                measure, ratio = ("wall", wall_ratio) if threads is None else ("CPU", cpu_ratio)
                if not args.quick and ratio > TARGETS[weights]:
                    on = "every CPU" if threads is None else "one thread"
                    missed.append(
                        f"n={n:,}, {weights}, {on}: {ratio:.2f}x the plain calls in {measure} time "
                        f"(target {TARGETS[weights]}x)"
                    )
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    for line in missed:
        print(f"TARGET MISSED: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
