"""make bench: el_many against the Python loops it replaces, all in one run.

Four ratios, each of two timings taken here, on the same data, best of
`--repeats`:

  * 10,000 series of 250, one thread, against a loop of class calls;
  * the same on two threads against one;
  * 16,000 series of 2,500 on two threads against the loop;
  * rolling p-values (window 250) of 100,000 values against the loop that
    rolling_pvalues ran before it used el_many;
  * el_many on the 40,000 rows of a 40,000 x 30 array given as views
    (list(X), all borrowed from one buffer) against the same rows as copies.

and, alone, the time of el_many on 10^6 views of one buffer.

Beside each: the CPU seconds of the process in el_many's fastest run
(two threads on two free cores: about twice the wall time) and the limit:
the native core's time per series (kernel_bench --series: series of one
length tested side by side, the path el_many takes, on one thread) times
the number of series, divided by the threads. Results are checked bit for bit against the loop.
The machine's load average is printed before and after: other processes
disturb the thread scaling.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd
from larkspur_tools import default_d, el_many, rolling_pvalues

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato
KERNEL_BENCH = pathlib.Path(__file__).resolve().parents[1] / "build" / "native" / "kernel_bench"


CPU: dict[int, float] = {}  # id of a result -> CPU seconds of the process during the fastest run


def best(repeats: int, run: Callable[[], Any]) -> tuple[float, Any]:
    """Wall seconds of the fastest run and its result (its CPU seconds in CPU)."""
    fastest, result, cpu = float("inf"), None, 0.0
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        value = run()
        wall, used = time.perf_counter() - start, time.process_time() - start_cpu
        if wall < fastest:
            fastest, result, cpu = wall, value, used
    CPU[id(result)] = cpu
    return fastest, result


def core_seconds(n: int, count: int) -> float:
    """kernel_bench's median time per series of n tested 8 side by side."""
    sample = str(max(1, min(count, 2_000_000 // n)))
    out = subprocess.run(
        [str(KERNEL_BENCH), "--series", str(n), str(default_d(n)), sample], capture_output=True, text=True, check=True
    )
    return float(out.stdout.split()[1])


def loop(panel: np.ndarray) -> np.ndarray:
    """The Python loop of class calls, one row at a time (read in place)."""
    return np.array([(r.p_tilde, r.statistic, r.pvalue) for r in map(EL, panel)], dtype=object)


def same_bits(rows: np.ndarray, batch: Any) -> bool:
    return (
        np.array_equal(rows[:, 0].astype(np.int64), batch.p_tilde)
        and np.array_equal(rows[:, 1].astype(np.float64).view(np.int64), batch.statistic.view(np.int64))
        and np.array_equal(rows[:, 2].astype(np.float64).view(np.int64), batch.pvalue.view(np.int64))
    )


def old_rolling(values: np.ndarray, window: int) -> pd.Series:
    """rolling_pvalues as it was: one class call per window."""
    index = pd.RangeIndex(len(values))
    ends = range(window, len(values) + 1)
    pvalues = [EL(values[end - window : end]).pvalue for end in ends]
    return pd.Series(pvalues, index=index[[end - 1 for end in ends]], name="pvalue", dtype="float64")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes: keeps the script working in make test")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    short, long_, rolling_n = (10_000, 16_000, 100_000) if not args.quick else (200, 100, 2_000)
    repeats = 1 if args.quick else args.repeats
    rng = np.random.default_rng(20)
    print(f"{os.cpu_count()} CPUs, load average before {os.getloadavg()[0]:.2f}")
    rows: list[tuple[str, float, float, str, float, float]] = []

    panel = rng.standard_normal((short, 250))
    t_loop, expected = best(repeats, lambda: loop(panel))
    t_one, one = best(repeats, lambda: el_many(panel, axis=1, threads=1))
    t_two, two = best(repeats, lambda: el_many(panel, axis=1, threads=2))
    assert same_bits(expected, one) and same_bits(expected, two), "el_many differs from the class"
    limit = core_seconds(250, short) * short
    rows.append((f"{short:,} x 250, 1 thread / loop", t_one, t_one / t_loop, "<= 0.40", CPU[id(one)], limit))
    rows.append((f"{short:,} x 250, 1 / 2 threads", t_two, t_one / t_two, ">= 1.80", CPU[id(two)], limit / 2))

    panel = rng.standard_normal((long_, 2500))
    t_loop, expected = best(min(repeats, 3), lambda: loop(panel))
    t_two, two = best(repeats, lambda: el_many(panel, axis=1, threads=2))
    assert same_bits(expected, two), "el_many differs from the class"
    limit = core_seconds(2500, long_) * long_ / 2
    rows.append((f"{long_:,} x 2,500, 2 threads vs loop", t_two, t_loop / t_two, ">= 1.80", CPU[id(two)], limit))
    panel = None  # the long panel's 320 MB freed before the views

    values = rng.standard_normal(rolling_n)
    t_old, old = best(min(repeats, 3), lambda: old_rolling(values, 250))
    t_new, new = best(repeats, lambda: rolling_pvalues(values, 250))
    assert np.array_equal(old.to_numpy().view(np.int64), new.to_numpy().view(np.int64)) and old.index.equals(new.index)
    windows = rolling_n - 250 + 1
    limit = core_seconds(250, windows) * windows / (os.process_cpu_count() or 1)
    rows.append((f"rolling {rolling_n:,}, window 250 vs old", t_new, t_old / t_new, ">= 3.00", CPU[id(new)], limit))

    # Views of one buffer: every row of X borrowed shared at once costs
    # what copies of the rows cost (the registry never compares one shared
    # borrow with another); and a million views of one buffer take seconds.
    rows_n = 40_000 if not args.quick else 2_000
    X = rng.standard_normal((rows_n, 30))
    t_views, views = best(repeats, lambda: el_many(list(X)))
    t_copies, copies = best(repeats, lambda: el_many([row.copy() for row in X]))
    assert np.array_equal(views.pvalue.view(np.int64), copies.pvalue.view(np.int64))
    rows.append(
        (f"{rows_n:,} row views / copies", t_views, t_views / t_copies, "<= 2.00", CPU[id(views)], float("nan"))
    )
    many = 1_000_000 if not args.quick else 20_000
    row_views = list(rng.standard_normal((many, 8)))
    start = time.perf_counter()
    el_many(row_views)
    print(f"{many:,} row views of one buffer: {time.perf_counter() - start:.2f} s")
    del row_views

    print(f"\n{'case':<36} {'el_many':>10} {'CPU':>10} {'ratio':>9} {'target':>8} {'limit':>10}")
    for name, seconds, ratio, target, cpu, limit in rows:
        print(
            f"{name:<36} {seconds * 1e3:>8.1f}ms {cpu * 1e3:>8.1f}ms {ratio:>8.2f}x {target:>8} {'-' if np.isnan(limit) else f'{limit * 1e3:.1f}ms':>10}"
        )
    print(f"\nload average after {os.getloadavg()[0]:.2f}; limit = kernel_bench's time per series x count / threads")


if __name__ == "__main__":
    main()
