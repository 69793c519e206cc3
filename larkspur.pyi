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
        """Result of the Escanciano–Lobato heteroscedasticity proxy \\(EL\\) test.

        Constructing it runs the test: `raw_data` is a 1-D float64 NumPy array,
        an object with `to_numpy` (a pandas Series) or a sequence of numbers.
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

