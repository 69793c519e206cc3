"""make bench-free-threaded: two Python threads calling the class at once.

On a free-threaded CPython each thread tests its own array with
`EscancianoLobato` in a loop; the same number of calls made on one thread is
the baseline, measured in this run. The ratio (one thread's wall time over
two threads' for twice the calls) is the speed-up of the second core: 2.0
is perfect, 1.0 is none (what a build with the interpreter lock gives).
Results are checked bit for bit against the single-thread calls. Times are
the best of `--repeats`.

The machine's own ceiling is measured beside it: two processes making the
same calls, sharing nothing (on the two cores here it is not 2.0: they
share caches and memory bandwidth, and a virtual machine's cores may be
busy with its host's work). The threads' speed-up over that ceiling's is
what the module itself costs in parallel.
"""

from __future__ import annotations

import argparse
import multiprocessing
import sys
import sysconfig
import threading
import time

import numpy as np

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato


def calls(x: np.ndarray, count: int) -> tuple[int, bytes, bytes]:
    result = None
    for _ in range(count):
        result = EL(x)
    assert result is not None
    return result.p_tilde, np.float64(result.statistic).tobytes(), np.float64(result.pvalue).tobytes()


def one_thread(arrays: list[np.ndarray], count: int) -> tuple[float, list[tuple[int, bytes, bytes]]]:
    start = time.perf_counter()
    results = [calls(x, count) for x in arrays]
    return time.perf_counter() - start, results


def two_threads(arrays: list[np.ndarray], count: int) -> tuple[float, list[tuple[int, bytes, bytes]]]:
    results: list[tuple[int, bytes, bytes] | None] = [None] * len(arrays)
    barrier = threading.Barrier(len(arrays) + 1)

    def body(index: int) -> None:
        barrier.wait()
        results[index] = calls(arrays[index], count)

    threads = [threading.Thread(target=body, args=(index,)) for index in range(len(arrays))]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    return elapsed, [result for result in results if result is not None]


def process_body(x: np.ndarray, count: int, barrier: threading.Barrier, spans: multiprocessing.Queue) -> None:
    calls(x, 5)
    barrier.wait()
    start = time.perf_counter()  # CLOCK_MONOTONIC: one clock for every process
    calls(x, count)
    spans.put((start, time.perf_counter()))


def two_processes(arrays: list[np.ndarray], count: int) -> float:
    """Wall time from the first process's start to the last one's end."""
    context = multiprocessing.get_context("spawn")
    barrier, spans = context.Barrier(len(arrays)), context.Queue()
    processes = [context.Process(target=process_body, args=(x, count, barrier, spans)) for x in arrays]
    for process in processes:
        process.start()
    times = [spans.get() for _ in processes]
    for process in processes:
        process.join()
    return max(end for _, end in times) - min(start for start, _ in times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.5, help="rough single-thread time per size and array")
    args = parser.parse_args()
    free = sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled()
    print(f"CPython {sys.version.split()[0]}, {'free-threaded, lock off' if free else 'with the interpreter lock'}")
    rng = np.random.default_rng(2026)
    for n in (250, 10_000):
        arrays = [rng.standard_normal(n) for _ in range(2)]
        start = time.perf_counter()
        calls(arrays[0], 20)
        count = max(20, int(args.seconds / ((time.perf_counter() - start) / 20)))
        single = min(one_thread(arrays, count)[0] for _ in range(args.repeats))
        expected = one_thread(arrays, 1)[1]
        best = float("inf")
        for _ in range(args.repeats):
            elapsed, results = two_threads(arrays, count)
            assert results == expected, "two threads gave other bits than one"
            best = min(best, elapsed)
        ceiling = min(two_processes(arrays, count) for _ in range(args.repeats))
        print(
            f"n = {n:>6}: {count} calls per array; one thread {single * 1e3:8.1f} ms, "
            f"two threads {best * 1e3:8.1f} ms, speed-up {single / best:.2f}x; "
            f"two processes {ceiling * 1e3:8.1f} ms, speed-up {single / ceiling:.2f}x; "
            f"threads/processes {ceiling / best:.2f}"
        )


if __name__ == "__main__":
    main()
