"""The warning for a series too short for the test's p-value.

The p-value comes from the statistic's asymptotic chi-squared(1)
distribution. By Monte Carlo (docs/reading_the_numbers.md) the test rejects a
true null at the 5% level 7.8% of the time at n = 100 and more often below;
a series of two values always gives statistic 2 and p = 0.157. Below
SMALL_SAMPLE observations the companion says so.
"""

from __future__ import annotations

import sys
import warnings

#: Below this many observations the companion warns (`SmallSampleWarning`)
#: that the asymptotic p-value is too small.
#:
#: Examples
#: --------
#: >>> from larkspur_tools import SMALL_SAMPLE
#: >>> SMALL_SAMPLE
#: 100
SMALL_SAMPLE = 100


class SmallSampleWarning(UserWarning):
    """The series is shorter than SMALL_SAMPLE: its p-value is only roughly right.

    A `UserWarning` raised by `by_column` and `rolling_pvalues` (and
    printed by ``larkspur-csv``) for columns or windows of fewer than 100
    values, where the asymptotic p-value rejects a true null more often than
    its level says; `bootstrap_pvalue` keeps the level.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> from larkspur_tools import SmallSampleWarning, by_column
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     table = by_column({"short": np.random.default_rng(1).standard_normal(60)})
    >>> [w.category is SmallSampleWarning for w in caught]
    [True]
    >>> issubclass(SmallSampleWarning, UserWarning)
    True
    """


def small_sample_message(n: int, where: str) -> str | None:
    """The warning's text for a series of n observations, or None when n is enough."""
    if n >= SMALL_SAMPLE:
        return None
    text = (f"{where}: {n} observations, fewer than {SMALL_SAMPLE}: the chi-squared p-value is unreliable "
            "(it rejects a true null more often than the level says)")
    # The pointer names the bootstrap only where this installation has it.
    if hasattr(sys.modules.get("larkspur_tools"), "bootstrap_pvalue"):
        text += "; larkspur_tools.bootstrap_pvalue gives a p-value that does not lean on that approximation"
    return text


def warn_if_small(n: int, where: str, stacklevel: int = 3) -> None:
    message = small_sample_message(n, where)
    if message is not None:
        warnings.warn(message, SmallSampleWarning, stacklevel=stacklevel)
