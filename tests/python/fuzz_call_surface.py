"""Fuzzes the call surface of EscancianoLobato with hostile Python objects.

Arbitrary objects as raw_data, q and d: raising __float__/__index__/__len__/
__iter__/__getitem__/to_numpy, huge ints, subclasses of int, float, list and
ndarray, sequences that mutate themselves while they are read. A call must
return a result or raise an ordinary exception; a PanicException or a crash
is a failure (nothing here can cause one of the listed internal faults).

    python fuzz_call_surface.py --minutes 10      (make fuzz)
Prints one JSON line: calls made, outcomes by exception type, failures.
"""

from __future__ import annotations

import argparse
import copy
import json
import sys
import time

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato


class Raises:
    """An object whose every conversion hook raises a fresh `error`.

    A fresh instance each time: re-raising one exception object chains each
    new traceback onto the old one, which grows without bound.
    """

    def __init__(self, error):
        self.error = error

    def fresh(self):
        return copy.copy(self.error).with_traceback(None)

    def __float__(self):
        raise self.fresh()

    def __index__(self):
        raise self.fresh()

    def __len__(self):
        raise self.fresh()

    def __iter__(self):
        raise self.fresh()

    def __getitem__(self, i):
        raise self.fresh()

    def to_numpy(self, *args):
        raise self.fresh()


class StrRaises(Exception):
    def __str__(self):
        raise RuntimeError("unprintable")


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


class ArraySub(np.ndarray):
    pass


class Mutating(list):
    """A list that grows or shrinks itself while being iterated."""

    def __iter__(self):
        for i, value in enumerate(list.__iter__(self)):
            if i == 1:
                self.append(value)
                del self[0]
            yield value


class ToNumpyReturns:
    def __init__(self, value):
        self.value = value

    def to_numpy(self, *args):
        return self.value


class LyingLength(list):
    def __init__(self, values, length):
        super().__init__(values)
        self.length = length

    def __len__(self):
        return self.length


class GetItemOnly:
    def __init__(self, values):
        self.values = values

    def __getitem__(self, i):
        return self.values[i]


errors = st.sampled_from(
    [
        TypeError("t"),
        ValueError("v"),
        OverflowError("o"),
        MemoryError(),
        KeyError("k"),
        StrRaises(),
        RecursionError("r"),
        IndexError("i"),
        StopIteration(),
    ]
)
floats = st.floats(allow_nan=True, allow_infinity=True)
numbers = st.one_of(
    floats,
    st.integers(-(2**70), 2**70),
    st.booleans(),
    floats.map(FloatSub),
    st.integers(-(2**70), 2**70).map(IntSub),
    st.just(1 + 2j),
    st.decimals(allow_nan=False, allow_infinity=True).map(float),
)
scalars = st.one_of(numbers, st.none(), st.text(max_size=3), st.binary(max_size=3), errors.map(Raises))
float_lists = st.lists(st.one_of(floats, st.integers(-10, 10)), max_size=60)
arrays = st.one_of(
    float_lists.map(lambda v: np.array(v, dtype=float)),
    float_lists.map(lambda v: np.array(v, dtype=float).view(ArraySub)),
    float_lists.map(lambda v: np.array(v, dtype=float)[::-1]),
    float_lists.map(lambda v: np.array(v, dtype=">f8")),
    float_lists.map(lambda v: np.array(v, dtype=object)),
    st.just(np.zeros((3, 2))),
    st.just(np.array(5.0)),
)
raw_data = st.recursive(
    st.one_of(
        scalars,
        arrays,
        float_lists,
        float_lists.map(tuple),
        float_lists.map(ListSub),
        float_lists.map(Mutating),
        st.builds(LyingLength, float_lists, st.integers(-5, 2**40)),
        float_lists.map(GetItemOnly),
        st.lists(scalars, max_size=8),
        st.just(range(0, 50, 3)),
        st.binary(max_size=20),
    ),
    lambda inner: st.one_of(inner.map(ToNumpyReturns), st.lists(inner, max_size=3)),
    max_leaves=4,
)
q_values = st.one_of(st.none(), scalars)
d_values = st.one_of(st.none(), st.integers(-3, 80), st.integers(2**62, 2**66), scalars)


class Tally:
    def __init__(self):
        self.calls = 0
        self.outcomes: dict[str, int] = {}
        self.failures: list[str] = []


def exercise(tally: Tally, data, q, d, keyword: bool) -> None:
    tally.calls += 1
    try:
        result = EL(raw_data=data, q=q, d=d) if keyword else EL(data, q, d)
        values = (result.p_tilde, result.statistic, result.pvalue)
        assert isinstance(values[0], int) and isinstance(values[1], float) and isinstance(values[2], float)
        outcome = "result"
    except Exception as error:  # ordinary exceptions are fine
        outcome = type(error).__name__
    except BaseException as error:  # noqa: BLE001 - a PanicException is a finding
        outcome = type(error).__name__
        tally.failures.append(f"{outcome}: {error!r} for {data!r:.200}, q={q!r:.50}, d={d!r:.50}")
    tally.outcomes[outcome] = tally.outcomes.get(outcome, 0) + 1


def run(seconds: float, batch: int = 2000) -> Tally:
    tally = Tally()
    deadline = time.monotonic() + seconds

    @settings(max_examples=batch, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(data=raw_data, q=q_values, d=d_values, keyword=st.booleans())
    def one(data, q, d, keyword):
        exercise(tally, data, q, d, keyword)

    while time.monotonic() < deadline:
        one()
    return tally


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0)
    args = parser.parse_args()
    started = time.monotonic()
    tally = run(args.minutes * 60)
    print(
        json.dumps(
            {
                "seconds": round(time.monotonic() - started, 1),
                "calls": tally.calls,
                "outcomes": tally.outcomes,
                "failures": tally.failures[:20],
            }
        )
    )
    return 1 if tally.failures else 0


if __name__ == "__main__":
    sys.exit(main())
