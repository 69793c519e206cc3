"""make bench: many series in one process, on a Dask LocalCluster and with joblib.

The work is what a partitioned data set gives: each task gets the name of a
partition (here a seed), makes its series on the worker (here in chunks of
`--chunk` series, as a reader returns row groups) and tests each one; only
the name goes out and only (p_tilde, statistic, pvalue) tuples come back.
Every engine runs the same partitions, and its results are checked against
the plain loop bit for bit. Throughputs are the best of `--repeats` runs, all
in this one run. Worker CPU seconds are summed from inside the tasks, so that
a machine busy with other work shows as wall time above CPU time.
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable, Iterator

import numpy as np
from larkspur_tools import dask_many, dask_partitions, el_partition, el_tuple

LENGTH = 2500
# Dask's nanny starts workers with MALLOC_TRIM_THRESHOLD_=65536, which stops
# glibc from raising its mmap threshold: every array of 128 KiB to 32 MiB is
# then mapped, page-faulted and unmapped again.
UNSET_TRIM = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
SERIES_PER_PART = 8000
CHUNK = 50


def make_part(seed: int) -> Iterator[np.ndarray]:
    """The series of one partition, made where the task runs."""
    rng = np.random.default_rng(seed)
    for _ in range(SERIES_PER_PART // CHUNK):
        yield from rng.standard_normal((CHUNK, LENGTH))


def timed_part(seed: int) -> tuple[float, int, list[tuple[int, float, float]]]:
    """CPU seconds and minor page faults of the task's own thread, and its results."""
    import resource

    before, start = resource.getrusage(resource.RUSAGE_THREAD).ru_minflt, time.thread_time()
    rows = el_partition(make_part, seed)
    return time.thread_time() - start, resource.getrusage(resource.RUSAGE_THREAD).ru_minflt - before, rows


def best_of(repeats: int, run: Callable[[], list[tuple[float, int, list[tuple[int, float, float]]]]]):
    """(wall seconds, task CPU seconds, page faults, results) of the fastest run."""
    best = None
    for _ in range(repeats):
        start = time.perf_counter()
        parts = run()
        wall = time.perf_counter() - start
        if best is None or wall < best[0]:
            best = (wall, sum(p[0] for p in parts), sum(p[1] for p in parts), [p[2] for p in parts])
    return best


def main() -> None:
    # The functions of this script travel to the workers by value (cloudpickle),
    # with the values these globals have when a task is sent.
    global SERIES_PER_PART, CHUNK
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes: keeps the script working in make test")
    parser.add_argument("--parts", type=int, default=10)
    parser.add_argument("--series", type=int, default=SERIES_PER_PART, help="series per partition")
    parser.add_argument("--chunk", type=int, default=CHUNK, help="series made per array")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.quick:
        args.parts, args.series, args.repeats = 4, 200, 1
    SERIES_PER_PART, CHUNK = args.series, args.chunk
    parts = list(range(args.parts))
    total = args.parts * SERIES_PER_PART
    print(
        f"{args.parts} partitions x {SERIES_PER_PART} series of {LENGTH}, made in arrays of {CHUNK} series; "
        f"{os.cpu_count()} CPUs, load average before {os.getloadavg()[0]:.2f}"
    )

    rows: dict[str, tuple[float, float, int]] = {}
    loop = best_of(args.repeats, lambda: [timed_part(seed) for seed in parts])
    expected = loop[3]
    rows["plain loop, one process"] = loop[:3]

    # The machine's own parallel headroom at this moment: two bare processes.
    from concurrent.futures import ProcessPoolExecutor
    from multiprocessing import get_context

    with ProcessPoolExecutor(2, mp_context=get_context("fork")) as pool:
        list(pool.map(timed_part, parts[:2]))
        result = best_of(args.repeats, lambda: list(pool.map(timed_part, parts)))
    assert result[3] == expected, "ProcessPoolExecutor: results differ from the plain loop"
    rows["ProcessPoolExecutor, 2 processes (no engine)"] = result[:3]

    import logging

    import dask
    from dask.distributed import Client, LocalCluster

    def dask_run(label: str, config: dict[str, object]) -> None:
        # The nanny writes its pre-spawn variables into this process's own
        # environment, where every later child would inherit them: undo that.
        saved = dict(os.environ)
        try:
            dask_cluster_run(label, config)
        finally:
            os.environ.clear()
            os.environ.update(saved)

    def dask_cluster_run(label: str, config: dict[str, object]) -> None:
        with (
            dask.config.set(config),
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.CRITICAL
            ) as cluster,
            Client(cluster) as client,
        ):
            client.gather(client.map(timed_part, parts[:2], pure=False))  # warm: imports, first arrays
            result = best_of(args.repeats, lambda: client.gather(client.map(timed_part, parts, pure=False)))
            assert result[3] == expected, f"{label}: results differ from the plain loop"
            rows[label] = result[:3]
            # The documented helper itself, once: the same bits.
            assert dask_partitions(client, make_part, parts) == expected

    dask_run("Dask LocalCluster, 2 process workers (defaults)", {})
    dask_run("Dask LocalCluster, 2 process workers, MALLOC_TRIM_THRESHOLD_ unset", UNSET_TRIM)

    from joblib import Parallel, delayed

    with Parallel(n_jobs=2, backend="loky") as parallel:
        parallel(delayed(timed_part)(seed) for seed in parts[:2])
        result = best_of(args.repeats, lambda: parallel(delayed(timed_part)(seed) for seed in parts))
    assert result[3] == expected, "joblib: results differ from the plain loop"
    rows["joblib (loky), 2 processes"] = result[:3]

    base = rows["plain loop, one process"][0]
    print()
    print("| engine | wall s | task CPU s | page faults | series/s | vs loop |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, (wall, cpu, faults) in rows.items():
        print(f"| {label} | {wall:.2f} | {cpu:.2f} | {faults:,} | {total / wall:,.0f} | {base / wall:.2f}x |")

    # Shipping the series from the client and one task per series, for contrast.
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.CRITICAL
        ) as cluster,
        Client(cluster) as client,
    ):
        few = [series for seed in parts[:1] for series in make_part(seed)][: 2000 if not args.quick else 50]
        direct = [el_tuple(series) for series in few]
        start = time.perf_counter()
        assert dask_many(client, few, batch_size=500) == direct
        batched = time.perf_counter() - start
        start = time.perf_counter()
        assert client.gather(client.map(el_tuple, few, pure=False)) == direct
        single = time.perf_counter() - start
    print(
        f"\n{len(few)} series shipped from the client: batches of 500 {len(few) / batched:,.0f} series/s, "
        f"one task per series {len(few) / single:,.0f} series/s"
    )


if __name__ == "__main__":
    main()
