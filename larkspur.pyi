"""Type information for the larkspur extension module.

larkspur is a single extension module, not a package: import the submodule
as an attribute, `from larkspur import statistical_tests`.
"""

from collections.abc import Sequence
from types import ModuleType
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

import numpy as np

__all__: list[str]

@type_check_only
class _ToNumpy(Protocol):
    def to_numpy(self, dtype: Any, /) -> Any: ...

# What the constructor reads: an array, an object with `to_numpy` taking the
# dtype positionally (a pandas Series), or a sequence of numbers. A str is a
# sequence of str, not of numbers, so it is refused here as at run time.
_RawData: TypeAlias = np.ndarray[Any, Any] | _ToNumpy | Sequence[SupportsFloat]

# At run time a plain submodule held as an attribute (never in sys.modules,
# so `import larkspur.statistical_tests` fails). Described as a class so that
# `statistical_tests.EscancianoLobato` names the result type in annotations.
@final
class statistical_tests(ModuleType):
    __all__: list[str]

    @final
    class EscancianoLobato:
        """The Escanciano–Lobato automatic portmanteau test on one series.

        Constructing the object runs the test; the object holds its three
        results, read-only. The null hypothesis is that the series is
        serially uncorrelated (for returns, a martingale difference); the
        test stays valid under conditional heteroscedasticity.

        Parameters
        ----------
        raw_data : numpy.ndarray, pandas.Series or sequence of float
            The series: a 1-D float64 array (read in place, any alignment),
            an object with ``to_numpy`` taking the dtype positionally, or a
            sequence of numbers (copied). A ``str`` is refused.
        q : float, default 2.4
            Constant of the penalty switch; must be positive. A larger `q`
            favours the ``p ln n`` penalty and a smaller lag order.
        d : int, optional
            Largest lag considered, from 1 to the length of the series.
            Default: the integer fifth root of the length, ``floor(n ** 0.2)``.

        Attributes
        ----------
        p_tilde : int
            The lag order chosen by the penalised criterion, from 1 to `d`.
        statistic : float
            ``n * (rho_1^2 + ... + rho_p~^2)``; chi-squared(1) under the null.
        pvalue : float
            ``1 - F(statistic)`` for chi-squared(1); exactly 0.0 above about 70.13.

        Raises
        ------
        TypeError
            Wrong arguments, a `q` or `d` of the wrong type, or data that
            are not a series of numbers.
        ValueError
            `q` not positive, `d` zero or larger than the series, empty data,
            a single value, NaN or infinite values, or values too large or
            too small in magnitude.
        OverflowError
            `d` negative.
        OSError
            The robust variance is zero at some lag (a constant series).
        MemoryError
            The lag buffer cannot be allocated.

        Examples
        --------
        >>> import numpy as np
        >>> from larkspur import statistical_tests
        >>> prices = np.genfromtxt("data/EuStockMarkets.csv", delimiter=",", names=True)["FTSE"]
        >>> res = statistical_tests.EscancianoLobato(np.diff(np.log(prices)))
        >>> res.p_tilde, round(res.statistic, 5), round(res.pvalue, 5)
        (1, 10.60668, 0.00113)
        """

        def __new__(
            cls,
            raw_data: _RawData,
            q: SupportsFloat | None = 2.4,
            d: SupportsIndex | None = None,
        ) -> statistical_tests.EscancianoLobato: ...
        @property
        def p_tilde(self) -> int:
            """The selected lag \\(p\\) that maximizes the penalized statistic."""
        @property
        def statistic(self) -> float:
            """The EL test statistic."""
        @property
        def pvalue(self) -> float:
            """The p-value of the EL test."""
