"""The per-lag table behind the test, and the exact chi-squared tails.

The table's quantities come from the native core's lag profile: the test's
own mean, lag sums, ratios, penalty switch and running sum, so its
cumulative statistic at the chosen order is the test's `statistic` to the
bit and its `chosen` column marks the test's `p_tilde`. Ljung-Box stands
beside them for comparison, from the same sums, and every tail is the
native core's (no platform math library reaches a column). pandas is
imported only when a table is made.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np
import numpy.typing as npt

from . import _batch
from ._core import DEFAULT_Q
from ._shared import check_q_d, one_series, optional_module, where
from .small_sample import warn_if_small

if TYPE_CHECKING:
    import pandas as pd

    from ._core import RawData

FloatArray = npt.NDArray[np.float64]

_BAND_Z = 1.96

LAG_COLUMNS = [
    "autocorrelation",
    "robust_t",
    "robust_band",
    "classic_band",
    "cumulative_statistic",
    "criterion",
    "penalty",
    "chosen",
    "ljung_box",
    "ljung_box_pvalue",
]


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
    gamma: FloatArray  # gamma_j = G_j / (n - j), lags 1..d
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
    check_q_d(q, d)
    profile = _batch.lag_profile(np.ascontiguousarray(x), q, d)
    column = {key: np.frombuffer(value) for key, value in profile.items() if isinstance(value, bytearray)}
    n, sum_of_squares = len(x), profile["sum_of_squares"]
    # Ljung-Box's r_j = sum e_k e_{k+j} / sum e_k^2 (the classic convention),
    # from the test's own sums; only IEEE operations, added in lag order.
    pairs = n - np.arange(1, profile["d"] + 1, dtype=np.float64)
    ljung_box = float(n) * (float(n) + 2.0) * np.cumsum((column["g"] / sum_of_squares) ** 2 / pairs)
    return _Lags(
        n,
        profile["d"],
        DEFAULT_Q if q is None else float(q),
        profile["p_tilde"],
        profile["statistic"],
        profile["pvalue"],
        sum_of_squares / float(n),
        column["gamma"],
        column["tau"],
        column["rho_squared"],
        ljung_box,
        column["cumulative_statistic"],
        column["criterion"],
        column["penalty"],
        not profile["bic_penalty"],
        profile["p_tilde"],
    )


def checked_lags(x: FloatArray, q: float | None, d: int | None) -> tuple[_Lags, float, int]:
    # The test's own checks (and messages) decide what is accepted.
    lags = _lags(x, q, d)
    return lags, lags.q, lags.d


def lag_frame(lags: _Lags, model_df: int = 0) -> pd.DataFrame:
    """The table of `lags`; `model_df` fitted parameters take as many degrees
    of freedom from each Ljung-Box p-value (NaN where none are left), as
    statsmodels' acorr_ljungbox does. No other column depends on it."""
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
            "ljung_box_pvalue": [
                chi2_upper_tail(float(value), lag - model_df) if lag > model_df else math.nan
                for lag, value in enumerate(lags.ljung_box, 1)
            ],
        }
    return pd.DataFrame(columns, index=index)


_Table = TypeVar("_Table")


def _warns_when_short(function: Callable[..., _Table]) -> Callable[..., _Table]:
    """The function, then a SmallSampleWarning for a short series: the
    series is read once here and handed on as its float64 array (read in
    place by the function)."""

    @functools.wraps(function)
    def warned(data: Any, *args: Any, **kwargs: Any) -> _Table:
        optional_module("pandas", function.__name__)
        x, name = one_series(data)
        result = function(x, *args, **kwargs)
        warn_if_small(len(x), where(name))
        return result

    return warned


@_warns_when_short
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
    # `data` is the float64 series the decorator read.
    return lag_frame(_lags(np.asarray(data, dtype=np.float64), q, d))
