"""The diagnosis of one series: the test's results, the exact tail, an
optional wild-bootstrap p-value and the lag table, with a printed summary
and the robust correlogram (matplotlib imported only by the plot).
"""

from __future__ import annotations

import math
import textwrap
from dataclasses import InitVar, dataclass, field
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ._shared import (
    check_level,
    checked_B,
    checked_seed,
    checked_threads,
    checked_weights,
    one_series,
    optional_module,
    pvalue_text,
    where,
)
from .escanciano_lobato import RECORD as EL_RECORD
from .generalized_spectral import RECORD as SPECTRAL
from .generalized_spectral import GenSpectralResult, spectral_of
from .lags import checked_lags, chi2_upper_tail, lag_frame
from .small_sample import warn_if_small
from .wild_bootstrap import BootstrapResult, run_bootstrap

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


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
    model_df : int
        Fitted parameters taken from the Ljung-Box degrees of freedom
        (0: none); the test's own results do not depend on it.
    spectral : GenSpectralResult or None
        The generalized spectral test (any predictability from each single
        lag, not only linear), None when it was not asked for or refused
        the series.
    spectral_refusal : str or None
        Why that test refused the series, if it did.

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
    model_df: int = 0
    spectral: GenSpectralResult | None = None
    spectral_refusal: str | None = None
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

        row = {
            "n": self.n,
            "d": self.d,
            "q": self.q,
            "p_tilde": self.p_tilde,
            "statistic": self.statistic,
            "pvalue": self.pvalue,
            "tail": self.tail,
            "bootstrap_pvalue": math.nan if self.bootstrap_pvalue is None else self.bootstrap_pvalue,
            "reject": self.reject(self.bootstrap_pvalue is not None),
        }
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

        lines = [
            "Escanciano-Lobato automatic portmanteau test".center(width).rstrip(),
            "=" * width,
            pair("Series:", self.name or "-", "Observations (n):", str(self.n)),
            pair("Largest lag (d):", str(self.d), "Penalty constant (q):", f"{self.q:g}"),
            pair(
                "Chosen lag order (p~):",
                str(self.p_tilde),
                "Penalty in force:",
                "2p (AIC)" if self.aic_penalty else "p ln n (BIC)",
            ),
            pair(
                "Statistic:",
                f"{self.statistic:.5f}",
                "Asymptotic p-value:",
                pvalue_text(self.pvalue, 5, PVALUE_RESOLUTION),
            ),
            pair(
                "Exact chi2(1) tail:",
                f"{self.tail:.4e}" if self.tail else f"< {TAIL_RESOLUTION:.2g}",
                "Bootstrap p-value:",
                "-" if boot is None else pvalue_text(boot.pvalue, 4, bound=boot.at_floor),
            ),
        ]
        if boot is not None:
            skipped = boot.B - boot.tested
            lines.append(
                f"Bootstrap: {boot.B} draws, {boot.weights.capitalize()} weights, seed {boot.seed}"
                + (f"; {skipped} of {boot.B} replicates were degenerate and skipped" if skipped else "")
            )
        if self.model_df:
            k = self.model_df
            lines += [
                f"Ljung-Box p-values for {k} fitted parameter{'s' if k > 1 else ''} (model_df): "
                f"chi2(j - {k}), none at lags <= {k}.",
                "The robust test, its p-values and its verdict are not adjusted for fitted parameters.",
            ]
        lines.append("-" * width)
        lines.append(
            f"Verdict at {pct}: {verdict(False)} (asymptotic)"
            + ("" if boot is None else f", {verdict(True)} (bootstrap)")
        )
        spectral = self.spectral
        if spectral is None and self.spectral_refusal is not None:
            lines.append(f"Generalized spectral test: not possible ({self.spectral_refusal})")
        if spectral is not None:
            # The second question beside the first: not only linear
            # dependence, any predictability from a single lag.
            lines.append("-" * width)
            lines.append("Two questions, two tests:")
            el_p = (
                pvalue_text(self.pvalue, 5, PVALUE_RESOLUTION)
                if boot is None
                else pvalue_text(boot.pvalue, 4, bound=boot.at_floor) + " (bootstrap)"
            )
            lines.append(f"  linear autocorrelation (Escanciano-Lobato):     p = {el_p}   {verdict(boot is not None)}")
            spectral_verdict = "reject H0" if spectral.reject(self.level) else "do not reject H0"
            lines.append(
                f"  any predictability from each single lag (GST): p = "
                f"{pvalue_text(spectral.pvalue, 4, bound=spectral.at_floor)}   {spectral_verdict}"
            )
            lines.append(
                f"  GST: generalized spectral test, T = {spectral.statistic:.5g}, {spectral.B} draws, "
                f"{spectral.weights.capitalize()} weights, seed {spectral.seed}"
            )
        lines.append("=" * width)
        lines.append(
            f"{'lag':>3} {'autocorr':>9} {'robust t':>9} {'robust band':>12} {'classic band':>12} "
            f"{'cum. stat':>10} {'criterion':>10} {'p~':>3} {'LB Q':>9} {'LB p-value':>10}"
        )
        for lag, row in self._table.iterrows():
            lines.append(
                f"{lag:>3} {row['autocorrelation']:>9.4f} {row['robust_t']:>9.3f} "
                f"{'+-' + format(row['robust_band'], '.4f'):>12} "
                f"{'+-' + format(row['classic_band'], '.4f'):>12} {row['cumulative_statistic']:>10.4f} "
                f"{row['criterion']:>10.4f} {'*' if row['chosen'] else '':>3} "
                f"{row['ljung_box']:>9.3f} {pvalue_text(row['ljung_box_pvalue'], 4, TAIL_RESOLUTION):>10}"
            )
        lines.append("=" * width)
        lines += [
            "H0: no serial correlation (for returns: a martingale difference), robust to conditional",
            "heteroscedasticity. The statistic is chi-squared(1) under H0 whatever p~; the exact tail",
            "is its upper tail computed directly. Bands are 95%: an autocorrelation outside its robust",
            "band is significant on its own. Ljung-Box (LB) assumes i.i.d. data and over-rejects under",
            "volatility clustering; it is shown for comparison.",
        ]
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
        optional_module("matplotlib", "Diagnosis.plot")
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
            axes.legend(
                loc="upper center",
                bbox_to_anchor=(0.5, 0.0),
                ncol=columns,
                fontsize="small",
                frameon=False,
                bbox_transform=offset_copy(axes.transAxes, figure, y=-_LEGEND_DROP_POINTS, units="points"),
            )

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
        ax.plot(
            lags[chosen],
            rho[chosen],
            linestyle="none",
            marker="o",
            markersize=6,
            color="C3",
            markeredgecolor="black",
            zorder=4,
            label=f"lags in the statistic (p~ = {self.p_tilde})",
        )
        ax.fill_between(
            np.concatenate([[lags[0] - 0.5], lags, [lags[-1] + 0.5]]),
            -np.concatenate([[band[0]], band, [band[-1]]]),
            np.concatenate([[band[0]], band, [band[-1]]]),
            step="mid",
            color="C1",
            alpha=0.2,
            zorder=1,
            label="robust 95% band",
        )
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
        shown = (
            f"p-value {self.pvalue:.3g}"
            if self.pvalue > 0
            else f"p-value < {PVALUE_RESOLUTION:.2g} (exact tail {self.tail:.2g})"
        )
        title(ax, self.name or "series", f"statistic {self.statistic:.2f}, {shown}")
        below(ax, 2)
        if second is not None and boot is not None:
            sample = boot.sample[np.isfinite(boot.sample)]
            second.hist(
                sample,
                bins=40,
                color="C0",
                alpha=0.7,
                label="replicates T*" + (f" (first {len(boot.sample):,})" if len(boot.sample) < boot.B else ""),
            )
            second.axvline(self.statistic, color="C3", label=f"T = {self.statistic:.2f}")
            second.set_xlabel("bootstrap statistic T*")
            second.set_ylabel("replicates")
            pvalue = (
                f"bootstrap p-value \u2264 1/(B+1) = {boot.pvalue:.2g}"
                if boot.at_floor
                else f"bootstrap p-value {boot.pvalue:.3g}"
            )
            title(second, f"{boot.B:,} {boot.weights.capitalize()} draws", pvalue)
            below(second, 2)
        figure.tight_layout()
        return figure


def diagnose(
    data: Any,
    *,
    q: float | None = None,
    d: int | None = None,
    bootstrap: int = 0,
    weights: Literal["rademacher", "mammen"] = "rademacher",
    seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM | None = None,
    level: float = 0.05,
    threads: int | None = None,
    model_df: int = 0,
    spectral: int = 199,
) -> Diagnosis:
    """The test on one series, explained: results, exact tail, optional
    bootstrap p-value (`bootstrap` = B replicates, as `bootstrap(...)`
    takes them with `weights` and `seed`), lag table.

    `level` lies in (0, 1). A series shorter than 100 gets a
    SmallSampleWarning.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, read as `read_series` reads one (a Series' name labels
        the report), or a fitted model result with a ``resid`` attribute
        (statsmodels): the test then runs on the residuals as if they were
        observed data, and nothing corrects it for the estimated
        parameters (`model_df` corrects the Ljung-Box column only).
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
    threads : int, optional
        Threads that test the bootstrap's replicates (default: every CPU available).
    model_df : int, default 0
        Parameters estimated by the model whose residuals `data` are (for
        an ARMA(p, q) fit, p + q), as statsmodels' ``acorr_ljungbox`` names
        it: the Ljung-Box p-value at lag j then uses chi-squared(j -
        model_df) degrees of freedom, NaN at lags j <= model_df, and the
        summary says so. It changes nothing else: the Escanciano-Lobato
        statistic, its p-value, the bootstrap p-value and the verdicts are
        those of the residuals taken as observed data.
    spectral : int, default 199
        B for the generalized spectral test beside this one (`gen_spectral`,
        Mammen weights, the same `seed`): the report states both questions,
        linear autocorrelation and any predictability from each single lag,
        each with its verdict. 0 runs none (it costs about 40 ms per
        replicate at n = 100,000). A series that test cannot take (its
        lagged values all equal) is reported as such, not raised.

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
        also for a `level` outside (0, 1), a negative `model_df` or a
        bootstrap that `bootstrap` refuses (TypeError for a `model_df` that
        is not an integer).

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
    optional_module("pandas", "diagnose")
    # Every argument is checked whether or not a bootstrap is asked for: a
    # misspelt weight or seed is an error now, not at the first bootstrap.
    check_level(level)
    checked_weights(weights)
    checked_seed(seed)
    checked_threads(threads)
    model_df = checked_model_df(model_df)
    if bootstrap:
        checked_B(bootstrap)
    if spectral:
        checked_B(spectral)
    x, name = one_series(data)
    lags, q_used, d_used = checked_lags(x, q, d)
    result = lags
    spectral_result, spectral_refusal = None, None
    if spectral:
        try:
            spectral_result = spectral_of(x, spectral, seed, SPECTRAL.default_weights, "ev", threads, warn=False)
        except ValueError as error:  # the data's refusal by that test alone
            spectral_refusal = str(error)
    boot = None
    if bootstrap:
        # The stack: warn_if_small, run_bootstrap, here, the caller.
        boot = run_bootstrap(EL_RECORD, x, bootstrap, weights, seed, {"q": q, "d": d}, threads, 4, name)
    else:
        warn_if_small(
            len(x),
            where(name),
            remedy="diagnose(..., bootstrap=999) adds a p-value that does not lean on that approximation",
        )
    return Diagnosis(
        n=len(x),
        d=d_used,
        q=q_used,
        p_tilde=result.p_tilde,
        statistic=result.statistic,
        pvalue=result.pvalue,
        tail=chi2_upper_tail(result.statistic),
        bootstrap=boot,
        table=lag_frame(lags, model_df),
        level=level,
        name=name,
        aic_penalty=lags.aic_penalty,
        model_df=model_df,
        spectral=spectral_result,
        spectral_refusal=spectral_refusal,
    )


MODEL_DF_ACCEPTED = "model_df must be a non-negative integer (the fitted model's parameters)"


def checked_model_df(model_df: object) -> int:
    if isinstance(model_df, bool) or not isinstance(model_df, (int, np.integer)):
        raise TypeError(f"{MODEL_DF_ACCEPTED}, not {type(model_df).__name__}")
    if model_df < 0:
        raise ValueError(f"{MODEL_DF_ACCEPTED}, not {model_df!r}")
    return int(model_df)
