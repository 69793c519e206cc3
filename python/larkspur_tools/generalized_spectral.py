"""The generalized spectral test of the martingale-difference hypothesis
(Escanciano and Velasco 2006): is the series predictable from any single
lag of its past, in any way, not only linearly?

For each lag j the statistic compares y_t with every function of y_{t-j}
through the Gaussian kernel on the standardised lagged values, and weighs
lag j by 1 / (j pi)^2; its p-value comes from a wild (multiplier)
bootstrap with the package's streams, seeds and weights. The default form
("ev") standardises the points and centres each lag's block, so it does not
depend on the series' location or units; "vrtest" is the R package
vrtest's form (raw values), offered to reproduce published numbers.
It is pairwise: y_t = e_t + 0.5 e_{t-1} e_{t-2}, predictable from two lags
together but from no single one, escapes it (as it escapes every pairwise
test).

The native core factors the kernel matrix by pivoted Cholesky (a positive
semidefinite residual, so the low-rank statistic only ever underestimates,
by at most `error_bound`) and computes every lag at once by FFT; short
series take the exact sums.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _batch
from ._core import noting
from ._many import run_many
from ._registry import FloatArray, TestRecord, register
from ._shared import (
    check_level,
    checked_B,
    checked_threads,
    checked_weights,
    pvalue_text,
    rejects,
    stream,
)
from .reading import read_panel
from .wild_bootstrap import BootstrapResult, bootstrap_result, prepared_bootstrap

if TYPE_CHECKING:
    from ._core import RawData

#: The replicates when B is not given, for every entry point of this test.
DEFAULT_B = 999
#: The forms and their native codes.
FORMS = {"ev": 0, "vrtest": 1}
FORM_ACCEPTED = "form must be 'ev' (standardised, the default) or 'vrtest' (the R package vrtest's raw form)"
Form = Literal["ev", "vrtest"]


class GstOptions(NamedTuple):
    form: Form


def check_options(options: dict[str, Any]) -> GstOptions:
    form = options.get("form", "ev")
    if not isinstance(form, str) or form not in FORMS:
        raise ValueError(f"{FORM_ACCEPTED}, not {form!r}")
    return GstOptions(form)  # type: ignore[arg-type]


def native_many(
    values: Any, options: GstOptions, axis: int, threads: int, stop_at_first_failure: bool
) -> tuple[Any, ...]:
    return _batch.gst_many(values, FORMS[options.form], axis, threads, stop_at_first_failure)


class Prepared:
    """One series factored once: its statistic, the factor's rank and the
    bound on the truncation, and the statistics of rows of multipliers
    (each a draw of V_1..V_n), computed on `threads` threads."""

    def __init__(self, x: FloatArray, options: GstOptions, threads: int) -> None:
        self.threads, self.form = threads, options.form
        self._prepared, self.statistic, self.error_bound, self.rank = _batch.gst_prepare(
            np.ascontiguousarray(x), FORMS[options.form]
        )

    def replicates(self, rows: FloatArray) -> tuple[FloatArray, str | None]:
        statistics, failures = _batch.gst_replicates(self._prepared, np.ascontiguousarray(rows), self.threads)
        if failures:  # a replicate cannot fail but for memory: never skipped
            index, exception, message = failures[0]
            raise exception(message) if message else exception()
        return np.frombuffer(statistics, dtype=np.float64), None


RECORD = register(
    TestRecord(
        name="gst",
        title="generalized spectral",
        question="any predictability from each single lag (a martingale difference?)",
        columns=("statistic", "error_bound", "rank"),
        dtypes=(np.float64, np.float64, np.int64),
        native_many=native_many,
        check_options=check_options,
        prepare=Prepared,
        # The core itself scales the default form by a power of two; the
        # replicates take the multipliers alone, which do not depend on x.
        scale_free=False,
        multipliers=True,
        default_weights="mammen",
        small_sample_warning=False,
    )
)


@dataclass(frozen=True)
class GenSpectralResult:
    """The generalized spectral test on one series, with its bootstrap.

    ``at_floor`` is True when no replicate reached T: the p-value is then
    the smallest possible, 1/(B + 1), a bound rather than an estimate.

    Attributes
    ----------
    statistic : float
        T (the low-rank value; the exact one lies in [T, T + error_bound]).
    pvalue : float
        The bootstrap p-value (1 + exceedances) / (tested + 1).
    B, exceedances, tested : int
        Replicates drawn, those with T* >= T, and those tested (B).
    seed : int or numpy.random.SeedSequence
        The seed of the weights' stream: pass it to repeat the run.
    weights : {"mammen", "rademacher"}
        The weights' distribution.
    form : {"ev", "vrtest"}
        The form of the statistic.
    rank : int
        Columns of the kernel's factor (0: exact sums, for short series).
    error_bound : float
        The bound on the truncation: 0 <= T_exact - T <= error_bound.
    sample : numpy.ndarray
        The first min(B, 10,000) replicate statistics, in the order drawn.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import gen_spectral
    >>> e = np.random.default_rng(7).standard_normal(301)
    >>> y = e[1:] + 0.5 * (e[:-1] ** 2 - 1)  # uncorrelated, but predictable
    >>> result = gen_spectral(y, B=199, seed=1)
    >>> result.pvalue, result.reject()
    (0.005, True)
    """

    statistic: float
    pvalue: float
    B: int
    exceedances: int
    tested: int
    seed: int | np.random.SeedSequence
    weights: Literal["rademacher", "mammen"]
    form: Form
    rank: int
    error_bound: float
    sample: npt.NDArray[np.float64] = field(repr=False, compare=False)

    @property
    def at_floor(self) -> bool:
        """No replicate reached T: the p-value is the smallest possible, a bound."""
        return self.exceedances == 0

    def reject(self, level: float = 0.05) -> bool:
        """The verdict at `level`: True when the p-value is at most the level.

        Parameters
        ----------
        level : float, default 0.05
            The level, strictly between 0 and 1.

        Returns
        -------
        bool
            True when the bootstrap p-value is at most `level`.

        Examples
        --------
        >>> import numpy as np
        >>> from larkspur_tools import gen_spectral
        >>> result = gen_spectral(np.random.default_rng(3).standard_normal(250), B=99, seed=5)
        >>> result.reject(0.9), result.reject(result.pvalue)
        (True, True)
        """
        return rejects(self.pvalue, check_level(level))

    def summary(self, level: float = 0.05) -> str:
        """The result in a few lines: statistic, bootstrap p-value, verdict.

        Parameters
        ----------
        level : float, default 0.05
            The level of the verdict.

        Returns
        -------
        str
            Four lines; ``str(result)`` is the summary at 5%.

        Examples
        --------
        >>> import numpy as np
        >>> from larkspur_tools import gen_spectral
        >>> result = gen_spectral(np.random.default_rng(3).standard_normal(250), B=99, seed=5)
        >>> print(result.summary().splitlines()[-1])
          at 5%: do not reject
        """
        check_level(level)
        verdict = "reject" if self.reject(level) else "do not reject"
        return "\n".join(
            [
                f"Generalized spectral test (form {self.form!r}): H0 the series is a martingale difference",
                f"  statistic T = {self.statistic:.6g}   (rank {self.rank}, truncation <= {self.error_bound:.1e})",
                f"  bootstrap p-value = {pvalue_text(self.pvalue, 4, bound=self.at_floor)}   "
                f"({self.exceedances} of {self.tested} replicates >= T, {self.weights} weights, seed {self.seed})",
                f"  at {100 * level:g}%: {verdict}",
            ]
        )

    def __str__(self) -> str:
        return self.summary()


def _result(prepared: Prepared, boot: BootstrapResult) -> GenSpectralResult:
    return GenSpectralResult(
        prepared.statistic,
        boot.pvalue,
        boot.B,
        boot.exceedances,
        boot.tested,
        boot.seed,
        boot.weights,
        prepared.form,
        int(prepared.rank),
        prepared.error_bound,
        boot.sample,
    )


def gen_spectral(
    data: RawData,
    B: int = DEFAULT_B,
    *,
    seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM | None = None,
    weights: Literal["rademacher", "mammen"] = "mammen",
    form: Form = "ev",
    threads: int | None = None,
) -> GenSpectralResult:
    """The generalized spectral test of the martingale-difference hypothesis.

    Does the past predict the series at some single lag, in any way? The
    statistic (Escanciano and Velasco 2006) weighs every lag j = 1..n-1 by
    1 / (j pi)^2 and compares y_t with every function of y_{t-j} through a
    Gaussian kernel; its p-value is a wild bootstrap's:
    (1 + #{T* >= T}) / (B + 1). The series is read as `read_series` reads
    one; seeds, weights and B are taken as `bootstrap` takes them. The
    default form ("ev") does not depend on the series' location or units.
    Replicates run on `threads` threads; the result does not depend on
    how many.

    Parameters
    ----------
    data : numpy.ndarray, pandas.Series or sequence of float
        One series, or a fitted model result with a ``resid`` attribute.
    B : int, default 999
        Number of bootstrap replicates, from 1 to MAX_B.
    seed : None, int, numpy.random.SeedSequence, numpy.random.Generator, numpy.random.PCG64 or numpy.random.PCG64DXSM
        The stream's seed, as `bootstrap` takes it; None draws one, kept in the result.
    weights : {"mammen", "rademacher"}, default "mammen"
        The multipliers' distribution.
    form : {"ev", "vrtest"}, default "ev"
        "ev": standardised points, each lag's block centred (location and
        scale free). "vrtest": the R package vrtest's form (raw values, whole
        sample centring), for reproducing published statistics; it depends
        on the data's units.
    threads : int, optional
        Threads that compute the replicates (default: every CPU available).

    Returns
    -------
    GenSpectralResult
        The statistic, the bootstrap p-value, B, the count, the seed, the
        weights, the form, the factor's rank and the truncation bound.

    Raises
    ------
    TypeError
        The data are not one series of numbers, or `seed` is of another kind.
    ValueError
        `B`, `weights`, `form` or `threads` is refused, or the series is
        refused: empty, NaN or infinite values, fewer than two values,
        constant, or its lagged values all equal.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import gen_spectral
    >>> result = gen_spectral(np.random.default_rng(3).standard_normal(250), B=99, seed=5)
    >>> result.tested, result.seed, result.form, result.reject()
    (99, 5, 'ev', False)
    """
    return spectral_of(data, B, seed, weights, form, threads)


def spectral_of(
    data: Any, B: object, seed: object, weights: object, form: object, threads: int | None, warn: bool = True
) -> GenSpectralResult:
    """`gen_spectral` for the companion's other entry points (`warn`: the
    small-sample warning, which a caller may already have given)."""
    # The stack: warn_if_small, prepared_bootstrap, here, gen_spectral, its caller.
    prepared, boot = prepared_bootstrap(RECORD, data, B, weights, seed, {"form": form}, threads, 5, warn=warn)
    assert isinstance(prepared, Prepared)
    return _result(prepared, boot)


class GenSpectralMany(NamedTuple):
    """What `gen_spectral_many` returns: one entry per series.

    Attributes
    ----------
    statistic, error_bound : numpy.ndarray of float64
        T and its truncation bound.
    rank : numpy.ndarray of int64
        The kernel factor's rank (0: exact sums).
    pvalue : numpy.ndarray of float64
        The bootstrap p-values (NaN with B = 0).
    seed : int or numpy.random.SeedSequence
        The root seed; series i used SeedSequence(seed).spawn(count)[i].

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import gen_spectral_many
    >>> res = gen_spectral_many(np.random.default_rng(0).standard_normal((300, 3)), B=49, seed=2)
    >>> res.pvalue.shape, res.seed
    ((3,), 2)
    """

    statistic: npt.NDArray[np.float64]
    error_bound: npt.NDArray[np.float64]
    rank: npt.NDArray[np.int64]
    pvalue: npt.NDArray[np.float64]
    seed: int | np.random.SeedSequence | None


def gen_spectral_many(
    values: Any,
    B: int = DEFAULT_B,
    *,
    seed: int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM | None = None,
    weights: Literal["rademacher", "mammen"] = "mammen",
    form: Form = "ev",
    axis: int = 0,
    threads: int | None = None,
) -> GenSpectralMany:
    """The generalized spectral test on every series of a panel.

    The panel is read as `el_many` reads one (a 2-D array whose `axis` runs
    over time, a DataFrame, or a sequence of series). Each series is
    factored once and gets its own bootstrap, series i from the stream of
    ``SeedSequence(seed).spawn(count)[i]`` (`seed` the root, reported), its
    replicates on every core. B = 0 gives the statistics alone (p-values
    NaN), from one native call over the panel on every core. The first failing series raises,
    with a note naming it.

    Parameters
    ----------
    values : numpy.ndarray, pandas.DataFrame or sequence of array_like
        The panel.
    B : int, default 999
        Replicates per series (0: statistics only).
    seed : None, int, numpy.random.SeedSequence, numpy.random.Generator, numpy.random.PCG64 or numpy.random.PCG64DXSM
        The root seed, as `bootstrap` takes it.
    weights : {"mammen", "rademacher"}, default "mammen"
        The multipliers' distribution.
    form : {"ev", "vrtest"}, default "ev"
        The statistic's form (see `gen_spectral`).
    axis : {0, 1}, default 0
        The time axis of a 2-D array or DataFrame.
    threads : int, optional
        Threads (default: every CPU available).

    Returns
    -------
    GenSpectralMany
        Arrays of statistics, bounds, ranks and p-values, and the root seed.

    Raises
    ------
    TypeError, ValueError
        As `gen_spectral` raises them, the series' errors with a note
        naming the series.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import gen_spectral_many
    >>> res = gen_spectral_many(np.random.default_rng(0).standard_normal((200, 2)), B=0)
    >>> bool(np.isnan(res.pvalue).all()), res.rank.dtype
    (True, dtype('int64'))
    """
    # Arguments first, then the data, then the stream (as every bootstrap).
    options = check_options({"form": form})
    count = checked_threads(threads)
    if B != 0:
        checked_weights(weights)
        checked_B(B)
    panel = read_panel(values, axis)
    kind = "column" if axis % 2 == 0 else "row"

    def note(index: int) -> str:
        return f"in {kind} {panel.labels[index]!r}" if panel.labels is not None else f"in series {index}"

    if B == 0:
        statistic, bound, rank = run_many(RECORD, panel, options, count, "raise", note).columns
        return GenSpectralMany(statistic, bound, rank, np.full(panel.size, np.nan), None)
    used, _ = stream(seed)
    children = (used if isinstance(used, np.random.SeedSequence) else np.random.SeedSequence(used)).spawn(panel.size)
    statistic, bound, pvalue = (np.empty(panel.size) for _ in range(3))
    rank = np.empty(panel.size, dtype=np.int64)
    for index in range(panel.size):
        with noting(note(index), Exception):
            if index in panel.unreadable:
                raise panel.unreadable[index]
            series = (
                panel.data[:, index] if isinstance(panel.data, np.ndarray) and panel.axis == 0 else panel.data[index]
            )
            x = np.ascontiguousarray(series, dtype=np.float64)
            # The factor made here gives the statistic and every replicate.
            prepared = Prepared(x, options, count)
            boot = bootstrap_result(
                RECORD, x, prepared, B, weights, used, np.random.PCG64(children[index]), options, count
            )
        statistic[index], bound[index], rank[index] = prepared.statistic, prepared.error_bound, prepared.rank
        pvalue[index] = boot.pvalue
    return GenSpectralMany(statistic, bound, rank, pvalue, used)


__all__ = ["GenSpectralMany", "GenSpectralResult", "gen_spectral", "gen_spectral_many"]
