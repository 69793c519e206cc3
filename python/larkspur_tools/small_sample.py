"""The warning for a series too short for the test's p-value.

The p-value comes from the statistic's asymptotic chi-squared(1)
distribution. By Monte Carlo (docs/reading_the_numbers.md) the test rejects a
true null at the 5% level 7.8% of the time at n = 100 and more often below;
a series of two values always gives statistic 2 and p = 0.157. Below
SMALL_SAMPLE observations every entry point of the companion that tests a
series says so with a SmallSampleWarning (el_many once for the whole panel),
and the command with a warning line.
"""

from __future__ import annotations

import warnings
from typing import Any

#: Below this many observations the companion warns (`SmallSampleWarning`)
#: that the asymptotic p-value is too small.
#:
#: Examples
#: --------
#: >>> from larkspur_tools import SMALL_SAMPLE
#: >>> SMALL_SAMPLE
#: 100
SMALL_SAMPLE = 100

#: Where to turn instead, by who reads the warning.
BOOTSTRAP_FUNCTION = "larkspur_tools.bootstrap_pvalue gives a p-value that does not lean on that approximation"
BOOTSTRAP_OPTION = "--bootstrap B adds a p-value that does not lean on that approximation"
BOOTSTRAP_RUN = "the bootstrap p-value does not lean on that approximation"
UNRELIABLE = "the chi-squared p-value is unreliable (it rejects a true null more often than the level says)"


class SmallSampleWarning(UserWarning):
    """The series is shorter than SMALL_SAMPLE: its asymptotic p-value is only roughly right.

    A `UserWarning` given by every function that tests a series (and
    printed by ``larkspur-csv``) for series, columns or windows of fewer
    than 100 values, where the asymptotic p-value rejects a true null more
    often than its level says; `bootstrap` keeps the level.

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


def small_sample_message(n: int, where: str, remedy: str = BOOTSTRAP_FUNCTION) -> str | None:
    """The warning's text for a series of n observations, or None when n is enough."""
    if n >= SMALL_SAMPLE:
        return None
    return f"{where}: {n} observations, fewer than {SMALL_SAMPLE}: {UNRELIABLE}; {remedy}"


def warn_if_small(n: int, where: str, stacklevel: int = 3, remedy: str = BOOTSTRAP_FUNCTION) -> None:
    message = small_sample_message(n, where, remedy)
    if message is not None:
        warnings.warn(message, SmallSampleWarning, stacklevel=stacklevel)


def warn_short_series(panel: Any, time_axis: int, stacklevel: int = 3) -> None:
    """One warning for a whole panel (as el_many reads it: a list of 1-D
    arrays, or a 2-D array with time along `time_axis`), counting its short
    series; none when every series is long enough."""
    if isinstance(panel, list):
        lengths = [len(series) for series in panel]
    else:
        lengths = [panel.shape[time_axis]] * panel.shape[1 - time_axis]
    short = [n for n in lengths if n < SMALL_SAMPLE]
    if short:
        warnings.warn(
            f"{len(short)} of {len(lengths)} series have fewer than {SMALL_SAMPLE} observations "
            f"(the shortest {min(short)}): {UNRELIABLE} for them; {BOOTSTRAP_FUNCTION}",
            SmallSampleWarning,
            stacklevel=stacklevel,
        )
