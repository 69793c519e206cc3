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

from . import _batch
from ._core import DEFAULT_Q
from .batch import el_many
from .reading import read_series

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from ._core import RawData

Weights = Literal["rademacher", "mammen"]
Seed = int | np.random.SeedSequence | None
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
    when d = n, has no pairs and gives NaN, as in the test.
    """
    x, _ = _series(data)
    return _frame(_lags(x, q, d))


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
    values). In small
    samples it holds the level where the asymptotic p-value over-rejects
    (docs/reading_the_numbers.md).
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

    `tail` is the exact chi-squared(1) upper tail at the statistic (the
    p-value is 1 - F and is exactly 0.0 beyond about 70.13; the tail keeps
    ranking such series). `bootstrap_pvalue` is None without a bootstrap.
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
        """The verdict at `level` (p-value at most the level)."""
        pvalue = self.bootstrap_pvalue if bootstrap else self.pvalue
        if pvalue is None:
            raise ValueError("no bootstrap was run")
        return pvalue <= self.level

    def to_frame(self) -> pd.DataFrame:
        """One row of the scalar results, indexed by the series' name."""
        import pandas as pd

        row = {"n": self.n, "d": self.d, "q": self.q, "p_tilde": self.p_tilde, "statistic": self.statistic,
               "pvalue": self.pvalue, "tail": self.tail,
               "bootstrap_pvalue": math.nan if self.bootstrap_pvalue is None else self.bootstrap_pvalue,
               "reject": self.reject(self.bootstrap_pvalue is not None)}
        return pd.DataFrame([row], index=[self.name or "series"])

    def summary(self) -> str:
        """A text report: the results, the verdict at `level`, the lag table."""
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
        matplotlib (imported here)."""
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
    bootstrap p-value (`bootstrap` = B replicates), lag table.

    `data` is whatever `by_column` takes for one column (array, Series,
    sequence of numbers) or a fitted model result with a `resid` attribute
    (statsmodels). The test then runs on the residuals as if they were
    observed data: nothing corrects for the estimated parameters.
    """
    x, name = _series(data)
    result, q_used, d_used = _checked(x, q, d)
    lags = result
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

