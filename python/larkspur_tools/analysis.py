"""Why a series rejects, and how sure: the per-lag table behind the test, a
wild-bootstrap p-value, the exact chi-squared(1) tail and Ljung–Box beside.

The lag table recomputes the test's per-lag quantities with the extension's
exact order of operations (sequential sums from -0.0, every product rounded,
the squares rounded before they are multiplied), so its cumulative statistic
at the chosen lag order equals the extension's `statistic` bit for bit and
its `chosen` column marks the extension's `p_tilde`. The bootstrap tests
its replicates in native batches (`el_many`), with the extension's bits. pandas and matplotlib are imported
only by the functions that need them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from larkspur import statistical_tests

from ._core import as_float64, default_d
from .batch import el_many

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from ._core import RawData

Weights = Literal["rademacher", "mammen"]
Seed = int | np.random.SeedSequence | None
FloatArray = npt.NDArray[np.float64]

DEFAULT_Q = 2.4
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

    Computed directly, not as 1 - F(x), so it keeps shrinking where the
    test's p-value has become exactly 0.0 (statistics above about 70.13).
    Q(df/2, x/2) through the recurrence Q(a + 1, y) = Q(a, y) + y^a e^-y / Gamma(a + 1)
    (DLMF 8.8.2), started at Q(1/2, y) = erfc(sqrt(y)) (DLMF 8.4.6) for odd df
    and at Q(0, y) = 0 for even df; every term is positive, so the sum loses
    no accuracy to cancellation.

    Parameters
    ----------
    x : float
        Where the tail starts.
    df : int, default 1
        Degrees of freedom, at least 1.

    Returns
    -------
    float
        P(X > x): 1.0 for x <= 0, 0.0 for x = +inf, NaN for NaN.

    Raises
    ------
    ValueError
        `df` is below 1.

    Examples
    --------
    >>> from larkspur_tools import chi2_upper_tail
    >>> round(chi2_upper_tail(3.841458820694124), 6)
    0.05
    >>> f"{chi2_upper_tail(103.66):.2g}"  # where the test's p-value is exactly 0.0
    '2.4e-24'
    """
    if df < 1:
        raise ValueError("df must be positive")
    if math.isnan(x):
        return math.nan
    if x <= 0.0:
        return 1.0
    if math.isinf(x):
        return 0.0
    y = x / 2.0
    total, a = (math.erfc(math.sqrt(y)), 0.5) if df % 2 else (0.0, 0.0)
    log_y = math.log(y)
    while a < df / 2.0:
        total += math.exp(a * log_y - y - math.lgamma(a + 1.0))
        a += 1.0
    return min(total, 1.0)


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
    n: int
    d: int
    q: float
    demeaned: FloatArray
    gamma0: float
    gamma: FloatArray   # gamma_j = G_j / M_j, lags 1..d
    tau: FloatArray
    rho2: FloatArray
    ljung_box: FloatArray
    cumulative: FloatArray
    criterion: FloatArray
    penalty: FloatArray
    aic_penalty: bool
    chosen: int


def _lags(x: FloatArray, q: float, d: int) -> _Lags:
    n = len(x)
    big_n = float(n)
    e = x - _sequential_sum(x) / big_n
    e2 = e * e
    gamma, tau, rho2, lb_terms = (np.full(d, math.nan) for _ in range(4))
    sum_squares = _sequential_sum(e2)
    for j in range(1, min(d, n - 1) + 1):
        pairs = float(n - j)
        g = _sequential_sum(e[:-j] * e[j:])
        t = _sequential_sum(e2[:-j] * e2[j:])
        gamma[j - 1] = g / pairs
        tau[j - 1] = t / pairs
        rho2[j - 1] = (gamma[j - 1] * gamma[j - 1]) / tau[j - 1]
        # Ljung-Box's r_j = sum e_k e_{k+j} / sum e_k^2 (the classic convention).
        lb_terms[j - 1] = (g / sum_squares) ** 2 / pairs
    # The switch looks at the largest robust autocorrelation; NaN lags (j = n)
    # are skipped, and entry 0 of the test's buffer (0.0) is the start.
    largest = 0.0
    for value in rho2:
        root = math.sqrt(value) if not math.isnan(value) else math.nan
        if root > largest:
            largest = root
    log_n = math.log(big_n)
    aic = not (math.sqrt(q * log_n) >= math.sqrt(big_n) * largest)
    cumulative, criterion, penalty = (np.empty(d) for _ in range(3))
    best, chosen, running = -math.inf, 0, -0.0
    for p in range(1, d + 1):
        running = running + float(rho2[p - 1])
        penalty[p - 1] = float(2 * p) if aic else p * log_n
        cumulative[p - 1] = running * big_n
        criterion[p - 1] = cumulative[p - 1] - penalty[p - 1]
        if criterion[p - 1] > best:
            best, chosen = float(criterion[p - 1]), p
    ljung_box = big_n * (big_n + 2.0) * np.cumsum(lb_terms)
    return _Lags(n, d, q, e, sum_squares / big_n, gamma, tau, rho2, ljung_box, cumulative, criterion,
                 penalty, aic, chosen)


def _series(data: Any) -> tuple[FloatArray, str | None]:
    """One series as float64, from whatever `by_column` takes for a column or
    from a fitted model's residuals (an object with a `resid` attribute)."""
    resid = getattr(data, "resid", None)
    if resid is not None and not callable(resid):
        data = resid
    name = getattr(data, "name", None)
    return as_float64(data), None if name is None else str(name)


def _checked(x: FloatArray, q: float | None, d: int | None) -> tuple[statistical_tests.EscancianoLobato, float, int]:
    # The extension's own checks (and messages) decide what is accepted.
    result = statistical_tests.EscancianoLobato(x, q, d)
    return result, DEFAULT_Q if q is None else float(q), default_d(len(x)) if d is None else int(d)


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


def lag_table(data: RawData, q: float | None = None, d: int | None = None) -> pd.DataFrame:
    """What drives the test, lag by lag: a DataFrame indexed by lag j = 1..d.

    Columns::

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
    when d = n, has no pairs and gives NaN, as in the test.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, converted to float64, or a fitted model result with a
        ``resid`` attribute (its residuals are tested).
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
    TypeError, ValueError, OverflowError, OSError
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
    _, q_used, d_used = _checked(x, q, d)
    return _frame(_lags(x, q_used, d_used))


# --- the wild bootstrap -----------------------------------------------------

# Mammen's two-point weights: mean 0, variance 1, third moment 1.
_SQRT5 = math.sqrt(5.0)
MAMMEN_LOW = (1.0 - _SQRT5) / 2.0                 # taken with probability MAMMEN_P_LOW
MAMMEN_HIGH = (1.0 + _SQRT5) / 2.0
MAMMEN_P_LOW = (_SQRT5 + 1.0) / (2.0 * _SQRT5)
# u = (raw >> 11) * 2^-53 is below MAMMEN_P_LOW exactly when raw is below this
# integer: u < p  <=>  (raw >> 11) < p 2^53  <=>  raw < ceil(p 2^53) 2^11.
_MAMMEN_RAW_BOUND = np.uint64(math.ceil(MAMMEN_P_LOW * 2.0**53) << 11)

# Row k holds the sign masks of the eight bits of the byte k, least
# significant first: bit i set flips the sign of position i.
_SIGN_MASKS = np.array([[((k >> i) & 1) << 63 for i in range(8)] for k in range(256)], dtype=np.uint64)


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


def _mammen_rows(generator: np.random.PCG64, e: FloatArray, out: FloatArray) -> None:
    """Fills the first n columns of `out` with e * w, w Mammen's two-point weight.

    Position k of each replicate takes the next raw 64-bit output as the
    uniform u = (raw >> 11) 2^-53 and gets MAMMEN_LOW when u < MAMMEN_P_LOW.
    """
    rows, n = len(out), len(e)
    raw = generator.random_raw(rows * n).reshape(rows, n)
    np.multiply(e, np.where(raw < _MAMMEN_RAW_BOUND, MAMMEN_LOW, MAMMEN_HIGH), out=out[:, :n])


def _replicate_statistics(block: FloatArray, q: float | None, d: int | None) -> FloatArray:
    """The test's statistic on every row of a block, one native batch (each
    row a contiguous series, read in place)."""
    try:
        return el_many(block, q, d, axis=1, threads=_THREADS).statistic
    except OSError as error:
        error.add_note("in a bootstrap replicate (a zero robust variance after re-weighting)")
        raise


def _width(n: int) -> int:
    return -(-n // 8) * 8


def _rows_per_block(n: int, weights: Weights, limit: int) -> int:
    # Replicate series (rows padded to a multiple of 8 values) and raw words
    # (Rademacher), or the series, raw draws, their comparison and the
    # weights (Mammen).
    per_row = 8 * _width(n) + 8 * ((n + 63) // 64) if weights == "rademacher" else 8 * _width(n) + 17 * n
    return max(1, min(limit, _CACHE_BLOCK_BYTES) // per_row)


def _bootstrap_statistics(e: FloatArray, B: int, weights: Weights, seed: Seed, q: float | None,
                          d: int | None) -> FloatArray:
    if weights not in ("rademacher", "mammen"):
        raise ValueError(f"weights must be 'rademacher' or 'mammen', not {weights!r}")
    if isinstance(B, bool) or not isinstance(B, (int, np.integer)) or B < 1:
        raise ValueError("B must be a positive integer")
    B, n = int(B), len(e)
    generator = np.random.PCG64(seed)
    rows = min(B, _rows_per_block(n, weights, MAX_REPLICATE_BYTES))
    # One block, reused: filled in place and read by the test while it is
    # still in the processor's cache. Its rows are padded to whole bytes of
    # signs; each replicate is the contiguous first n values of a row.
    block = np.empty((rows, _width(n)))
    if weights == "rademacher":
        padded = np.zeros(_width(n))
        padded[:n] = e
        fill, source = _rademacher_rows, padded
    else:
        fill, source = _mammen_rows, e
    statistics = np.empty(B)
    for start in range(0, B, rows):
        count = min(rows, B - start)
        fill(generator, source, block[:count])
        statistics[start:start + count] = _replicate_statistics(block[:count, :n], q, d)
    return statistics


def _demeaned(x: FloatArray) -> FloatArray:
    return x - _sequential_sum(x) / float(len(x))


def _pvalue(statistic: float, replicates: FloatArray) -> float:
    return (1 + int(np.count_nonzero(replicates >= statistic))) / (len(replicates) + 1)


def bootstrap_pvalue(data: RawData, B: int = 999, *, weights: Weights = "rademacher", seed: Seed = None,
                     q: float | None = None, d: int | None = None) -> float:
    """Wild-bootstrap p-value of the test: (1 + #{T* >= T}) / (B + 1).

    Each of the B replicates multiplies the demeaned series by i.i.d.
    weights (Rademacher +-1, or Mammen's two-point weights) and runs the
    test with the same q and d, choosing p~ anew. The weights come from the
    raw output of NumPy's PCG64 bit generator, whose stream NumPy keeps
    fixed, so a seed gives the same p-value on every platform and NumPy
    version. At most 64 MB of replicate data are held at once (but always
    one whole replicate with its draws, for series beyond millions of
    values). In small samples it holds the level where the asymptotic
    p-value over-rejects.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, converted to float64, or a fitted model result with a
        ``resid`` attribute.
    B : int, default 999
        Number of bootstrap replicates, at least 1.
    weights : {"rademacher", "mammen"}, default "rademacher"
        The distribution of the weights.
    seed : int, numpy.random.SeedSequence or None, default None
        Seed of the PCG64 stream; None draws a fresh one.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)``).

    Returns
    -------
    float
        The bootstrap p-value, a multiple of 1 / (B + 1), at least 1 / (B + 1).

    Raises
    ------
    ValueError
        `B` is not a positive integer, `weights` is neither name, or the
        test refuses the data, `q` or `d`.
    TypeError, OverflowError, OSError
        As `EscancianoLobato` raises them; an OSError in a replicate (a zero
        robust variance after re-weighting) carries a note saying so.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from larkspur_tools import bootstrap_pvalue
    >>> prices = pd.read_csv("data/EuStockMarkets.csv")["FTSE"]
    >>> bootstrap_pvalue(np.diff(np.log(prices)), B=999, seed=1)
    0.002
    """
    x, _ = _series(data)
    result, _, _ = _checked(x, q, d)
    return _pvalue(result.statistic, _bootstrap_statistics(_demeaned(x), B, weights, seed, q, d))


def bootstrap_column(values: RawData, B: int, seed: int | None, q: float | None = None,
                     d: int | None = None) -> float | None:
    """The command's bootstrap p-value of one column (None when B is 0)."""
    return bootstrap_pvalue(values, B, seed=seed, q=q, d=d) if B else None


# --- the diagnosis ----------------------------------------------------------

@dataclass(frozen=True)
class Diagnosis:
    """The test on one series with everything needed to read it.

    Made by `diagnose`. Printing it (or `summary`) gives the report; `plot`
    draws the robust correlogram.

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
        The exact chi-squared(1) upper tail at the statistic. The p-value is
        1 - F and is exactly 0.0 beyond about 70.13; the tail keeps ranking
        such series.
    bootstrap_pvalue : float or None
        The wild-bootstrap p-value; None without a bootstrap.
    lag_table : pandas.DataFrame
        The per-lag table of `lag_table`.
    level : float
        The level of the verdicts (default 0.05).
    name : str or None
        The series' name (a pandas Series' name).
    B : int
        Bootstrap replicates (0: none).
    weights : {"rademacher", "mammen"}
        Bootstrap weights.
    seed : int, numpy.random.SeedSequence or None
        The bootstrap's seed (drawn, and kept here, when none was given).
    bootstrap_statistics : numpy.ndarray or None
        The B replicate statistics.
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
    bootstrap_pvalue: float | None
    lag_table: pd.DataFrame = field(repr=False)
    level: float = 0.05
    name: str | None = None
    B: int = 0
    weights: Weights = "rademacher"
    seed: Seed = None
    bootstrap_statistics: FloatArray | None = field(default=None, repr=False)
    aic_penalty: bool = False

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

        def pair(left: str, lvalue: str, right: str, rvalue: str) -> str:
            return f"{left:<22}{lvalue:>22}    {right:<24}{rvalue:>20}"

        def verdict(bootstrap: bool) -> str:
            return "reject H0" if self.reject(bootstrap) else "do not reject H0"

        lines = ["Escanciano-Lobato automatic portmanteau test".center(width).rstrip(), "=" * width,
                 pair("Series:", self.name or "-", "Observations (n):", str(self.n)),
                 pair("Largest lag (d):", str(self.d), "Penalty constant (q):", f"{self.q:g}"),
                 pair("Chosen lag order (p~):", str(self.p_tilde), "Penalty in force:",
                      "2p (AIC)" if self.aic_penalty else "p ln n (BIC)"),
                 pair("Statistic:", f"{self.statistic:.5f}", "Asymptotic p-value:", f"{self.pvalue:.5f}"),
                 pair("Exact chi2(1) tail:", f"{self.tail:.4e}", "Bootstrap p-value:",
                      "-" if self.bootstrap_pvalue is None else f"{self.bootstrap_pvalue:.4f}")]
        if self.bootstrap_pvalue is not None:
            lines.append(f"Bootstrap: {self.B} draws, {self.weights.capitalize()} weights, seed {self.seed}")
        lines.append("-" * width)
        lines.append(f"Verdict at {pct}: {verdict(False)} (asymptotic)"
                     + ("" if self.bootstrap_pvalue is None else f", {verdict(True)} (bootstrap)"))
        lines.append("=" * width)
        lines.append(f"{'lag':>3} {'autocorr':>9} {'robust t':>9} {'robust band':>12} {'classic band':>12} "
                     f"{'cum. stat':>10} {'criterion':>10} {'p~':>3} {'LB Q':>9} {'LB p-value':>10}")
        for lag, row in self.lag_table.iterrows():
            lines.append(f"{lag:>3} {row['autocorrelation']:>9.4f} {row['robust_t']:>9.3f} "
                         f"{'+-' + format(row['robust_band'], '.4f'):>12} "
                         f"{'+-' + format(row['classic_band'], '.4f'):>12} {row['cumulative_statistic']:>10.4f} "
                         f"{row['criterion']:>10.4f} {'*' if row['chosen'] else '':>3} "
                         f"{row['ljung_box']:>9.3f} {row['ljung_box_pvalue']:>10.4f}")
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
        lag and the classic band, p~ marked. With a bootstrap and no `ax`, a
        second panel shows the distribution of T* with T marked. Needs
        matplotlib (imported here).

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

        if ax is None:
            panels = 2 if self.bootstrap_statistics is not None else 1
            figure, axes = plt.subplots(1, panels, figsize=(5.5 * panels, 4.0), squeeze=False)
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
        table = self.lag_table
        lags = np.asarray(table.index, dtype=float)
        rho = table["autocorrelation"].to_numpy()
        band = table["robust_band"].to_numpy()
        chosen = lags <= self.p_tilde
        ax.bar(lags[chosen], rho[chosen], width=0.35, color="C3", zorder=2,
               label=f"lags in the statistic (p~ = {self.p_tilde})")
        ax.bar(lags[~chosen], rho[~chosen], width=0.35, color="C0", zorder=2, label="other lags")
        ax.fill_between(np.concatenate([[lags[0] - 0.5], lags, [lags[-1] + 0.5]]),
                        -np.concatenate([[band[0]], band, [band[-1]]]),
                        np.concatenate([[band[0]], band, [band[-1]]]),
                        step="mid", color="C1", alpha=0.2, zorder=1, label="robust 95% band")
        classic = float(table["classic_band"].iloc[0])
        ax.axhline(classic, color="0.4", linestyle="--", linewidth=1, label="classic 95% band (i.i.d.)")
        ax.axhline(-classic, color="0.4", linestyle="--", linewidth=1)
        ax.axhline(0.0, color="black", linewidth=0.8)
        ax.set_xticks(lags)
        ax.set_xlabel("lag")
        ax.set_ylabel("autocorrelation")
        shown = f"p-value {self.pvalue:.3g}" if self.pvalue > 0 else f"p-value 0 (exact tail {self.tail:.2g})"
        ax.set_title(f"{self.name or 'series'}: statistic {self.statistic:.2f}, {shown}")
        ax.legend(fontsize="small")
        if second is not None and self.bootstrap_statistics is not None:
            second.hist(self.bootstrap_statistics, bins=40, color="C0", alpha=0.7)
            second.axvline(self.statistic, color="C3", label=f"T = {self.statistic:.2f}")
            second.set_xlabel("bootstrap statistic T*")
            second.set_ylabel("replicates")
            second.set_title(f"{self.B} {self.weights.capitalize()} draws: bootstrap p-value {self.bootstrap_pvalue:.4f}")
            second.legend(fontsize="small")
        figure.tight_layout()
        return figure


def diagnose(data: Any, *, q: float | None = None, d: int | None = None, bootstrap: int = 0,
             weights: Weights = "rademacher", seed: Seed = None, level: float = 0.05) -> Diagnosis:
    """The test on one series, explained: results, exact tail, optional
    bootstrap p-value, lag table.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, converted to float64 by NumPy (a Series' name labels
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
    seed : int, numpy.random.SeedSequence or None, default None
        The bootstrap's seed; None draws one, kept in the result.
    level : float, default 0.05
        The level of the verdicts in the report.

    Returns
    -------
    Diagnosis
        The results, the lag table and, with a bootstrap, its p-value and
        replicate statistics.

    Raises
    ------
    TypeError, ValueError, OverflowError, OSError
        As `EscancianoLobato` raises them for these arguments; ValueError
        also for a bootstrap that `bootstrap_pvalue` refuses.

    See Also
    --------
    lag_table, bootstrap_pvalue : The pieces on their own.

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
    x, name = _series(data)
    result, q_used, d_used = _checked(x, q, d)
    lags = _lags(x, q_used, d_used)
    if bootstrap and seed is None:
        # A fresh seed, kept so that the summary can name it: PCG64(entropy)
        # is the stream of SeedSequence(entropy).
        seed = int(np.random.SeedSequence().entropy)  # type: ignore[arg-type]
    replicates = (_bootstrap_statistics(_demeaned(x), bootstrap, weights, seed, q, d) if bootstrap else None)
    return Diagnosis(
        n=len(x), d=d_used, q=q_used, p_tilde=result.p_tilde, statistic=result.statistic, pvalue=result.pvalue,
        tail=chi2_upper_tail(result.statistic), lag_table=_frame(lags), level=level, name=name,
        bootstrap_pvalue=None if replicates is None else _pvalue(result.statistic, replicates),
        B=bootstrap, weights=weights, seed=seed, bootstrap_statistics=replicates, aic_penalty=lags.aic_penalty)

