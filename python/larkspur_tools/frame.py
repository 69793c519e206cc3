"""Column-wise and rolling tests on pandas objects (pandas imported on use).

Neither function drops, reorders or reinterprets data silently: a column the
test cannot read as numbers (dates, durations, periods, text, categories,
complex numbers) is refused by name unless the caller asks to skip such
columns, every per-column or per-window error names its column or window,
and missing values are dropped only when asked (nan="omit"), which joins
the observations on either side of a gap as if they were adjacent.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from ._core import default_d, noting
from ._shared import check_level, optional_module, rejects
from .batch import run_many
from .reading import REAL_KINDS, Panel, read_panel, read_series
from .small_sample import warn_if_small
from .table_columns import index_column_reason

if TYPE_CHECKING:
    import pandas as pd

NanPolicy = Literal["raise", "omit"]

COLUMNS = ["n", "d", "p_tilde", "statistic", "pvalue", "reject"]

SERIES_GIVEN = (
    "by_column takes a table: a DataFrame (pandas or polars) or a mapping of names to series, "
    "not one series; for one series call larkspur_tools.el_tuple(series) or "
    "EscancianoLobato(series.to_numpy()), or pass series.to_frame()"
)


def by_column(
    data: pd.DataFrame | Mapping[Any, Any],
    *,
    q: float | None = None,
    d: int | None = None,
    level: float = 0.05,
    nan: NanPolicy = "raise",
    numeric_only: bool = False,
) -> pd.DataFrame:
    """The test on every column: one row per column, indexed by its label as given.

    Columns: n (observations tested), d (largest lag used), p_tilde,
    statistic, pvalue, and reject (pvalue <= level, 0 < level < 1). Each
    column is read as `el_many` reads a series, and all are tested in one
    native batch, in place. A column of dates, durations, periods, text or
    categories is refused (TypeError naming it and its dtype);
    numeric_only=True skips such columns instead, as pandas does. A column
    that numbers the rows is not tested and gets an IndexColumnWarning, by
    the rule of ``larkspur-csv``: the first column headed "rownames",
    "index", "Unnamed: 0" or nothing, and integers in one regular step
    (years); a constant column is data, and the test refuses it.

    nan="raise" (the default) lets the test refuse a column holding NaN (or
    None, or pd.NA) with its own ValueError; nan="omit" drops that column's
    missing values first (the values on either side of a gap are then
    tested as if adjacent) and reports n after dropping; infinities are
    refused either way. Every per-column error carries the note "in column
    <label>". Columns shorter than 100 values get a SmallSampleWarning.

    Parameters
    ----------
    data : pandas.DataFrame, polars.DataFrame or mapping
        The table: a DataFrame, or a mapping of names to series (which may
        differ in length). A single series is refused.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(n ** 0.2)`` of each column).
    level : float, default 0.05
        The level of the ``reject`` column, strictly between 0 and 1.
    nan : {"raise", "omit"}, default "raise"
        What to do with NaN: let the test refuse the column, or drop them.
    numeric_only : bool, default False
        Skip columns that are not numbers instead of refusing them.

    Returns
    -------
    pandas.DataFrame
        One row per tested column, columns n, d, p_tilde, statistic, pvalue
        and reject.

    Warns
    -----
    IndexColumnWarning
        For each column taken for row numbers, and so not tested.
    SmallSampleWarning
        For each column shorter than 100 values.

    Raises
    ------
    TypeError
        `data` is a single series or not a table, a column is not numbers
        (without numeric_only), or q or d has the wrong type (a bool too).
    ValueError
        `level` or `nan` is invalid, or the test refuses a column.
    OSError, OverflowError
        The test refuses a column so.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from larkspur_tools import by_column
    >>> prices = pd.read_csv("data/EuStockMarkets.csv", index_col=0)
    >>> by_column(np.log(prices).diff().dropna())[["n", "p_tilde", "pvalue", "reject"]].round(4)
             n  p_tilde  pvalue  reject
    DAX   1859        1  0.9884   False
    SMI   1859        1  0.1490   False
    CAC   1859        1  0.3007   False
    FTSE  1859        1  0.0011    True
    """
    optional_module("pandas", "by_column")
    import pandas as pd

    check_level(level)
    check_nan_policy(nan)
    labels, given_index, panel = table_panel(data, numeric_only)
    if nan == "omit":
        panel = panel_without_missing(panel)
    tested = run_many(panel, q, d, None, "raise", lambda index: f"in column {labels[index][1]!r}")
    lengths = [panel.data.shape[0]] * panel.size if isinstance(panel.data, np.ndarray) else map(len, panel.data)
    rows: list[tuple[int, int, int, float, float, bool]] = []
    for (_, name), n, p_tilde, statistic, pvalue in zip(labels, lengths, *tested):
        warn_if_small(n, f"column {name!r}")
        rows.append(
            (
                n,
                d if d is not None else default_d(n),
                int(p_tilde),
                float(statistic),
                float(pvalue),
                rejects(float(pvalue), level),
            )
        )
    kept = [position for position, _ in labels]
    index = given_index[kept] if given_index is not None else labels_as_given([name for _, name in labels])
    table = pd.DataFrame(rows, index=index, columns=COLUMNS)
    return table.astype(
        {"n": "int64", "d": "int64", "p_tilde": "int64", "statistic": "float64", "pvalue": "float64", "reject": "bool"}
    )


def rolling_pvalues(
    series: pd.Series[Any] | np.ndarray[Any, Any],
    window: int,
    step: int = 1,
    *,
    q: float | None = None,
    d: int | None = None,
    nan: NanPolicy = "raise",
) -> pd.Series[float]:
    """p-value of every full window of `window` observations, every `step`-th.

    Each p-value is indexed by the label of its window's last observation, so
    a date index is kept. Windows are slices of one float64 array, read in
    place. nan="omit" drops the NaNs (and their labels) before the windows
    are cut, so every window holds `window` values, joined across gaps; with
    nan="raise" an error names the window's last label. Windows shorter than
    100 values get a SmallSampleWarning.

    Parameters
    ----------
    series : pandas.Series or numpy.ndarray
        The series; a Series' index labels the p-values.
    window : int
        Observations per window, at least 1.
    step : int, default 1
        Test every `step`-th window.
    q : float, optional
        Constant of the penalty switch (default 2.4).
    d : int, optional
        Largest lag (default ``floor(window ** 0.2)``).
    nan : {"raise", "omit"}, default "raise"
        What to do with NaN: let the test refuse the window, or drop them
        before the windows are cut.

    Returns
    -------
    pandas.Series
        The p-values, named "pvalue", indexed by each window's last label
        (positions 0, 1, ... for an array); empty when the series is shorter
        than a window.

    Raises
    ------
    ValueError
        `window` or `step` is below 1, `nan` is invalid, or the test refuses
        a window (with the note "in the window ending at <label>").
    TypeError
        The series is not one series of numbers (as `read_series` refuses
        it), or `window` or `step` is not an integer.
    OSError
        The test refuses a window so (a constant stretch).

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from larkspur_tools import rolling_pvalues
    >>> prices = pd.read_csv("data/EuStockMarkets.csv")["FTSE"]
    >>> pvalues = rolling_pvalues(np.log(prices).diff().dropna(), window=250, step=250)
    >>> len(pvalues), pvalues.index[0], pvalues.name
    (7, 250, 'pvalue')
    """
    optional_module("pandas", "rolling_pvalues")
    import pandas as pd

    for value in (window, step):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"window and step must be positive integers, not {type(value).__name__}")
    if window < 1 or step < 1:
        raise ValueError("window and step must be positive")
    check_nan_policy(nan)
    values = read_series(series, "the series")
    index = series.index if isinstance(series, pd.Series) else pd.RangeIndex(len(values))
    if nan == "omit":
        present = ~np.isnan(values)
        values, index = values[present], index[present]
    ends = range(window, len(values) + 1, step)
    if len(ends):
        warn_if_small(window, f"windows of {window}")
    # Every window in one batch, as rows of a strided view of `values`.
    # No window: an empty panel (of windows no longer than the series, so that
    # a window beyond any array size is just as empty).
    windows = (
        np.lib.stride_tricks.sliding_window_view(values, window)[::step]
        if len(ends)
        else np.empty((0, min(window, len(values))))
    )
    pvalues = run_many(
        Panel(windows, 1, len(ends)),
        q,
        d,
        None,
        "raise",
        lambda position: f"in the window ending at {index[ends[position] - 1]}",
    ).pvalue
    # The label of each window's last observation (positions as an array: a
    # list of 100,000 of them costs more than the whole batch of tests).
    labels = index[np.arange(window - 1, len(values), step)] if len(ends) else index[:0]
    return pd.Series(pvalues, index=labels, name="pvalue", dtype="float64")


def check_nan_policy(nan: str) -> None:
    if nan not in ("raise", "omit"):
        raise ValueError(f"nan must be 'raise' or 'omit', not {nan!r}")


def table_panel(data: Any, numeric_only: bool) -> tuple[list[tuple[int, Any]], pd.Index[Any] | None, Panel]:
    """((position, label) of each column to test, the table's own column index
    or None, the columns as a panel). A column that is not numbers is
    skipped with numeric_only, else kept as unreadable in its place."""
    import pandas as pd

    if isinstance(data, (pd.Series, np.ndarray, list, tuple)) or hasattr(data, "to_frame"):
        raise TypeError(SERIES_GIVEN)
    if isinstance(data, pd.DataFrame):
        names, given_index = list(data.columns), data.columns
        dtypes = list(data.dtypes)
        if all(isinstance(dtype, np.dtype) and dtype.kind in REAL_KINDS for dtype in dtypes):
            # The common table: every column read at once, in place when the
            # table holds one float64 block (columns contiguous).
            panel = read_panel(data)
            kept = [
                position
                for position, name in enumerate(names)
                if not skipped_as_index(position, name, panel.data[:, position])
            ]
            if len(kept) < len(names):
                panel = panel._replace(data=panel.data[:, kept], size=len(kept))
            return [(position, names[position]) for position in kept], given_index, panel._replace(labels=None)

        def column_of(position: int) -> Any:
            return data.iloc[:, position]
    elif isinstance(data, Mapping) or hasattr(data, "keys"):
        names, given_index = list(data.keys()), None

        def column_of(position: int) -> Any:
            return data[names[position]]
    elif hasattr(data, "get_column") and hasattr(data, "columns"):  # polars
        names, given_index = list(data.columns), None

        def column_of(position: int) -> Any:
            return data.get_column(names[position])
    else:
        raise TypeError(f"by_column takes a DataFrame or a mapping of names to series, not {type(data).__name__}")
    labels: list[tuple[int, Any]] = []
    series: list[npt.NDArray[np.float64]] = []
    unreadable: dict[int, Exception] = {}
    for position, name in enumerate(names):
        with noting(f"in column {name!r}"):
            column = column_of(position)
            try:
                values = read_series(column, f"column {name!r}")
            except TypeError as error:
                if numeric_only:
                    continue
                unreadable[len(series)] = TypeError(
                    f"{error}: convert it, drop it, or pass numeric_only=True to skip such columns"
                )
                values = np.empty(0)
            else:
                if skipped_as_index(position, name, values):
                    continue
        labels.append((position, name))
        series.append(values)
    return labels, given_index, Panel(series, 0, len(series), None, unreadable)


class IndexColumnWarning(UserWarning):
    """A column of `by_column`'s table numbers the rows and is not tested.

    The first column headed "rownames", "index", "Unnamed: 0" or nothing
    (what R's and pandas' CSV writers put there), or a column of integers
    in one regular step (1, 2, 3, ... or years): the rule of ``larkspur-csv``,
    which skips the same columns with a note. A constant column is data, not
    an index, and is tested (the test refuses it).

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> from larkspur_tools import IndexColumnWarning, by_column
    >>> table = {"year": np.arange(1900.0, 2100.0), "x": np.random.default_rng(1).standard_normal(200)}
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     tested = by_column(table)
    >>> list(tested.index), [w.category.__name__ for w in caught]
    (['x'], ['IndexColumnWarning'])
    >>> print(str(caught[0].message).split(";")[0])
    column 'year' not tested: an index: integers in a regular step, such as years
    """


def skipped_as_index(position: int, name: Any, values: npt.NDArray[np.float64]) -> bool:
    """True, with an IndexColumnWarning naming it, for a column that numbers the rows."""
    reason = index_column_reason(position, name, values)
    if reason is not None:
        # The stack: here, table_panel, by_column, its caller.
        warnings.warn(
            f"column {name!r} not tested: {reason}; drop it or make it the index to silence this warning",
            IndexColumnWarning,
            stacklevel=4,
        )
    return reason is not None


def panel_without_missing(panel: Panel) -> Panel:
    """The panel's columns without their missing values (NaN), each as a 1-D array."""
    columns = list(panel.data.T) if isinstance(panel.data, np.ndarray) else panel.data
    return panel._replace(
        data=[values[~np.isnan(values)] if np.isnan(values).any() else values for values in columns], axis=0
    )


def labels_as_given(labels: list[Any]) -> pd.Index[Any]:
    """An index of exactly these labels: tuples stay tuples, and 1 does not
    become 1.0 beside a float label."""
    import pandas as pd

    index: pd.Index[Any] = pd.Index(labels, tupleize_cols=False)
    if any(type(given) is not type(kept) for given, kept in zip(labels, index)):
        index = pd.Index(labels, dtype=object, tupleize_cols=False)
    return index
