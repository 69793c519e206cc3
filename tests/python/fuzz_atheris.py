"""libFuzzer-driven fuzzing of EscancianoLobato's call surface with atheris.

The fuzzer's bytes are decoded into hostile Python objects (the same kinds
as fuzz_call_surface.py: raising conversion hooks, huge ints, subclasses,
self-mutating sequences, lying lengths, to_numpy returning anything) for
raw_data, q and d. A call must return a result or raise an ordinary
exception; a PanicException or a crash stops the fuzzer with the input.

    python fuzz_atheris.py -max_total_time=600 -print_final_stats=1   (make fuzz)
"""

from __future__ import annotations

import math
import sys

import atheris

with atheris.instrument_imports():
    import fuzz_call_surface as kinds
    import numpy as np

    from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato
ERRORS = [
    TypeError("t"),
    ValueError("v"),
    OverflowError("o"),
    MemoryError(),
    KeyError("k"),
    kinds.StrRaises(),
    RecursionError("r"),
    IndexError("i"),
    StopIteration(),
]
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1e308, -1e308]


@atheris.instrument_func
def number(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return fdp.ConsumeRegularFloat()
    if kind == 1:
        return SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)]
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))  # up to 96-bit ints, either sign
    if kind == 3:
        return kinds.IntSub(fdp.ConsumeIntInRange(-100, 100))
    if kind == 4:
        return kinds.FloatSub(fdp.ConsumeRegularFloat())
    if kind == 5:
        return fdp.ConsumeBool()
    return float(fdp.ConsumeIntInRange(-5, 5))


@atheris.instrument_func
def scalar(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 2:
        return number(fdp)
    if kind == 3:
        return None
    if kind == 4:
        return kinds.Raises(ERRORS[fdp.ConsumeIntInRange(0, len(ERRORS) - 1)])
    return fdp.ConsumeUnicode(3)


@atheris.instrument_func
def floats(fdp):
    return [
        number(fdp) if fdp.ConsumeIntInRange(0, 9) == 0 else fdp.ConsumeRegularFloat()
        for _ in range(fdp.ConsumeIntInRange(0, 64))
    ]


@atheris.instrument_func
def series(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 13)
    values = floats(fdp)
    if kind == 0:
        return np.array([float(v) for v in values if isinstance(v, (int, float))] or [0.0], dtype=float)
    if kind == 1:
        return np.array([float(v) for v in values if isinstance(v, float)], dtype=float)[::-1]
    if kind == 2:
        return np.array([float(v) for v in values if isinstance(v, float)], dtype=">f8")
    if kind == 3:
        return tuple(values)
    if kind == 4:
        return kinds.ListSub(values)
    if kind == 5:
        return kinds.Mutating(values)
    if kind == 6:
        return kinds.LyingLength(values, fdp.ConsumeIntInRange(-5, 2**40))
    if kind == 7:
        return kinds.GetItemOnly(values)
    if kind == 8 and depth < 2:
        return kinds.ToNumpyReturns(series(fdp, depth + 1))
    if kind == 9:
        return [scalar(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    if kind == 10:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 32))
    if kind == 11:
        return scalar(fdp)
    if kind == 12:
        return np.array([float(v) for v in values if isinstance(v, float)], dtype=float).view(kinds.ArraySub)
    return values


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    raw = series(fdp)
    q = None if fdp.ConsumeBool() else scalar(fdp)
    d = None if fdp.ConsumeBool() else (fdp.ConsumeIntInRange(-3, 80) if fdp.ConsumeBool() else scalar(fdp))
    try:
        result = EL(raw, q, d)
        assert isinstance(result.p_tilde, int) and isinstance(result.pvalue, float)
    except Exception:  # ordinary exceptions are the expected outcome for junk
        pass
    # A PanicException (BaseException) propagates: the fuzzer reports it with the input.


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
