"""The wild-bootstrap engine, for every test alike: replicates of the
demeaned series re-weighted by Rademacher or Mammen weights from a
documented PCG64 stream, handed in blocks to the test's record, which
computes their statistics natively with the test's bits; only counts are
kept, so memory does not grow with B. `bootstrap` and `bootstrap_pvalue`
are the Escanciano-Lobato test's functions over it.

A scale-free test (x * 2**k gives x's statistic) is resampled from x scaled
by an exact power of two to a fixed magnitude, so that its replicates, and
so its p-value, are the same for every k where the test accepts x: no
replicate underflows or overflows because of the data's units.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Literal

import numpy as np
import numpy.typing as npt

from . import _batch
from ._registry import Prepared, TestRecord
from ._shared import (
    B_ACCEPTED as B_ACCEPTED,
)
from ._shared import (
    MAX_B as MAX_B,
)
from ._shared import (
    SEED_ACCEPTED as SEED_ACCEPTED,
)
from ._shared import (
    WEIGHTS_ACCEPTED as WEIGHTS_ACCEPTED,
)
from ._shared import (
    checked_B,
    checked_threads,
    checked_weights,
    exact_ratio,
    failure_text,
    one_series,
    stream,
    where,
)
from .escanciano_lobato import RECORD as EL_RECORD
from .small_sample import BOOTSTRAP_RUN, warn_if_small

if TYPE_CHECKING:
    from ._core import RawData

FloatArray = npt.NDArray[np.float64]

#: The most replicate data (series and their weights) held at once.
MAX_REPLICATE_BYTES = 64 * 2**20
# Replicates are made and tested in blocks of about this size: small enough to
# stay in the processor's outer cache between the weights being applied and
# the test reading them, large enough that el_many gets whole groups and few
# calls. At n = 10,000 on one thread (B = 999) 1 MiB blocks cost 0.76x the
# plain calls, 4 MiB 0.61x, 16 MiB 0.82x.
_CACHE_BLOCK_BYTES = 2**22


# --- the wild bootstrap -----------------------------------------------------

#: The replicate statistics a result keeps (the first ones drawn, a random
#: sample of them all): enough for a histogram, and bounded whatever B is.
SAMPLE_SIZE = 10_000

NO_REPLICATE = (
    "bootstrap: none of the {B} re-weighted replicates could be tested (in the first, {message}); the series "
    "is too short or too regular for a wild bootstrap"
)

# Mammen's two-point weights: mean 0, variance 1, third moment 1.
_SQRT5 = math.sqrt(5.0)
MAMMEN_LOW = (1.0 - _SQRT5) / 2.0  # taken with probability MAMMEN_P_LOW
MAMMEN_HIGH = (1.0 + _SQRT5) / 2.0
MAMMEN_P_LOW = (_SQRT5 + 1.0) / (2.0 * _SQRT5)
# A value's weight is decided by the 72-bit uniform u = (byte + v 2^-64) / 256:
# MAMMEN_LOW when u < MAMMEN_P_LOW, which is exactly the integer comparison
# byte 2^64 + v < MAMMEN_P_LOW 2^72 (an integer: the double has 53 bits). So
# a byte below MAMMEN_BYTE decides LOW, above it HIGH, and only a byte equal
# to it (1 in 256) needs v, compared with MAMMEN_REFINE_BOUND. P(LOW) is then
# MAMMEN_P_LOW exactly, from 8 random bits per value instead of 64.
_MAMMEN_P_LOW_72 = int(MAMMEN_P_LOW * 2.0**72)
MAMMEN_BYTE = _MAMMEN_P_LOW_72 >> 64
MAMMEN_REFINE_BOUND = np.uint64(_MAMMEN_P_LOW_72 & (2**64 - 1))

# Row k holds the sign masks of the eight bits of the byte k, least
# significant first: bit i set flips the sign of position i.
_SIGN_MASKS = np.array([[((k >> i) & 1) << 63 for i in range(8)] for k in range(256)], dtype=np.uint64)


@dataclass(frozen=True)
class BootstrapResult:
    """A wild-bootstrap p-value with what it was made of (made by `bootstrap`).

    Attributes
    ----------
    pvalue : float
        (1 + exceedances) / (tested + 1).
    B : int
        The replicates drawn.
    exceedances : int
        How many tested replicates had T* >= T.
    tested : int
        The replicates the test could run on: B, unless some re-weighted
        series was degenerate (constant after demeaning, possible only in
        very short or very regular series); those are skipped, counted
        here, and never reported as an error.
    weights : {"rademacher", "mammen"}
        The weights' distribution.
    seed : int or numpy.random.SeedSequence
        The seed the stream came from: pass it as `seed` to repeat the run
        bit for bit (also after seed=None, or a Generator, which only
        supplies it).
    sample : numpy.ndarray
        The first min(B, SAMPLE_SIZE) replicate statistics in the order
        drawn, NaN where skipped (read-only): a histogram's worth, however
        large B is.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import bootstrap
    >>> result = bootstrap(np.random.default_rng(5).standard_normal(300), B=199, seed=3)
    >>> result.B, result.tested, result.seed, result.at_floor
    (199, 199, 3, False)
    """

    pvalue: float
    B: int
    exceedances: int
    tested: int
    weights: Literal["rademacher", "mammen"]
    seed: int | np.random.SeedSequence
    sample: FloatArray = field(repr=False, compare=False)

    @property
    def at_floor(self) -> bool:
        """No tested replicate reached T: the p-value is the smallest
        possible, 1/(tested + 1), a bound rather than an estimate."""
        return self.exceedances == 0


def _rademacher_rows(generator: np.random.PCG64, e: FloatArray, out: FloatArray) -> None:
    """Fills `out` (rows x n rounded up to a multiple of 8; `e` padded alike)
    with e * w, w = +-1 from the stream's bits.

    Replicate r takes the next ceil(n / 64) raw 64-bit outputs; position
    64 k + i gets the sign -1 when bit i of its k-th output is set (the bits
    of the padding are drawn and not used). A sign flip is e * -1 exactly,
    zeros included, done as an XOR of the sign bit: one gather of eight sign
    masks per random byte straight into `out`, then one XOR with e in place.
    """
    rows, width = out.shape
    words = (width + 63) // 64
    raw = generator.random_raw(rows * words).astype("<u8", copy=False)
    octets = raw.view(np.uint8).reshape(rows, words * 8)[:, : width // 8]
    bits = out.view(np.uint64)
    # Every byte is a valid row, so "clip" never clips; it spares the copy
    # that the default mode makes of `out` in case of an index error.
    np.take(_SIGN_MASKS, octets, axis=0, out=bits.reshape(rows, width // 8, 8), mode="clip")
    np.bitwise_xor(bits, e.view(np.uint64), out=bits)


def _mammen_rows(
    generator: np.random.PCG64, refine: np.random.PCG64, products: npt.NDArray[np.int64], out: FloatArray
) -> None:
    """Fills `out` (rows x n) with e * w, w Mammen's two-point weight.

    Replicate r takes the next ceil(n / 8) raw outputs of `generator` as
    bytes, least significant first, one per value (those of the padding are
    drawn and not used): below MAMMEN_BYTE the weight is MAMMEN_LOW, above
    it MAMMEN_HIGH; a byte equal to it takes the next raw output v of
    `refine` (in the order of the replicates, then of the values) and gets
    MAMMEN_LOW when v < MAMMEN_REFINE_BOUND. One random byte per value,
    not a 64-bit word: drawing a word per value costs as much as the test.

    The two possible products, e * MAMMEN_LOW and e * MAMMEN_HIGH, are the
    same in every replicate: `products` holds their bits, made once. Each
    value's bits are taken from one of them by its byte in one native pass
    over the block (five NumPy passes cost five times as much), so `out`
    holds the very bits of e * w, with no product and no float temporary.
    The pass leaves the tied values HIGH and reports them, in order; those
    that `refine` makes LOW are then set here.
    """
    rows, n = out.shape
    words = -(-n // 8)
    octets = generator.random_raw(rows * words).astype("<u8", copy=False).view(np.uint8).reshape(rows, words * 8)
    bits = out.view(np.int64)
    tied = np.frombuffer(_batch._select_by_byte(octets, products, bits, MAMMEN_BYTE), dtype=np.int64)
    if len(tied):
        low = tied[refine.random_raw(len(tied)) < MAMMEN_REFINE_BOUND]
        bits.reshape(-1)[low] = products[0, low % n]


def _width(n: int) -> int:
    return -(-n // 8) * 8


def _rows_per_block(n: int, weights: str, limit: int) -> int:
    # Replicate series (rows padded to a multiple of 8 values) and raw words
    # (Rademacher), or the series and their random bytes (Mammen).
    per_row = 8 * _width(n) + 8 * ((n + 63) // 64) if weights == "rademacher" else 8 * n + _width(n)
    return max(1, min(limit, _CACHE_BLOCK_BYTES) // per_row)


def _bootstrap(
    x: FloatArray,
    prepared: Prepared,
    B: int,
    weights: Literal["rademacher", "mammen"],
    generator: np.random.PCG64,
    multipliers: bool = False,
) -> tuple[int, int, FloatArray, str | None]:
    """(exceedances, replicates tested, the first SAMPLE_SIZE statistics, the
    first skipped replicate's message) of B replicates of the demeaned `x`
    (or, for a record that takes them, of the multipliers alone).

    Memory does not grow with B: one block of replicates is filled in place,
    tested in one native batch while still in the processor's cache, and
    only its count of T* >= T is kept (with the bounded sample)."""
    n = len(x)
    # Ones make the rows the draws of the weights themselves, bit for bit
    # (a sign flip of 1.0, or 1.0 times a Mammen value).
    # e and its two Mammen products, or ones and the weights' two values.
    e, low, high = (
        (np.ones(n), np.full(n, MAMMEN_LOW), np.full(n, MAMMEN_HIGH))
        if multipliers
        else _demeaned(x, MAMMEN_LOW, MAMMEN_HIGH)
    )
    rows = min(B, _rows_per_block(n, weights, MAX_REPLICATE_BYTES))
    replicates: Callable[[int], FloatArray]
    if weights == "rademacher":
        # One block, reused, its rows padded to whole bytes of signs; each
        # replicate is the contiguous first n values of a row.
        block = np.empty((rows, _width(n)))
        padded = np.zeros(_width(n))
        padded[:n] = e

        def replicates(count: int) -> FloatArray:
            _rademacher_rows(generator, padded, block[:count])
            return block[:count, :n]
    else:
        products = np.stack([low, high]).view(np.int64)
        # The bytes' ties are resolved from a second stream, so that every
        # replicate's bytes sit at a fixed place in the first.
        refine = generator.jumped()
        series = np.empty((rows, n))

        def replicates(count: int) -> FloatArray:
            _mammen_rows(generator, refine, products, series[:count])
            return series[:count]

    statistic = prepared.statistic
    sample = np.full(min(B, SAMPLE_SIZE), math.nan)
    exceedances, tested, skipped = 0, 0, None
    for start in range(0, B, rows):
        count = min(rows, B - start)
        # A degenerate replicate (the record says which: constant after
        # re-weighting, say) is the bootstrap's, not the data's: it is
        # skipped and counted; the record raises for any other refusal.
        statistics, message = prepared.replicates(replicates(count))
        exceedances += int(np.count_nonzero(statistics >= statistic))
        failed = int(np.count_nonzero(np.isnan(statistics)))  # the statistic of a skipped replicate
        tested += count - failed
        if failed and skipped is None:
            skipped = message
        if start < len(sample):
            sample[start : start + count] = statistics[: len(sample) - start]
    sample.setflags(write=False)
    return exceedances, tested, sample, skipped


def _demeaned(x: FloatArray, *factors: float) -> tuple[FloatArray, ...]:
    """x minus the mean every test uses (the sequential sum over n), and its
    products with `factors`, made natively in a fixed floating-point
    environment: the same bits whatever rounding mode the caller has set."""
    return tuple(
        np.frombuffer(column, dtype=np.float64) for column in _batch.demeaned(np.ascontiguousarray(x), factors)
    )


def bootstrap(
    data: RawData,
    B: int = 999,
    *,
    weights: Literal["rademacher", "mammen"] = "rademacher",
    seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM | None = None,
    q: float | None = None,
    d: int | None = None,
    threads: int | None = None,
) -> BootstrapResult:
    """Wild-bootstrap p-value of the test, with B, the seed used and the count.

    Each of the B replicates multiplies the demeaned series by i.i.d.
    weights (Rademacher +-1, or Mammen's two-point weights) and runs the
    test with the same q and d, choosing p~ anew; the p-value is
    (1 + #{T* >= T}) / (tested + 1), tested = B unless some replicates
    could not be tested (see BootstrapResult). 1 <= B <= MAX_B (10^8).

    The weights come from the raw 64-bit outputs of NumPy's PCG64 bit
    generator, whose stream NumPy keeps fixed, so a seed gives the same
    p-value on every platform and NumPy version::

      Rademacher  replicate r takes the next ceil(n / 64) outputs; value
                  64 k + i gets -1 where bit i of its k-th output is set
      Mammen      replicate r takes the next ceil(n / 8) outputs as bytes,
                  least significant first, one per value: (1 - sqrt 5) / 2
                  below 185, (1 + sqrt 5) / 2 above; a byte of 185 takes
                  the next output v of PCG64(seed).jumped() (in order of
                  replicate, then value) and gets (1 - sqrt 5) / 2 when
                  v < MAMMEN_REFINE_BOUND: P = MAMMEN_P_LOW exactly

    `seed`: an int (>= 0) or SeedSequence seeds PCG64(seed); None takes
    fresh entropy; a Generator or bit generator of the PCG64 family
    (PCG64, PCG64DXSM) supplies a 128-bit int seed from its next two raw
    outputs, low word first (and moves on). The result's `seed` is that int.

    Memory does not grow with B: replicates are made and tested in blocks
    (at most 64 MB, and about 4 MB where the series allows) and only the
    exceedances are counted, with the first 10,000 statistics kept as a
    sample. A series shorter than 100 gets a SmallSampleWarning, as
    everywhere (the bootstrap is the remedy it points to, but it cannot
    make a tiny sample informative).

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, read as `read_series` reads one, or a fitted model
        result with a ``resid`` attribute.
    B : int, default 999
        Number of bootstrap replicates, from 1 to MAX_B.
    weights : {"rademacher", "mammen"}, default "rademacher"
        The distribution of the weights.
    seed : None, int, numpy.random.SeedSequence, numpy.random.Generator, numpy.random.PCG64 or numpy.random.PCG64DXSM
        The stream's seed (see above); None draws a fresh one, kept in the result.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).
    threads : int, optional
        Threads that test the replicates (default: every CPU available).

    Returns
    -------
    BootstrapResult
        The p-value with B, the exceedances, the replicates tested, the
        weights and the seed that repeats the run.

    Raises
    ------
    TypeError
        `seed` is of another kind, or the data are not one series of numbers.
    ValueError
        `B` is outside 1 to MAX_B, `weights` is neither name, or the test
        refuses the data, `q` or `d`; or no replicate at all could be tested.
    OverflowError, OSError
        As `EscancianoLobato` raises them for the data.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from larkspur_tools import bootstrap
    >>> prices = pd.read_csv("data/EuStockMarkets.csv")["FTSE"]
    >>> result = bootstrap(np.diff(np.log(prices)), B=999, seed=1)
    >>> result.pvalue, result.B, result.seed
    (0.002, 999, 1)
    """
    return _bootstrap_of(data, B, weights, seed, q, d, threads)


def _bootstrap_of(
    data: RawData, B: int, weights: object, seed: object, q: float | None, d: int | None, threads: int | None
) -> BootstrapResult:
    # The stack: warn_if_small, run_bootstrap, here, bootstrap or bootstrap_pvalue, its caller.
    return run_bootstrap(EL_RECORD, data, B, weights, seed, {"q": q, "d": d}, threads, stacklevel=5)


def scaled_to_unit(x: FloatArray) -> FloatArray:
    """x times the power of two that brings its largest magnitude into
    [1, 2): exact for every value not pushed below the smallest normal
    (then the same for x * 2**k, every k). A series with no finite nonzero
    value is returned as it is."""
    finite = x[np.isfinite(x)]
    largest = float(np.max(np.abs(finite))) if finite.size else 0.0
    if largest == 0.0:
        return x
    _, exponent = math.frexp(largest)  # largest = m 2**exponent, 0.5 <= m < 1
    return x if exponent == 1 else np.ldexp(x, 1 - exponent)


def run_bootstrap(
    record: TestRecord,
    data: RawData,
    B: object,
    weights: object,
    seed: object,
    options: dict[str, object],
    threads: int | None,
    stacklevel: int = 4,
    name: str | None = None,
) -> BootstrapResult:
    """`prepared_bootstrap`'s result alone (one frame more to the user's call)."""
    return prepared_bootstrap(record, data, B, weights, seed, options, threads, stacklevel + 1, name)[1]


def prepared_bootstrap(
    record: TestRecord,
    data: RawData,
    B: object,
    weights: object,
    seed: object,
    options: dict[str, object],
    threads: int | None,
    stacklevel: int = 4,
    name: str | None = None,
    warn: bool = True,
) -> tuple[Prepared, BootstrapResult]:
    """The wild bootstrap of `record`'s test on one series (and the series
    as the record prepared it): every check in
    the order every bootstrap makes them, then the replicates.

    Arguments first (cheap: weights, B, threads, the test's options), then
    the data (the test's own errors), then the stream: a refused call draws
    nothing from a caller's Generator. `stacklevel` points the small-sample
    warning at the user's call; `name` names the series there when the data
    (already read by the caller) no longer carry it; warn=False leaves the
    warning to a caller that has already given it."""
    weights = checked_weights(weights)
    B = checked_B(B)
    count = checked_threads(threads)
    checked = record.check_options(options)
    x, own_name = one_series(data)
    name = own_name if name is None else name
    prepared = record.prepare(x, checked, count)
    used, generator = stream(seed)
    if warn and record.small_sample_warning:
        warn_if_small(len(x), where(name), stacklevel=stacklevel, remedy=BOOTSTRAP_RUN)
    return prepared, bootstrap_result(record, x, prepared, B, weights, used, generator, checked, count)


def bootstrap_result(
    record: TestRecord,
    x: FloatArray,
    prepared: Prepared,
    B: int,
    weights: Literal["rademacher", "mammen"],
    used: int | np.random.SeedSequence,
    generator: np.random.PCG64,
    options: object,
    threads: int,
) -> BootstrapResult:
    """The replicates of a series already prepared (its statistic is the
    test's on x itself), counted into a result."""
    if record.scale_free:
        unit = scaled_to_unit(x)
        if unit is not x:
            prepared_unit = record.prepare(unit, options, threads)
            # The replicates are made from the unit-scale series; T stays
            # the test's on the data as given (the same bits for a
            # scale-free test, wherever it accepts both).
            prepared_unit.statistic = prepared.statistic
            x, prepared = unit, prepared_unit
    exceedances, tested, sample, skipped = _bootstrap(x, prepared, B, weights, generator, record.multipliers)
    if tested == 0:
        # A skipped replicate is a degenerate one, which the test refused with
        # an OSError: said in a reader's words, as the command says it.
        raise ValueError(NO_REPLICATE.format(B=B, message=failure_text(OSError(skipped))))
    return BootstrapResult(exact_ratio(1 + exceedances, tested + 1), B, exceedances, tested, weights, used, sample)


def bootstrap_pvalue(
    data: RawData,
    B: int = 999,
    *,
    weights: Literal["rademacher", "mammen"] = "rademacher",
    seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM | None = None,
    q: float | None = None,
    d: int | None = None,
    threads: int | None = None,
) -> float:
    """Wild-bootstrap p-value of the test: bootstrap(...).pvalue.

    (1 + #{T* >= T}) / (B + 1) from B replicates of the demeaned series
    re-weighted by Rademacher or Mammen weights; see `bootstrap` for the
    stream, the seeds accepted, the bound on B and the replicates that
    cannot be tested. Use `bootstrap` to learn the seed a run without one
    used. In small samples it holds the level where the asymptotic p-value
    over-rejects (docs/reading_the_numbers.md).

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, or a fitted model result with a ``resid`` attribute.
    B : int, default 999
        Number of bootstrap replicates, from 1 to MAX_B.
    weights : {"rademacher", "mammen"}, default "rademacher"
        The distribution of the weights.
    seed : None, int, numpy.random.SeedSequence, numpy.random.Generator, numpy.random.PCG64 or numpy.random.PCG64DXSM
        The stream's seed, as `bootstrap` takes it.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).
    threads : int, optional
        Threads that test the replicates (default: every CPU available).

    Returns
    -------
    float
        The bootstrap p-value, at least 1 / (B + 1).

    Raises
    ------
    TypeError, ValueError, OverflowError, OSError
        As `bootstrap` raises them.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from larkspur_tools import bootstrap_pvalue
    >>> prices = pd.read_csv("data/EuStockMarkets.csv")["FTSE"]
    >>> bootstrap_pvalue(np.diff(np.log(prices)), B=999, seed=1)
    0.002
    """
    return _bootstrap_of(data, B, weights, seed, q, d, threads).pvalue
