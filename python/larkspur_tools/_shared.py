"""What the companion's modules share and users do not call: reading one
series for the one-series tools, the names of a series in messages, the
checks of the arguments every test takes (B, weights, seed, threads,
level; the refusal of a bool q or d), the reject rule, p-values as exact ratios and as text.

One rule, one place: every module that needs one of these imports it from
here, none from another module's private names.
"""

from __future__ import annotations

import math
import operator
import os
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from .reading import read_series

FloatArray = npt.NDArray[np.float64]

#: The most replicates one bootstrap p-value may ask for. Its resolution
#: 1/(B + 1) is then 1e-8, far below the Monte Carlo error of any p-value a
#: decision rests on, and the run is still finite: 10^8 replicates of 250
#: values take two to five minutes on one core (Rademacher, Mammen).
MAX_B = 10**8
WEIGHTS_ACCEPTED = "weights must be 'rademacher' or 'mammen'"
B_ACCEPTED = f"B must be an integer from 1 to {MAX_B:,} (MAX_B)"
SEED_ACCEPTED = (
    "seed must be None, a non-negative int, a numpy.random.SeedSequence, or a numpy.random.Generator "
    "or bit generator of the PCG64 family (PCG64, PCG64DXSM)"
)
THREADS_ACCEPTED = "threads must be a positive integer"
_SCIENTIFIC_BELOW = 1e-4
#: The extension's text for a zero robust variance, the start of it.
ZERO_TAU = "Zero \u03c4\u0302 value at lag "


#: The extra that brings each optional module.
EXTRAS = {"pandas": "pandas", "matplotlib": "plot", "dask": "dask", "pyarrow": "parquet"}


def optional_module(name: str, caller: str) -> Any:
    """The optional module `name`, imported for `caller`; ImportError naming
    the extra that installs it (not a bare ModuleNotFoundError) when absent."""
    import importlib

    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        if error.name != name:
            raise
        raise ImportError(
            f'{caller} needs {name}, an optional dependency: pip install "larkspur[{EXTRAS[name]}]"', name=name
        ) from None


def one_series(data: Any) -> tuple[FloatArray, str | None]:
    """One series as float64, read as every entry point reads one, or a
    fitted model's residuals (an object with a `resid` attribute)."""
    resid = getattr(data, "resid", None)
    if resid is not None and not callable(resid):
        data = resid
    name = getattr(data, "name", None)
    return read_series(data), None if name is None else str(name)


def where(name: str | None) -> str:
    return "the series" if name is None else f"series {name!r}"


def failure_text(error: BaseException) -> str:
    """A failure of the test in a user's words: the extension's own text, but
    for a zero robust variance, which names a symbol where the reader needs
    the cause. The exception itself (type and text) stays the extension's."""
    text = str(error)
    if isinstance(error, OSError) and text.startswith(ZERO_TAU):
        lag = text[len(ZERO_TAU) :]
        return (
            f"the series is constant, or no two of its values {lag} apart both differ from its mean: "
            f"no test is possible (the robust variance \u03c4\u0302 is zero at lag {lag})"
        )
    return text


def rejects(pvalue: float, level: float) -> bool:
    """The one reject rule: a p-value at most the level rejects (the exact
    level of a Monte Carlo test when (B + 1) times the level is an
    integer); NaN never rejects."""
    return bool(pvalue <= level)


def check_q_d(q: object, d: object) -> None:
    """Refuses True and False as q or d, which the class takes for 1 (bool
    is an int to Python): a flag is never meant as a penalty constant or a
    largest lag. Every entry point of the companion calls this before the
    test sees q and d; the class's own checks (and messages) decide the rest.
    The messages are the class's for a value of another wrong type."""
    if isinstance(q, (bool, np.bool_)):
        raise TypeError("argument 'q': must be real number, not bool")
    if isinstance(d, (bool, np.bool_)):
        raise TypeError("argument 'd': 'bool' object cannot be interpreted as an integer")


def check_level(level: object) -> float:
    if isinstance(level, bool) or not isinstance(level, (int, float, np.integer, np.floating)) or not 0 < level < 1:
        raise ValueError(f"level must lie in (0, 1), e.g. 0.05 for 5%, not {level!r}")
    return float(level)


def checked_weights(weights: object) -> Literal["rademacher", "mammen"]:
    if isinstance(weights, str):
        if weights == "rademacher":
            return "rademacher"
        if weights == "mammen":
            return "mammen"
    raise ValueError(f"{WEIGHTS_ACCEPTED}, not {weights!r}")


def checked_B(B: object) -> int:
    if isinstance(B, bool) or not isinstance(B, (int, np.integer)) or not 1 <= B <= MAX_B:
        raise ValueError(f"{B_ACCEPTED}, not {B!r}")
    return int(B)


def checked_threads(threads: object) -> int:
    """`threads` as given (a positive int), or every CPU available for None."""
    if threads is None:
        count = getattr(os, "process_cpu_count", os.cpu_count)()
        return max(count or 1, 1)
    if isinstance(threads, bool):
        raise ValueError(f"{THREADS_ACCEPTED}, not {threads!r}")
    if not isinstance(threads, (int, np.integer)):
        raise TypeError(f"{THREADS_ACCEPTED}, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"{THREADS_ACCEPTED}, not {threads!r}")
    if threads >= 2**64:
        raise OverflowError(f"{THREADS_ACCEPTED} below 2**64, not {threads!r}")
    return operator.index(threads)


def checked_seed(seed: object) -> None:
    """Refuses a seed `stream` would refuse, without drawing from it."""
    if seed is None or isinstance(seed, (np.random.SeedSequence, np.random.Generator)):
        if isinstance(seed, np.random.Generator) and not isinstance(
            seed.bit_generator, (np.random.PCG64, np.random.PCG64DXSM)
        ):
            raise TypeError(f"{SEED_ACCEPTED}, not {type(seed).__name__}")
        return
    if isinstance(seed, (np.random.PCG64, np.random.PCG64DXSM)):
        return
    if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
        if seed < 0:
            raise ValueError(f"{SEED_ACCEPTED}, not {seed!r}")
        return
    raise TypeError(f"{SEED_ACCEPTED}, not {type(seed).__name__}")


def stream(seed: object) -> tuple[int | np.random.SeedSequence, np.random.PCG64]:
    """(the seed to report, the PCG64 bit generator whose raw outputs make the weights).

    An int or SeedSequence seeds PCG64 as NumPy does (PCG64(seed)). None
    draws fresh entropy from the operating system, and a Generator or
    PCG64-family bit generator gives its next two raw 64-bit outputs (first
    the low word) as a 128-bit int: either way that int is the seed reported,
    so every run can be repeated, and a Generator moves on as after any draw.
    """
    checked_seed(seed)
    if seed is None:
        entropy = np.random.SeedSequence().entropy
        assert isinstance(entropy, int)
        seed = entropy
    elif isinstance(seed, np.random.Generator):
        low, high = (int(word) for word in seed.bit_generator.random_raw(2))
        seed = low | high << 64
    elif isinstance(seed, (np.random.PCG64, np.random.PCG64DXSM)):
        low, high = (int(word) for word in seed.random_raw(2))
        seed = low | high << 64
    elif isinstance(seed, (int, np.integer)):
        seed = int(seed)
    assert isinstance(seed, (int, np.random.SeedSequence))
    return seed, np.random.PCG64(seed)


def exact_ratio(numerator: int, denominator: int) -> float:
    """numerator / denominator rounded to nearest, by integer arithmetic only.

    A float division rounds in the caller's floating-point mode (under
    fesetround(FE_DOWNWARD), 13 / 100 gives 0.12999999999999998); this gives
    the round-to-nearest-even double whatever the mode. For a p-value,
    0 <= numerator <= denominator: the numerator shifted so that the
    quotient has 54 bits is exact, its last bit is the rounding bit and the
    remainder the sticky part, and the power-of-two scaling of the integer
    mantissa is exact."""
    if numerator == 0:
        return 0.0
    # The quotient then lies in [2**52, 2**54): one more bit where it is short.
    shift = 53 - (numerator.bit_length() - denominator.bit_length())
    quotient, remainder = divmod(numerator << shift, denominator)
    if quotient < 1 << 53:
        shift += 1
        quotient, remainder = divmod(numerator << shift, denominator)
    mantissa, half = quotient >> 1, quotient & 1
    if half and (remainder or mantissa & 1):
        mantissa += 1
    return math.ldexp(float(mantissa), 1 - shift)


def pvalue_text(pvalue: float, decimals: int, zero_below: float | None = None, bound: bool = False) -> str:
    """A p-value as statistics packages print it: fixed decimals, scientific
    notation below 1e-4, "< bound" for an exact 0.0 that only means "below
    the computation's resolution" (`zero_below`), "<= p" for a bound."""
    if pvalue == 0.0 and zero_below is not None:
        return f"< {zero_below:.2g}"
    text = f"{pvalue:.{decimals}f}" if pvalue >= _SCIENTIFIC_BELOW else f"{pvalue:.{decimals - 1}e}"
    return f"<= {text}" if bound else text
