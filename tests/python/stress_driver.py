"""Repeats every route and every error path of the constructor, alone and
from many threads, and reports what was left behind.

Used by the stress tests (small counts) and by `make stress` (full counts,
figures for docs/reliability.md). Run as a script it prints one JSON line.
The second registry participant creates the registry first so that its
contents can be inspected afterwards.
"""

from __future__ import annotations

import gc
import json
import math
import resource
import sys
import threading

import _borrow_participant as participant
import numpy as np

participant.set_up()  # this participant owns the registry and can list it

from larkspur import statistical_tests  # noqa: E402

EL = statistical_tests.EscancianoLobato
ITEM = 1234.5678
BASE = [ITEM, -1.5, 2.25, 7.0, -3.5, 0.125, 4.0, -0.75] * 8


class ToNumpy:
    def __init__(self, array):
        self.array = array

    def to_numpy(self, copy):
        return self.array


class ToNumpyRaises:
    def to_numpy(self, copy):
        raise RuntimeError("no")

    def __len__(self):
        return len(BASE)

    def __getitem__(self, i):
        return BASE[i]


class LenRaises:
    def __len__(self):
        raise OverflowError("len")

    def __getitem__(self, i):
        return BASE[i]


class BadFloat:
    def __float__(self):
        raise TypeError("not a float")


class BadIndex:
    def __index__(self):
        raise TypeError("not an index")


def make_inputs():
    array = np.array(BASE)
    return {
        "array": array,
        "readonly": np.frombuffer(array.tobytes()),
        "strided": np.repeat(array, 2)[::2],
        "int64": np.arange(64),
        "list": list(BASE),
        "tuple": tuple(BASE),
        "to_numpy": ToNumpy(array),
        "to_numpy_raises": ToNumpyRaises(),
        "len_raises": LenRaises(),
    }


FAILURES = [
    ((), {}),
    (([1.0],), {"data": 1}),
    (([1.0], BadFloat()), {}),
    (([1.0], None, BadIndex()), {}),
    (([1.0], None, -1), {}),
    (([1.0], -1.0), {}),
    (("text",), {}),
    (([1.0, None],), {}),
    (([],), {}),
    (([math.nan],), {}),
    (([1.0, 2.0], None, 0), {}),
    (([3.0, 3.0, 3.0],), {}),
    (([1.0, 2.0, 4.0], None, 9), {}),
    (([1.0, 2.0, 4.0], None, 2**64 - 1), {}),
]


def one_round(inputs):
    results = []
    for data in inputs.values():
        result = EL(data, 2.4, 3)
        results.append((result.p_tilde, result.statistic.hex(), result.pvalue.hex()))
    for args, kwargs in FAILURES:
        try:
            EL(*args, **kwargs)
        except (TypeError, ValueError, OSError, OverflowError):
            pass
    return results


def calls_per_round(inputs):
    return len(inputs) + len(FAILURES)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def leak_check(rounds):
    inputs = make_inputs()
    for _ in range(50):
        one_round(inputs)  # warm-up: caches, type objects, registry pool
    gc.collect()
    refs_before = {name: sys.getrefcount(value) for name, value in inputs.items()}
    item_before, class_before = sys.getrefcount(ITEM), sys.getrefcount(EL)
    blocks_before, rss_before = sys.getallocatedblocks(), rss_bytes()
    for _ in range(rounds):
        one_round(inputs)
    gc.collect()
    refs_after = {name: sys.getrefcount(value) for name, value in inputs.items()}
    return {
        "calls": rounds * calls_per_round(inputs),
        "refcounts_changed": [name for name in inputs if refs_before[name] != refs_after[name]],
        "item_refcount_delta": sys.getrefcount(ITEM) - item_before,
        "class_refcount_delta": sys.getrefcount(EL) - class_before,
        "allocated_blocks_delta": sys.getallocatedblocks() - blocks_before,
        "rss_growth_bytes": rss_bytes() - rss_before,
        "registry_entries": len(participant.contents()),
    }


def thread_check(threads, rounds):
    shared = make_inputs()
    expected = one_round(shared)
    barrier = threading.Barrier(threads)
    mismatches = []
    errors = []

    def work(index):
        own = make_inputs() if index % 2 else shared  # half share objects, half have their own
        try:
            barrier.wait()
            for _ in range(rounds):
                if one_round(own) != expected:
                    mismatches.append(index)
        except BaseException as error:  # noqa: BLE001 - reported to the caller
            errors.append(repr(error))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        sys.setswitchinterval(old)
    return {
        "threads": threads,
        "rounds_per_thread": rounds,
        "calls": threads * rounds * calls_per_round(shared),
        "mismatches": len(mismatches),
        "errors": errors,
        "registry_entries": len(participant.contents()),
    }


if __name__ == "__main__":
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    thread_rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    print(json.dumps({"leaks": leak_check(rounds), "threads": thread_check(8, thread_rounds)}))
