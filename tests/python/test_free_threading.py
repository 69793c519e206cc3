"""Calls from many threads at once.

On a free-threaded build (no interpreter lock) the threads really run side by
side; with the lock they interleave at its switch points. Either way every
result must carry the bits of the same call made alone, and the borrow
registry must grant and refuse exactly as its rules say.
"""

import sys
import sysconfig
import threading
import time

import numpy as np
import pytest
from conftest import needs_support_modules, run_python
from larkspur_tools import el_many

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato
FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
THREADS = 8
ROUNDS = 40


def bits(result):
    return (result.p_tilde, np.float64(result.statistic).tobytes(), np.float64(result.pvalue).tobytes())


def batch_bits(result):
    return tuple(column.tobytes() for column in result[:3])


def run_together(work, count=THREADS):
    """Starts `count` threads on work(index) behind one barrier; returns their
    results in index order and re-raises the first failure."""
    barrier = threading.Barrier(count)
    results = [None] * count
    errors = []

    def body(index):
        try:
            barrier.wait()
            results[index] = work(index)
        except BaseException as error:  # noqa: BLE001 - reported to the test below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return results


def series(seed, n):
    return np.random.default_rng(seed).standard_normal(n)


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")
def test_importing_every_module_leaves_the_lock_off():
    result = run_python(
        "import sys, warnings\n"
        "warnings.simplefilter('error')\n"
        "import numpy, larkspur, larkspur_tools, larkspur_tools._batch, _borrow_participant, _binding_probe\n"
        "print(sys._is_gil_enabled())\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
    assert not sys._is_gil_enabled()


@pytest.mark.parametrize("shared", [True, False], ids=["shared-array", "own-arrays"])
def test_class_and_el_many_from_many_threads_give_the_bits_of_one(shared):
    lengths = [250, 1000, 3000]
    arrays = [[series(7 * t + k, n) for k, n in enumerate(lengths)] for t in range(1 if shared else THREADS)]
    panels = [np.column_stack([series(100 + t + k, 500) for k in range(6)]) for t in range(len(arrays))]
    alone = [[bits(EL(x)) for x in row] for row in arrays]
    alone_batch = [batch_bits(el_many(panel, threads=2)) for panel in panels]

    def work(index):
        mine = index % len(arrays)
        for _ in range(ROUNDS // 4):
            for x, expected in zip(arrays[mine], alone[mine]):
                assert bits(EL(x)) == expected
            assert batch_bits(el_many(panels[mine], threads=2)) == alone_batch[mine]
        return True

    assert all(run_together(work))


@needs_support_modules
def test_exclusive_and_shared_borrows_conflict_exactly_under_concurrency():
    import _borrow_participant as other

    x = series(3, 400)
    alone = bits(EL(x))
    state = threading.Lock()
    counts = {
        "shared_held": 0,
        "exclusive_held": False,
        "shared_granted": 0,
        "shared_refused": 0,
        "exclusive_granted": 0,
        "exclusive_refused": 0,
        "class_refused": 0,
    }
    panic = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"

    # Whether a round of the exclusive thread finds no shared borrow live is
    # up to the scheduler: it can spend a fixed number of rounds inside one
    # time slice while a shared thread, preempted or waiting for `state`
    # between its acquire and release, keeps its borrow. So the exclusive
    # thread goes on until both kinds have been granted (a registry that
    # never grants one of them fails at the deadline), and the shared threads
    # until it is done.
    done = threading.Event()
    deadline = time.monotonic() + 60

    def both_granted():
        with state:
            return counts["exclusive_granted"] > 0 and counts["shared_granted"] > 0

    def exclusive(_):
        try:
            exclusive_rounds()
        finally:
            done.set()

    def exclusive_rounds():
        round_ = 0
        while round_ < ROUNDS * 20 or not (both_granted() or time.monotonic() > deadline):
            round_ += 1
            if other.acquire_mut(x) != 0:
                with state:
                    counts["exclusive_refused"] += 1
                continue
            with state:
                # Granted: no shared borrow may be live.
                assert counts["shared_held"] == 0
                counts["exclusive_held"] = True
                counts["exclusive_granted"] += 1
            try:
                EL(x)
            except BaseException as error:  # the class's shared borrow is refused: a panic
                assert type(error).__name__ == "PanicException" and error.args[0] == panic
            else:
                raise AssertionError("the class read an exclusively borrowed array")
            with state:
                counts["exclusive_held"] = False
            other.release_mut(x)

    def shared(_):
        round_ = -1
        while not done.is_set():
            round_ += 1
            if round_ % 8 == 0:
                # The class's own shared borrow: its bits, or the panic.
                try:
                    assert bits(EL(x)) == alone
                except BaseException as error:
                    assert type(error).__name__ == "PanicException" and error.args[0] == panic
                    with state:
                        counts["class_refused"] += 1
                continue
            if other.acquire(x) != 0:
                with state:
                    counts["shared_refused"] += 1
                continue
            with state:
                assert not counts["exclusive_held"]
                counts["shared_held"] += 1
                counts["shared_granted"] += 1
            with state:
                counts["shared_held"] -= 1
            other.release(x)

    run_together(lambda index: (exclusive if index == 0 else shared)(index), count=4)
    # Both kinds got through: the test was not vacuous.
    assert counts["exclusive_granted"] > 0 and counts["shared_granted"] > 0, counts
    # Nothing left registered: an exclusive borrow of the whole is granted.
    assert other.acquire_mut(x) == 0
    other.release_mut(x)


@needs_support_modules
def test_racing_first_users_agree_on_one_registry():
    # Every thread is the first user of its own module copy's registry cell;
    # they must all end up with the capsule that was published.
    result = run_python(
        "import threading, numpy as np, importlib\n"
        "core = 'numpy._core' if int(np.__version__.split('.')[0]) >= 2 else 'numpy.core'\n"
        "import _borrow_participant as other, larkspur\n"
        "from larkspur_tools import el_many\n"
        "x = np.arange(40.0); barrier = threading.Barrier(6)\n"
        "def first(i):\n"
        "    barrier.wait()\n"
        "    if i % 2: other.set_up()\n"
        "    else: larkspur.statistical_tests.EscancianoLobato(x)\n"
        "threads = [threading.Thread(target=first, args=(i,)) for i in range(6)]\n"
        "[t.start() for t in threads]; [t.join() for t in threads]\n"
        "assert other.acquire_mut(x) == 0\n"
        "try:\n"
        "    larkspur.statistical_tests.EscancianoLobato(x)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PanicException"
