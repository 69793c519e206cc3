"""Why a series rejects, and how sure: the per-lag table behind the test, a
wild-bootstrap p-value, the exact chi-squared(1) tail and Ljung–Box beside.

The lag table recomputes the test's per-lag quantities with the extension's
exact order of operations (sequential sums from -0.0, every product rounded,
the squares rounded before they are multiplied), so its cumulative statistic
at the chosen lag order equals the extension's `statistic` bit for bit and
its `chosen` column marks the extension's `p_tilde`. The bootstrap tests
its replicates in native batches (as `el_many`), with the extension's bits,
and keeps only counts. Every function that tests a series gives a
SmallSampleWarning below 100 observations. pandas and matplotlib are
imported only by the functions that need them.
"""

from __future__ import annotations

import functools
import math
import textwrap
from collections.abc import Callable
from dataclasses import InitVar, dataclass, field
from typing import TYPE_CHECKING, Any, Literal, TypeVar

import numpy as np
import numpy.typing as npt

from larkspur import statistical_tests

from . import _batch
from ._core import DEFAULT_Q
from .batch import ElManyMasked, run_many
from .frame import check_level
from .reading import Panel, read_series
from .small_sample import BOOTSTRAP_RUN, warn_if_small

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

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
_BAND_Z = 1.96
# Threads for the replicates' batches (None: el_many's default, every CPU).
# Set only by bench/bootstrap.py, to measure one thread against all.
_THREADS: int | None = None

LAG_COLUMNS = ["autocorrelation", "robust_t", "robust_band", "classic_band", "cumulative_statistic",
               "criterion", "penalty", "chosen", "ljung_box", "ljung_box_pvalue"]


# --- the exact chi-squared tails --------------------------------------------

def chi2_upper_tail(x: float, df: int = 1) -> float:
    """The exact upper tail P(X > x) of chi-squared with `df` degrees of freedom.

    Computed directly by the native core, not as 1 - F, so it keeps
    shrinking where the test's p-value has become exactly 0.0 (statistics
    above about 70.13), with the same bits on every platform. NaN for NaN,
    1.0 for x <= 0, 0.0 for +inf; df from 1 to 2**32.

    Parameters
    ----------
    x : float
        Where the tail starts.
    df : int, default 1
        Degrees of freedom, from 1 to 2**32.

    Returns
    -------
    float
        P(X > x): 1.0 for x <= 0, 0.0 for x = +inf, NaN for NaN.

    Raises
    ------
    TypeError
        `df` is not an integer.
    ValueError
        `df` is below 1 or above 2**32.

    Examples
    --------
    >>> from larkspur_tools import chi2_upper_tail
    >>> round(chi2_upper_tail(3.841458820694124), 6)
    0.05
    >>> f"{chi2_upper_tail(103.66):.2g}"  # where the test's p-value is exactly 0.0
    '2.4e-24'
    """
    return _batch.chi2_upper_tail(x, df)


# --- the per-lag quantities, in the extension's order of operations ---------

def _sequential_sum(values: FloatArray) -> float:
    """-0.0 + v_0 + v_1 + ..., added left to right as the test adds.

    np.add.accumulate adds strictly in order (each partial sum is an output),
    unlike np.sum, whose pairwise reduction changes the last bits; -0.0 + v_0
    is v_0 for every v_0, so the last partial sum is the test's sum.
    """
    if values.size == 0:
        return -0.0
    return float(np.add.accumulate(values)[-1])


@dataclass(frozen=True)
class _Lags:
    """The test's per-lag quantities of one series, from the native core."""

    n: int
    d: int
    q: float
    p_tilde: int
    statistic: float
    pvalue: float
    gamma0: float
    gamma: FloatArray   # gamma_j = G_j / (n - j), lags 1..d
    tau: FloatArray
    rho2: FloatArray
    ljung_box: FloatArray
    cumulative: FloatArray
    criterion: FloatArray
    penalty: FloatArray
    aic_penalty: bool
    chosen: int


def _lags(x: FloatArray, q: float | None, d: int | None) -> _Lags:
    """The native profile of a series the test accepts (its errors otherwise):
    the same mean, sums, ratios, penalty switch and running sum as the test."""
    profile = _batch.lag_profile(np.ascontiguousarray(x), q, d)
    column = {key: np.frombuffer(value) for key, value in profile.items() if isinstance(value, bytearray)}
    n, sum_of_squares = len(x), profile["sum_of_squares"]
    # Ljung-Box's r_j = sum e_k e_{k+j} / sum e_k^2 (the classic convention),
    # from the test's own sums; only IEEE operations, added in lag order.
    pairs = n - np.arange(1, profile["d"] + 1, dtype=np.float64)
    ljung_box = float(n) * (float(n) + 2.0) * np.cumsum((column["g"] / sum_of_squares) ** 2 / pairs)
    return _Lags(n, profile["d"], DEFAULT_Q if q is None else float(q), profile["p_tilde"], profile["statistic"],
                 profile["pvalue"], sum_of_squares / float(n), column["gamma"], column["tau"],
                 column["rho_squared"], ljung_box, column["cumulative_statistic"], column["criterion"],
                 column["penalty"], not profile["bic_penalty"], profile["p_tilde"])


def _series(data: Any) -> tuple[FloatArray, str | None]:
    """One series as float64, read as every entry point reads one, or a
    fitted model's residuals (an object with a `resid` attribute)."""
    resid = getattr(data, "resid", None)
    if resid is not None and not callable(resid):
        data = resid
    name = getattr(data, "name", None)
    return read_series(data), None if name is None else str(name)


def _checked(x: FloatArray, q: float | None, d: int | None) -> tuple[_Lags, float, int]:
    # The test's own checks (and messages) decide what is accepted.
    lags = _lags(x, q, d)
    return lags, lags.q, lags.d


def _frame(lags: _Lags) -> pd.DataFrame:
    import pandas as pd

    n = float(lags.n)
    index = pd.RangeIndex(1, lags.d + 1, name="lag")
    with np.errstate(divide="ignore", invalid="ignore"):
        columns = {
            "autocorrelation": lags.gamma / lags.gamma0,
            "robust_t": math.sqrt(n) * lags.gamma / np.sqrt(lags.tau),
            "robust_band": _BAND_Z * np.sqrt(lags.tau) / (math.sqrt(n) * lags.gamma0),
            "classic_band": np.full(lags.d, _BAND_Z / math.sqrt(n)),
            "cumulative_statistic": lags.cumulative,
            "criterion": lags.criterion,
            "penalty": lags.penalty,
            "chosen": np.arange(1, lags.d + 1) == lags.chosen,
            "ljung_box": lags.ljung_box,
            "ljung_box_pvalue": [chi2_upper_tail(float(value), lag) for lag, value in enumerate(lags.ljung_box, 1)],
        }
    return pd.DataFrame(columns, index=index)


_Table = TypeVar("_Table")


def _warns_when_short(function: Callable[..., _Table]) -> Callable[..., _Table]:
    """The function, then a SmallSampleWarning for a short series: the
    series is read once here and handed on as its float64 array (read in
    place by the function)."""
    @functools.wraps(function)
    def warned(data: Any, *args: Any, **kwargs: Any) -> _Table:
        x, name = _series(data)
        result = function(x, *args, **kwargs)
        warn_if_small(len(x), _where(name))
        return result
    return warned


@_warns_when_short
def lag_table(data: RawData, q: float | None = None, d: int | None = None) -> pd.DataFrame:
    """What drives the test, lag by lag: a DataFrame indexed by lag j = 1..d.

    Columns:
      autocorrelation       gamma_j / gamma_0, the test's conventions (sums over the n - j pairs
                            divided by n - j; gamma_0 the sum of squares over n)
      robust_t              sqrt(n) gamma_j / sqrt(tau_j); its square is n rho_j^2
      robust_band           1.96 sqrt(tau_j) / (sqrt(n) gamma_0): the autocorrelation is
                            significant at 5% on its own where it leaves +-robust_band
      classic_band          1.96 / sqrt(n), the i.i.d. band of the classic correlogram
      cumulative_statistic  n (rho_1^2 + ... + rho_j^2); at p~ it is the test's statistic, bit for bit
      criterion             cumulative_statistic - penalty, which p~ maximises
      penalty               j ln n, or 2j when some robust autocorrelation is large
      chosen                True only at p~ (the test's p_tilde)
      ljung_box             Ljung-Box Q with j lags (classic r_j, i.i.d. null), for comparison
      ljung_box_pvalue      its chi-squared(j) upper tail

    Takes what the test takes (the same checks and errors). Lag n, possible
    when d = n, has no pairs and gives NaN, as in the test. A series shorter
    than 100 gets a SmallSampleWarning.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, read as `read_series` reads one, or a fitted model
        result with a ``resid`` attribute (its residuals are tested).
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).

    Returns
    -------
    pandas.DataFrame
        One row per lag 1..d, with the columns above.

    Raises
    ------
    TypeError
        The data are not one series of numbers, or q or d has the wrong type.
    ValueError, OverflowError, OSError
        As `EscancianoLobato` raises them for these arguments.

    Examples
    --------
    >>> import pandas as pd
    >>> from larkspur_tools import lag_table
    >>> sunspots = pd.read_csv("data/sunspot.year.csv")["value"]
    >>> lag_table(sunspots)[["autocorrelation", "cumulative_statistic", "chosen"]].round(3)
         autocorrelation  cumulative_statistic  chosen
    lag
    1              0.817                69.049   False
    2              0.450               103.662    True
    3              0.043               104.206   False
    """
    x, _ = _series(data)
    return _frame(_lags(x, q, d))


# --- the wild bootstrap -----------------------------------------------------

#: The most replicates one bootstrap p-value may ask for. Its resolution
#: 1/(B + 1) is then 1e-8, far below the Monte Carlo error of any p-value a
#: decision rests on, and the run is still finite: 10^8 replicates of 250
#: values take two to five minutes on one core (Rademacher, Mammen).
MAX_B = 10**8
#: The replicate statistics a result keeps (the first ones drawn, a random
#: sample of them all): enough for a histogram, and bounded whatever B is.
SAMPLE_SIZE = 10_000

WEIGHTS_ACCEPTED = "weights must be 'rademacher' or 'mammen'"
B_ACCEPTED = f"B must be an integer from 1 to {MAX_B:,} (MAX_B)"
SEED_ACCEPTED = ("seed must be None, a non-negative int, a numpy.random.SeedSequence, or a numpy.random.Generator "
                 "or bit generator of the PCG64 family (PCG64, PCG64DXSM)")
NO_REPLICATE = ("bootstrap: none of the {B} re-weighted replicates could be tested ({message}); the series is too "
                "short or too regular for a wild bootstrap")

# Mammen's two-point weights: mean 0, variance 1, third moment 1.
_SQRT5 = math.sqrt(5.0)
MAMMEN_LOW = (1.0 - _SQRT5) / 2.0                 # taken with probability MAMMEN_P_LOW
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
    """A wild-bootstrap p-value with what it was made of.

    pvalue       (1 + exceedances) / (tested + 1)
    B            the replicates drawn
    exceedances  how many tested replicates had T* >= T
    tested       the replicates the test could run on: B, unless some
                 re-weighted series was degenerate (constant after demeaning,
                 possible only in very short or very regular series); those
                 are skipped, counted here, and never reported as an error
    weights      "rademacher" or "mammen"
    seed         the int or SeedSequence the stream came from: pass it as
                 `seed` to repeat the run bit for bit (also after seed=None,
                 or a Generator, which only supplies it)
    sample       the first min(B, SAMPLE_SIZE) replicate statistics in the
                 order drawn, NaN where skipped (read-only): a histogram's
                 worth, however large B is
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


def _checked_weights(weights: object) -> Literal["rademacher", "mammen"]:
    if isinstance(weights, str):
        if weights == "rademacher":
            return "rademacher"
        if weights == "mammen":
            return "mammen"
    raise ValueError(f"{WEIGHTS_ACCEPTED}, not {weights!r}")


def _checked_B(B: object) -> int:
    if isinstance(B, bool) or not isinstance(B, (int, np.integer)) or not 1 <= B <= MAX_B:
        raise ValueError(f"{B_ACCEPTED}, not {B!r}")
    return int(B)


def _stream(seed: object) -> tuple[int | np.random.SeedSequence, np.random.PCG64]:
    """(the seed to report, the PCG64 bit generator whose raw outputs make the weights).

    An int or SeedSequence seeds PCG64 as NumPy does (PCG64(seed)). None
    draws fresh entropy from the operating system, and a Generator or
    PCG64-family bit generator gives its next two raw 64-bit outputs (first
    the low word) as a 128-bit int: either way that int is the seed reported,
    so every run can be repeated, and a Generator moves on as after any draw.
    """
    if seed is None:
        entropy = np.random.SeedSequence().entropy
        assert isinstance(entropy, int)
        seed = entropy
    elif isinstance(seed, np.random.Generator) and isinstance(seed.bit_generator, (np.random.PCG64,
                                                                                    np.random.PCG64DXSM)):
        low, high = (int(word) for word in seed.bit_generator.random_raw(2))
        seed = low | high << 64
    elif isinstance(seed, (np.random.PCG64, np.random.PCG64DXSM)):
        low, high = (int(word) for word in seed.random_raw(2))
        seed = low | high << 64
    elif isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
        if seed < 0:
            raise ValueError(f"{SEED_ACCEPTED}, not {seed!r}")
        seed = int(seed)
    elif not isinstance(seed, np.random.SeedSequence):
        raise TypeError(f"{SEED_ACCEPTED}, not {type(seed).__name__}")
    return seed, np.random.PCG64(seed)


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


def _mammen_rows(generator: np.random.PCG64, refine: np.random.PCG64, products: npt.NDArray[np.int64],
                out: FloatArray) -> None:
    """Fills `out` (rows x n) with e * w, w Mammen's two-point weight.

    Replicate r takes the next ceil(n / 8) raw outputs of `generator` as
    bytes, least significant first, one per value (those of the padding are
    drawn and not used): below MAMMEN_BYTE the weight is MAMMEN_LOW, above
    it MAMMEN_HIGH; a byte equal to it takes the next raw output v of
    `refine` (in the order of the replicates, then of the values) and gets
    MAMMEN_LOW when v < MAMMEN_REFINE_BOUND. One random byte per value,
    not a 64-bit word: drawing a word per value costs as much as the test.

    The two possible products, e * MAMMEN_LOW and e * MAMMEN_HIGH, are the
    same in every replicate: `products` holds their bits and, in row 2,
    their XOR, made once. Each replicate is then selected bit by bit,
    HIGH ^ (mask & (LOW ^ HIGH)), the mask all ones where the weight is LOW
    (an int8 -1 widened with its sign): the very bits of e * w, with no
    product and no float temporary.
    """
    rows, n = out.shape
    words = -(-n // 8)
    octets = generator.random_raw(rows * words).astype("<u8", copy=False).view(np.uint8)
    octets = octets.reshape(rows, words * 8)[:, :n]
    low = octets < MAMMEN_BYTE
    tied = np.flatnonzero(octets == MAMMEN_BYTE)
    if len(tied):
        low.reshape(-1)[tied] = refine.random_raw(len(tied)) < MAMMEN_REFINE_BOUND
    mask = low.view(np.int8)
    np.negative(mask, out=mask)
    bits = out.view(np.int64)
    np.copyto(bits, mask, casting="unsafe")
    np.bitwise_and(bits, products[2], out=bits)
    np.bitwise_xor(bits, products[1], out=bits)


def _width(n: int) -> int:
    return -(-n // 8) * 8


def _rows_per_block(n: int, weights: str, limit: int) -> int:
    # Replicate series (rows padded to a multiple of 8 values) and raw words
    # (Rademacher), or the series, their random bytes and the comparison
    # (Mammen).
    per_row = 8 * _width(n) + 8 * ((n + 63) // 64) if weights == "rademacher" else 8 * n + _width(n) + n
    return max(1, min(limit, _CACHE_BLOCK_BYTES) // per_row)


def _bootstrap(x: FloatArray, statistic: float, B: int, weights: Literal["rademacher", "mammen"],
               generator: np.random.PCG64, q: float | None,
               d: int | None) -> tuple[int, int, FloatArray, str | None]:
    """(exceedances, replicates tested, the first SAMPLE_SIZE statistics, the
    first skipped replicate's message) of B replicates of the demeaned `x`.

    Memory does not grow with B: one block of replicates is filled in place,
    tested in one native batch while still in the processor's cache, and
    only its count of T* >= T is kept (with the bounded sample)."""
    n = len(x)
    e = _demeaned(x)
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
        products = np.stack([e * MAMMEN_LOW, e * MAMMEN_HIGH, e]).view(np.int64)
        products[2] = products[0] ^ products[1]
        # The bytes' ties are resolved from a second stream, so that every
        # replicate's bytes sit at a fixed place in the first.
        refine = generator.jumped()
        series = np.empty((rows, n))

        def replicates(count: int) -> FloatArray:
            _mammen_rows(generator, refine, products, series[:count])
            return series[:count]
    sample = np.full(min(B, SAMPLE_SIZE), math.nan)
    exceedances, tested, skipped = 0, 0, None
    for start in range(0, B, rows):
        count = min(rows, B - start)
        # Masked: a replicate the test refuses (a zero robust variance after
        # re-weighting) is the bootstrap's, not the data's; it is skipped.
        result = run_many(Panel(replicates(count), 1, count), q, d, _THREADS, "mask", lambda index: "in a bootstrap replicate")
        statistics = result.statistic
        exceedances += int(np.count_nonzero(statistics >= statistic))
        failed = int(np.count_nonzero(np.isnan(statistics)))  # the statistic of a skipped replicate
        tested += count - failed
        if failed and skipped is None and isinstance(result, ElManyMasked):
            skipped = next(message for message in result.message if message is not None)
        if start < len(sample):
            sample[start:start + count] = statistics[:len(sample) - start]
    sample.setflags(write=False)
    return exceedances, tested, sample, skipped


def _demeaned(x: FloatArray) -> FloatArray:
    return x - _sequential_sum(x) / float(len(x))


def _where(name: str | None) -> str:
    return "the series" if name is None else f"series {name!r}"


def bootstrap(data: RawData, B: int = 999, *, weights: Literal["rademacher", "mammen"] = "rademacher",
              seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM
              | None = None, q: float | None = None, d: int | None = None) -> BootstrapResult:
    """Wild-bootstrap p-value of the test, with B, the seed used and the count.

    Each of the B replicates multiplies the demeaned series by i.i.d.
    weights (Rademacher +-1, or Mammen's two-point weights) and runs the
    test with the same q and d, choosing p~ anew; the p-value is
    (1 + #{T* >= T}) / (tested + 1), tested = B unless some replicates
    could not be tested (see BootstrapResult). 1 <= B <= MAX_B (10^8).

    The weights come from the raw 64-bit outputs of NumPy's PCG64 bit
    generator, whose stream NumPy keeps fixed, so a seed gives the same
    p-value on every platform and NumPy version:
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
    return _bootstrap_of(data, B, weights, seed, q, d)


def _bootstrap_of(data: RawData, B: int, weights: object, seed: object, q: float | None,
                  d: int | None) -> BootstrapResult:
    # Arguments first (cheap), then the data, then the stream: a refused
    # call draws nothing from a caller's Generator.
    weights = _checked_weights(weights)
    B = _checked_B(B)
    x, name = _series(data)
    result, _, _ = _checked(x, q, d)
    used, generator = _stream(seed)
    # The stack: warn_if_small, here, bootstrap or bootstrap_pvalue, its caller.
    warn_if_small(len(x), _where(name), stacklevel=4, remedy=BOOTSTRAP_RUN)
    return _result(x, result.statistic, B, weights, used, generator, q, d)


def _result(x: FloatArray, statistic: float, B: int, weights: Literal["rademacher", "mammen"],
            used: int | np.random.SeedSequence, generator: np.random.PCG64, q: float | None,
            d: int | None) -> BootstrapResult:
    exceedances, tested, sample, skipped = _bootstrap(x, statistic, B, weights, generator, q, d)
    if tested == 0:
        raise ValueError(NO_REPLICATE.format(B=B, message=skipped))
    return BootstrapResult((1 + exceedances) / (tested + 1), B, exceedances, tested, weights, used, sample)


def bootstrap_pvalue(data: RawData, B: int = 999, *, weights: Literal["rademacher", "mammen"] = "rademacher",
                     seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64
                     | np.random.PCG64DXSM | None = None, q: float | None = None, d: int | None = None) -> float:
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
    return _bootstrap_of(data, B, weights, seed, q, d).pvalue


# --- the diagnosis ----------------------------------------------------------

#: The smallest asymptotic p-value other than 0.0: 1 - F(T) rounds to 0.0
#: once F is within half an ulp of 1 (statistics beyond about 70.13).
PVALUE_RESOLUTION = 2.0**-53
#: Below the smallest subnormal a directly computed tail is 0.0.
TAIL_RESOLUTION = 5e-324
_SCIENTIFIC_BELOW = 1e-4
# Points between the axes' lower edge and a legend below them: the tick
# labels and the x label fit in between at any figure size.
_LEGEND_DROP_POINTS = 36
# Lags beyond which not every lag gets a tick label.
_ALL_TICKS_UP_TO = 20


def pvalue_text(pvalue: float, decimals: int, zero_below: float | None = None, bound: bool = False) -> str:
    """A p-value as statistics packages print it: fixed decimals, scientific
    notation below 1e-4, "< bound" for an exact 0.0 that only means "below
    the computation's resolution" (`zero_below`), "<= p" for a bound."""
    if pvalue == 0.0 and zero_below is not None:
        return f"< {zero_below:.2g}"
    text = f"{pvalue:.{decimals}f}" if pvalue >= _SCIENTIFIC_BELOW else f"{pvalue:.{decimals - 1}e}"
    return f"<= {text}" if bound else text


@dataclass(frozen=True, eq=False)
class Diagnosis:
    """The test on one series with everything needed to read it.

    `tail` is the exact chi-squared(1) upper tail at the statistic (the
    p-value is 1 - F and is exactly 0.0 beyond about 70.13; the tail keeps
    ranking such series). `bootstrap` is the BootstrapResult, None without a
    bootstrap; `bootstrap_pvalue`, `B`, `weights` and `seed` read from it.
    `lag_table` is a fresh copy on every access, so changing it changes
    nothing here. A diagnosis compares and hashes by identity (it holds a
    table, which has no single truth value).

    Attributes
    ----------
    n, d : int
        Observations, and the largest lag used.
    q : float
        Constant of the penalty switch used.
    p_tilde : int
        The chosen lag order.
    statistic, pvalue : float
        The test's statistic and asymptotic p-value.
    tail : float
        The exact chi-squared(1) upper tail at the statistic.
    bootstrap : BootstrapResult or None
        The wild bootstrap, None without one.
    level : float
        The level of the verdicts (default 0.05).
    name : str or None
        The series' name (a pandas Series' name).
    aic_penalty : bool
        True when the 2p penalty was in force, False for p ln n.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import diagnose
    >>> diagnosis = diagnose(np.random.default_rng(3).standard_normal(400), bootstrap=199, seed=2)
    >>> diagnosis.p_tilde, diagnosis.reject(), diagnosis.aic_penalty
    (1, False, False)
    """

    n: int
    d: int
    q: float
    p_tilde: int
    statistic: float
    pvalue: float
    tail: float
    bootstrap: BootstrapResult | None
    table: InitVar[pd.DataFrame]
    level: float = 0.05
    name: str | None = None
    aic_penalty: bool = False
    _table: pd.DataFrame = field(init=False, repr=False)

    def __post_init__(self, table: pd.DataFrame) -> None:
        object.__setattr__(self, "_table", table.copy())

    @property
    def lag_table(self) -> pd.DataFrame:
        """The lag table (see `lag_table`), a fresh copy."""
        return self._table.copy()

    @property
    def bootstrap_pvalue(self) -> float | None:
        return None if self.bootstrap is None else self.bootstrap.pvalue

    @property
    def B(self) -> int:
        return 0 if self.bootstrap is None else self.bootstrap.B

    @property
    def weights(self) -> Literal["rademacher", "mammen"] | None:
        return None if self.bootstrap is None else self.bootstrap.weights

    @property
    def seed(self) -> int | np.random.SeedSequence | None:
        """The seed the bootstrap used (pass it to repeat the run)."""
        return None if self.bootstrap is None else self.bootstrap.seed

    def reject(self, bootstrap: bool = False) -> bool:
        """The verdict at `level`: True when the p-value is at most the level.

        Parameters
        ----------
        bootstrap : bool, default False
            Judge by the bootstrap p-value instead of the asymptotic one.

        Returns
        -------
        bool
            True: reject the null of no serial correlation.

        Raises
        ------
        ValueError
            `bootstrap` is True but no bootstrap was run.

        Examples
        --------
        >>> import pandas as pd
        >>> from larkspur_tools import diagnose
        >>> sunspots = pd.read_csv("data/sunspot.year.csv")["value"]
        >>> diagnose(sunspots).reject()
        True
        """
        pvalue = self.bootstrap_pvalue if bootstrap else self.pvalue
        if pvalue is None:
            raise ValueError("no bootstrap was run")
        return pvalue <= self.level

    def to_frame(self) -> pd.DataFrame:
        """One row of the scalar results, indexed by the series' name.

        Returns
        -------
        pandas.DataFrame
            Columns n, d, q, p_tilde, statistic, pvalue, tail,
            bootstrap_pvalue (NaN without a bootstrap) and reject (by the
            bootstrap p-value when there is one).

        Examples
        --------
        >>> import pandas as pd
        >>> from larkspur_tools import diagnose
        >>> sunspots = pd.read_csv("data/sunspot.year.csv")["value"].rename("sunspots")
        >>> diagnose(sunspots).to_frame()[["n", "p_tilde", "pvalue", "reject"]]
                    n  p_tilde  pvalue  reject
        sunspots  289        2     0.0    True
        """
        import pandas as pd

        row = {"n": self.n, "d": self.d, "q": self.q, "p_tilde": self.p_tilde, "statistic": self.statistic,
               "pvalue": self.pvalue, "tail": self.tail,
               "bootstrap_pvalue": math.nan if self.bootstrap_pvalue is None else self.bootstrap_pvalue,
               "reject": self.reject(self.bootstrap_pvalue is not None)}
        return pd.DataFrame([row], index=[self.name or "series"])

    def summary(self) -> str:
        """A text report: the results, the verdict at `level`, the lag table.

        p-values print with fixed decimals, in scientific notation below
        1e-4, as "< 1.1e-16" where the asymptotic p-value is exactly 0.0 (the
        exact tail beside it still ranks), and as "<= 1/(B + 1)" where no
        replicate reached the statistic.

        Returns
        -------
        str
            The report, 92 characters wide; ``str(diagnosis)`` is the same.

        Examples
        --------
        >>> import pandas as pd
        >>> from larkspur_tools import diagnose
        >>> sunspots = pd.read_csv("data/sunspot.year.csv")["value"].rename("sunspots")
        >>> print(diagnose(sunspots).summary().splitlines()[4])
        Chosen lag order (p~):                     2    Penalty in force:                   2p (AIC)
        """
        width = 92
        pct = f"{100 * self.level:g}%"
        boot = self.bootstrap

        def pair(left: str, lvalue: str, right: str, rvalue: str) -> str:
            return f"{left:<22}{lvalue:>22}    {right:<24}{rvalue:>20}"

        def verdict(bootstrap: bool) -> str:
            return "reject H0" if self.reject(bootstrap) else "do not reject H0"

        lines = ["Escanciano-Lobato automatic portmanteau test".center(width).rstrip(), "=" * width,
                 pair("Series:", self.name or "-", "Observations (n):", str(self.n)),
                 pair("Largest lag (d):", str(self.d), "Penalty constant (q):", f"{self.q:g}"),
                 pair("Chosen lag order (p~):", str(self.p_tilde), "Penalty in force:",
                      "2p (AIC)" if self.aic_penalty else "p ln n (BIC)"),
                 pair("Statistic:", f"{self.statistic:.5f}", "Asymptotic p-value:",
                      pvalue_text(self.pvalue, 5, PVALUE_RESOLUTION)),
                 pair("Exact chi2(1) tail:", f"{self.tail:.4e}" if self.tail else f"< {TAIL_RESOLUTION:.2g}",
                      "Bootstrap p-value:",
                      "-" if boot is None else pvalue_text(boot.pvalue, 4, bound=boot.at_floor))]
        if boot is not None:
            skipped = boot.B - boot.tested
            lines.append(f"Bootstrap: {boot.B} draws, {boot.weights.capitalize()} weights, seed {boot.seed}"
                         + (f"; {skipped} degenerate replicates skipped" if skipped else ""))
        lines.append("-" * width)
        lines.append(f"Verdict at {pct}: {verdict(False)} (asymptotic)"
                     + ("" if boot is None else f", {verdict(True)} (bootstrap)"))
        lines.append("=" * width)
        lines.append(f"{'lag':>3} {'autocorr':>9} {'robust t':>9} {'robust band':>12} {'classic band':>12} "
                     f"{'cum. stat':>10} {'criterion':>10} {'p~':>3} {'LB Q':>9} {'LB p-value':>10}")
        for lag, row in self._table.iterrows():
            lines.append(f"{lag:>3} {row['autocorrelation']:>9.4f} {row['robust_t']:>9.3f} "
                         f"{'+-' + format(row['robust_band'], '.4f'):>12} "
                         f"{'+-' + format(row['classic_band'], '.4f'):>12} {row['cumulative_statistic']:>10.4f} "
                         f"{row['criterion']:>10.4f} {'*' if row['chosen'] else '':>3} "
                         f"{row['ljung_box']:>9.3f} {pvalue_text(row['ljung_box_pvalue'], 4, TAIL_RESOLUTION):>10}")
        lines.append("=" * width)
        lines += ["H0: no serial correlation (for returns: a martingale difference), robust to conditional",
                  "heteroscedasticity. The statistic is chi-squared(1) under H0 whatever p~; the exact tail",
                  "is its upper tail computed directly. Bands are 95%: an autocorrelation outside its robust",
                  "band is significant on its own. Ljung-Box (LB) assumes i.i.d. data and over-rejects under",
                  "volatility clustering; it is shown for comparison."]
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def plot(self, ax: Axes | None = None) -> Figure:
        """The robust correlogram: autocorrelations with the robust band per
        lag and the classic band, a marker on every lag in the statistic
        (visible however small its autocorrelation). With a bootstrap and no
        `ax`, a second panel shows the distribution of T* (from the first
        10,000 replicates at most) with T marked. Legends sit below the
        axes, never on the data; long names wrap. Needs matplotlib
        (imported here).

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Draw the correlogram there (no bootstrap panel); by default a new
            figure.

        Returns
        -------
        matplotlib.figure.Figure
            The figure drawn on (the root figure of `ax` when given).

        Raises
        ------
        ValueError
            `ax` belongs to no figure.

        Examples
        --------
        >>> import pandas as pd
        >>> from larkspur_tools import diagnose
        >>> sunspots = pd.read_csv("data/sunspot.year.csv")["value"].rename("sunspots")
        >>> figure = diagnose(sunspots).plot()
        >>> [ax.get_xlabel() for ax in figure.axes]
        ['lag']
        """
        import matplotlib.pyplot as plt
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator
        from matplotlib.transforms import offset_copy

        boot = self.bootstrap
        if ax is None:
            panels = 2 if boot is not None else 1
            figure, axes = plt.subplots(1, panels, figsize=(5.5 * panels, 4.8), squeeze=False)
            ax, second = axes[0][0], (axes[0][1] if panels == 2 else None)
        else:
            # The root figure, also for an axes in a subfigure (matplotlib
            # before 3.10 has no get_figure(root=True)).
            parent, second = ax.get_figure(), None
            while parent is not None and not isinstance(parent, Figure):
                parent = parent.get_figure()
            if parent is None:
                raise ValueError("ax must belong to a figure")
            figure = parent

        def below(axes: Axes, columns: int) -> None:
            # Anchored a fixed distance below the axes, whatever their size.
            axes.legend(loc="upper center", bbox_to_anchor=(0.5, 0.0), ncol=columns, fontsize="small",
                        frameon=False, bbox_transform=offset_copy(axes.transAxes, figure, y=-_LEGEND_DROP_POINTS,
                                                                  units="points"))

        def title(axes: Axes, first: str, second_line: str) -> None:
            inches = axes.get_position().width * figure.get_figwidth()
            wrapped = textwrap.fill(first, width=max(16, int(inches * 72 / 7.0)))
            axes.set_title(f"{wrapped}\n{second_line}", fontsize="medium")

        table = self._table
        lags = np.asarray(table.index, dtype=float)
        rho = table["autocorrelation"].to_numpy()
        band = table["robust_band"].to_numpy()
        chosen = lags <= self.p_tilde
        ax.bar(lags[chosen], rho[chosen], width=0.35, color="C3", zorder=2)
        ax.bar(lags[~chosen], rho[~chosen], width=0.35, color="C0", zorder=2, label="other lags")
        # A marker at the tip of each chosen lag's bar, drawn over it: the
        # chosen lags show even where the bar has no visible height.
        ax.plot(lags[chosen], rho[chosen], linestyle="none", marker="o", markersize=6, color="C3",
                markeredgecolor="black", zorder=4, label=f"lags in the statistic (p~ = {self.p_tilde})")
        ax.fill_between(np.concatenate([[lags[0] - 0.5], lags, [lags[-1] + 0.5]]),
                        -np.concatenate([[band[0]], band, [band[-1]]]),
                        np.concatenate([[band[0]], band, [band[-1]]]),
                        step="mid", color="C1", alpha=0.2, zorder=1, label="robust 95% band")
        classic = float(table["classic_band"].iloc[0])
        ax.axhline(classic, color="0.4", linestyle="--", linewidth=1, label="classic 95% band (i.i.d.)")
        ax.axhline(-classic, color="0.4", linestyle="--", linewidth=1)
        ax.axhline(0.0, color="black", linewidth=0.8)
        if len(lags) <= _ALL_TICKS_UP_TO:
            ax.set_xticks(lags)
        else:
            ax.xaxis.set_major_locator(MaxNLocator(nbins=12, integer=True, steps=[1, 2, 5, 10]))
        ax.set_xlim(lags[0] - 0.75, lags[-1] + 0.75)
        ax.set_xlabel("lag")
        ax.set_ylabel("autocorrelation")
        shown = (f"p-value {self.pvalue:.3g}" if self.pvalue > 0
                 else f"p-value < {PVALUE_RESOLUTION:.2g} (exact tail {self.tail:.2g})")
        title(ax, self.name or "series", f"statistic {self.statistic:.2f}, {shown}")
        below(ax, 2)
        if second is not None and boot is not None:
            sample = boot.sample[np.isfinite(boot.sample)]
            second.hist(sample, bins=40, color="C0", alpha=0.7, label="replicates T*"
                        + (f" (first {len(boot.sample):,})" if len(boot.sample) < boot.B else ""))
            second.axvline(self.statistic, color="C3", label=f"T = {self.statistic:.2f}")
            second.set_xlabel("bootstrap statistic T*")
            second.set_ylabel("replicates")
            pvalue = (f"bootstrap p-value \u2264 1/(B+1) = {boot.pvalue:.2g}" if boot.at_floor
                      else f"bootstrap p-value {boot.pvalue:.3g}")
            title(second, f"{boot.B:,} {boot.weights.capitalize()} draws", pvalue)
            below(second, 2)
        figure.tight_layout()
        return figure


def diagnose(data: Any, *, q: float | None = None, d: int | None = None, bootstrap: int = 0,
             weights: Literal["rademacher", "mammen"] = "rademacher",
             seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM
             | None = None, level: float = 0.05) -> Diagnosis:
    """The test on one series, explained: results, exact tail, optional
    bootstrap p-value (`bootstrap` = B replicates, as `bootstrap(...)`
    takes them with `weights` and `seed`), lag table.

    `data` is whatever `by_column` takes for one column (array, Series,
    sequence of numbers) or a fitted model result with a `resid` attribute
    (statsmodels). The test then runs on the residuals as if they were
    observed data: nothing corrects for the estimated parameters. `level`
    lies in (0, 1). A series shorter than 100 gets a SmallSampleWarning.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, read as `read_series` reads one (a Series' name labels
        the report), or a fitted model result with a ``resid`` attribute
        (statsmodels): the test then runs on the residuals as if they were
        observed data, and nothing corrects for the estimated parameters.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).
    bootstrap : int, default 0
        Number B of wild-bootstrap replicates; 0 runs none.
    weights : {"rademacher", "mammen"}, default "rademacher"
        The bootstrap's weights.
    seed : None, int, numpy.random.SeedSequence, numpy.random.Generator, numpy.random.PCG64 or numpy.random.PCG64DXSM
        The bootstrap's seed, as `bootstrap` takes it; None draws one, kept in the result.
    level : float, default 0.05
        The level of the verdicts in the report, strictly between 0 and 1.

    Returns
    -------
    Diagnosis
        The results, the lag table and, with a bootstrap, its result.

    Raises
    ------
    TypeError
        The data are not one series of numbers, or a bootstrap argument is
        of the wrong kind.
    ValueError, OverflowError, OSError
        As `EscancianoLobato` raises them for these arguments; ValueError
        also for a `level` outside (0, 1) or a bootstrap that `bootstrap`
        refuses.

    See Also
    --------
    lag_table, bootstrap : The pieces on their own.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from larkspur_tools import diagnose
    >>> prices = pd.read_csv("data/EuStockMarkets.csv")["FTSE"]
    >>> returns = np.log(prices).diff().dropna().rename("FTSE returns")
    >>> diagnosis = diagnose(returns, bootstrap=999, seed=1)
    >>> diagnosis.p_tilde, round(diagnosis.pvalue, 5), diagnosis.bootstrap_pvalue
    (1, 0.00113, 0.002)
    >>> print(diagnosis.summary().splitlines()[2])
    Series:                         FTSE returns    Observations (n):                       1859
    """
    check_level(level)
    if bootstrap:
        weights = _checked_weights(weights)
        B = _checked_B(bootstrap)
    x, name = _series(data)
    result, q_used, d_used = _checked(x, q, d)
    lags = result
    boot = None
    if bootstrap:
        used, generator = _stream(seed)
        warn_if_small(len(x), _where(name), remedy=BOOTSTRAP_RUN)
        boot = _result(x, result.statistic, B, weights, used, generator, q, d)
    else:
        warn_if_small(len(x), _where(name), remedy="diagnose(..., bootstrap=999) adds a p-value that does not "
                                                   "lean on that approximation")
    return Diagnosis(
        n=len(x), d=d_used, q=q_used, p_tilde=result.p_tilde, statistic=result.statistic, pvalue=result.pvalue,
        tail=chi2_upper_tail(result.statistic), bootstrap=boot, table=_frame(lags), level=level, name=name,
        aic_penalty=lags.aic_penalty)
