"""The three routes from a caller's object to a float64 series."""

import decimal
import gc
import sys
import sysconfig
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest
from conftest import SIGINT_AS_IN_A_TERMINAL, run_python
from el_reference import el_test

from larkspur import statistical_tests

EscancianoLobato = statistical_tests.EscancianoLobato
VALUES = [0.5, -1.25, 2.0, 3.75, -0.5, 1.0, 4.25, -2.0, 0.0, 1.5, 2.25, -3.0]


def bits(result):
    return result.p_tilde, repr(result.statistic), repr(result.pvalue)


EXPECTED = tuple(f(v) for f, v in zip((int, repr, repr), el_test(VALUES, 2.4, 3)))


class ToNumpy:
    def __init__(self, returned):
        self.returned = returned
        self.calls = []

    def to_numpy(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.returned, BaseException):
            raise self.returned
        return self.returned


class ToNumpyAndSequence(ToNumpy):
    """to_numpy fails or returns junk, but the object is also a sequence."""

    def __len__(self):
        return len(VALUES)

    def __getitem__(self, index):
        return VALUES[index]


class LenRaises:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        return VALUES[index]


class ArrayWithToNumpy(np.ndarray):
    """An ndarray that could also be read through to_numpy: it is read as itself."""

    def to_numpy(self, *args, **kwargs):
        return np.roll(np.asarray(self), 1)


def strided():
    backing = np.zeros(2 * len(VALUES))
    backing[::2] = VALUES
    return backing[::2]


def reversed_view():
    return np.array(VALUES[::-1])[::-1]


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array(VALUES),
        lambda: np.array(VALUES).view(type("Sub", (np.ndarray,), {})),
        lambda: np.array(VALUES).view(ArrayWithToNumpy),
        lambda: np.asfortranarray(np.array(VALUES)),
        strided,
        reversed_view,
        lambda: np.array(VALUES, dtype=">f8"),
        lambda: list(VALUES),
        lambda: tuple(VALUES),
        lambda: pd.Series(VALUES),
        lambda: ToNumpy(np.array(VALUES)),
        lambda: ToNumpyAndSequence(RuntimeError("to_numpy broke")),
        lambda: ToNumpyAndSequence([1.0, 2.0]),
        lambda: ToNumpyAndSequence(np.array(VALUES)[::2]),
        lambda: LenRaises(),
    ],
)
def test_same_bits_through_every_route(make):
    assert bits(EscancianoLobato(make(), 2.4, 3)) == EXPECTED


def test_read_only_arrays_are_read_in_place():
    x = np.array(VALUES)
    x.setflags(write=False)
    assert bits(EscancianoLobato(x, 2.4, 3)) == EXPECTED


@pytest.mark.parametrize(
    ("data", "expected_values"),
    [
        (np.arange(1, 13, dtype=np.int64), [float(v) for v in range(1, 13)]),
        (np.array(VALUES, dtype=np.float32), [float(np.float32(v)) for v in VALUES]),
        (bytes([1, 2, 3, 5, 4]), [1.0, 2.0, 3.0, 5.0, 4.0]),
        (range(1, 9), [float(v) for v in range(1, 9)]),
        ([1, 2, 4, 3, 5], [1.0, 2.0, 4.0, 3.0, 5.0]),
        ([True, False, True, True], [1.0, 0.0, 1.0, 1.0]),
    ],
)
def test_other_kinds_are_converted_item_by_item(data, expected_values):
    assert bits(EscancianoLobato(data)) == tuple(f(v) for f, v in zip((int, repr, repr), el_test(expected_values)))


def test_to_numpy_is_called_with_false_only():
    source = ToNumpy(np.array(VALUES))
    EscancianoLobato(source, 2.4, 3)
    assert source.calls == [((False,), {})]


def test_two_dimensional_column_follows_the_float_conversion_of_its_rows():
    column = np.array(VALUES).reshape(-1, 1)
    try:
        float(column[0])
    except TypeError:  # NumPy versions that refuse size-1 arrays as scalars
        with pytest.raises(TypeError):
            EscancianoLobato(column, 2.4, 3)
    else:
        assert bits(EscancianoLobato(column, 2.4, 3)) == EXPECTED


def test_two_dimensional_arrays_that_do_not_convert_are_refused():
    with pytest.raises(TypeError, match="^expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64$"):
        EscancianoLobato(np.ones((4, 2)))


def test_caller_array_is_never_written():
    x = np.array(VALUES)
    snapshot = x.copy()
    EscancianoLobato(x)
    assert np.array_equal(x, snapshot) and x.flags.writeable


def test_unaligned_float64_array():
    raw = np.zeros(len(VALUES) * 8 + 1, dtype=np.uint8)
    x = raw[1:].view(np.float64)
    x[:] = VALUES
    assert not x.flags.aligned
    assert bits(EscancianoLobato(x, 2.4, 3)) == EXPECTED


FAILURES = [
    ([1.0, 2.0, 3.0], None, 0),
    ([], None, None),
    ([float("nan")], None, None),
    ([2.0, 2.0, 2.0], None, None),
    ([1.0, 2.0], None, 5),
    ("text", None, None),
    ([1.0, "x"], None, None),
]


@pytest.mark.parametrize("kind", ["array", "list", "to_numpy"])
def test_nothing_is_left_behind(kind):
    item = 12345.678
    items = [item, -1.5, 2.25, 7.0, -3.5, 0.125] * 10
    data = {"array": np.array(items), "list": items, "to_numpy": ToNumpy(np.array(items))}[kind]
    gc.collect()
    before = (sys.getrefcount(data), sys.getrefcount(item), sys.getrefcount(EscancianoLobato))
    for _ in range(2000):
        EscancianoLobato(data)
        for args in FAILURES:
            try:
                EscancianoLobato(*args)
            except (TypeError, ValueError, OSError):
                pass
    gc.collect()
    assert (sys.getrefcount(data), sys.getrefcount(item), sys.getrefcount(EscancianoLobato)) == before


class MemoryErrorSubclass(MemoryError):
    pass


class Item:
    def __init__(self, value, error=None):
        self.value, self.error = value, error

    def __float__(self):
        if self.error is not None:
            raise self.error
        return self.value


class Source:
    """A sequence of VALUES (with a to_numpy that fails in an ordinary way)
    that raises `error` from one place of its conversion."""

    def __init__(self, place, error):
        self.place, self.error, self.items_read = place, error, 0

    def _fail_at(self, place):
        if self.place == place:
            raise self.error

    def to_numpy(self, *args):
        self._fail_at("to_numpy")
        raise RuntimeError("no array here")

    def __len__(self):
        self._fail_at("__len__")
        return len(VALUES)

    def __iter__(self):
        self._fail_at("__iter__")
        return (self[i] for i in range(len(VALUES)))

    def __getitem__(self, index):
        self._fail_at("__getitem__")
        self.items_read += 1
        return Item(VALUES[index], self.error if self.place == "__float__" else None)


@pytest.mark.parametrize("place", ["to_numpy", "__len__", "__iter__", "__getitem__", "__float__"])
@pytest.mark.parametrize(
    "error_type", [KeyboardInterrupt, SystemExit, MemoryError, MemoryErrorSubclass, RuntimeError, TimeoutError]
)
def test_interrupts_and_out_of_memory_end_the_conversion(place, error_type):
    error = error_type("boom")
    source = Source(place, error)
    if not issubclass(error_type, Exception) or issubclass(error_type, MemoryError):
        with pytest.raises(error_type) as caught:
            EscancianoLobato(source, 2.4, 3)
        assert caught.value is error
        assert source.items_read == (1 if place == "__float__" else 0)  # no later route, no more copying
    elif place in ("to_numpy", "__len__"):  # only a route lost, or the pre-sizing
        assert bits(EscancianoLobato(source, 2.4, 3)) == EXPECTED
    else:
        with pytest.raises(TypeError) as caught:
            EscancianoLobato(source, 2.4, 3)
        assert caught.value.args == ("expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64",)
        assert caught.value.__cause__ is None and caught.value.__context__ is None


def test_ctrl_c_during_a_slow_conversion():
    result = run_python(
        SIGINT_AS_IN_A_TERMINAL
        + textwrap.dedent(
            """
            import os, signal, threading, time
            import numpy  # imported first: the interrupt must land in the conversion, not in NumPy's import
            from larkspur import statistical_tests

            class Slow:
                def __len__(self):
                    return 10**9
                def __getitem__(self, index):
                    return float(index % 7)

            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            start = time.monotonic()
            try:
                statistical_tests.EscancianoLobato(Slow())
            except KeyboardInterrupt:
                print("interrupted", time.monotonic() - start < 30)
            """
        )
    )
    assert result.stdout.strip() == "interrupted True", result.stderr


@pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED") == 1, reason="no interpreter lock to keep")
def test_refusals_keep_the_interpreter_lock():
    # Another thread runs only while this one gives the lock up. q's slow
    # conversion (pure C, no eval-breaker check) outlasts the switch interval,
    # so the spinner has asked for the lock by the time the routes run: a
    # refusal that let go of the lock would hand it over, and the spinner's
    # counter would move before the except clause reads it.
    decimal_context = decimal.Context(prec=10**7)
    slow_q = decimal_context.create_decimal("1." + "0" * 2_000_000 + "1")
    refusals = [
        ((None,), {}),
        (({},), {}),
        (("abc",), {}),
        (([1.0, "x"],), {}),
        (([float("nan")],), {}),
        (([1.0, 2.0],), {"d": 0}),
        (([3.0, 3.0, 3.0],), {}),
    ]
    steps = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            steps[0] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    spinner = threading.Thread(target=spin)
    spinner.start()
    moved = {}
    try:
        for args, kwargs in refusals:
            for attempt in range(4):  # the first call may set up NumPy or a type
                time.sleep(0.002)
                before = steps[0]
                try:
                    EscancianoLobato(*args, slow_q, **kwargs)
                except (TypeError, ValueError, OSError):
                    after = steps[0]
                if attempt:
                    moved[repr(args)] = moved.get(repr(args), 0) + after - before
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(interval)
    assert moved == dict.fromkeys(moved, 0)
