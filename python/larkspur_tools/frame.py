"""Column-wise and rolling tests on pandas objects (pandas imported on use).

Neither function drops, reorders or reinterprets data silently: a column the
test cannot read as numbers (dates, durations, periods, text, categories,
complex numbers) is refused by name unless the caller asks to skip such
columns, every per-column or per-window error names its column or window,
and missing values are dropped only when asked (nan="omit"), which joins
the observations on either side of a gap as if they were adjacent.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from ._core import default_d, natural_array, noting
from .batch import run_many
from .small_sample import warn_if_small

if TYPE_CHECKING:
    import pandas as pd

NanPolicy = Literal["raise", "omit"]

COLUMNS = ["n", "d", "p_tilde", "statistic", "pvalue", "reject"]

# What pandas' infer_dtype may say of an object column that holds numbers.
NUMERIC_OBJECTS = frozenset({"floating", "integer", "mixed-integer-float", "decimal", "boolean", "empty"})

SERIES_GIVEN = ("by_column takes a table: a DataFrame (pandas or polars) or a mapping of names to series, "
                "not one series; for one series call larkspur_tools.el_tuple(series) or "
                "EscancianoLobato(series.to_numpy()), or pass series.to_frame()")


def by_column(data: pd.DataFrame | Mapping[Any, Any], *, q: float | None = None, d: int | None = None,
              level: float = 0.05, nan: NanPolicy = "raise", numeric_only: bool = False) -> pd.DataFrame:
    """The test on every column: one row per column, indexed by its label as given.

    Columns: n (observations tested), d (largest lag used), p_tilde,
    statistic, pvalue, and reject (pvalue < level, 0 < level < 1). Each
    column is read as one contiguous float64 array; all are tested in one
    `el_many` batch, in place. A column of dates, durations, periods, text or categories is
    refused (TypeError naming it and its dtype); numeric_only=True skips
    such columns instead, as pandas does.

    nan="raise" (the default) lets the test refuse a column holding NaN with
    its own ValueError; nan="omit" drops that column's NaNs first (the values
    on either side of a gap are then tested as if adjacent) and reports n
    after dropping; infinities are refused either way. Every per-column error
    carries the note "in column <label>". Columns shorter than 100 values get
    a SmallSampleWarning.

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

    Raises
    ------
    TypeError
        `data` is a single series or not a table, or a column is not
        numbers (without numeric_only).
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
    import pandas as pd

    check_level(level)
    check_nan_policy(nan)
    labels, column_of, given_index = table_of(data)
    # Converted in order; a column that cannot be read ends the list, and is
    # reported after the columns before it, as a column-by-column loop would.
    columns: list[tuple[int, Any, npt.NDArray[np.float64]]] = []
    unreadable: Exception | None = None
    for position, name in enumerate(labels):
        try:
            column = column_of(name)
            with noting(f"in column {name!r}"):
                values = numeric_values(column, numeric_only, f"column {name!r}")
        except MemoryError:
            raise
        except Exception as error:
            unreadable = error
            break
        if values is None:
            continue
        if nan == "omit":
            values = values[~np.isnan(values)]
        columns.append((position, name, values))
    tested = run_many([values for *_, values in columns], 0, q, d, None, "raise",
                      lambda index: f"in column {columns[index][1]!r}")
    if unreadable is not None:
        raise unreadable
    rows: list[tuple[int, int, int, float, float, bool]] = []
    for (position, name, values), p_tilde, statistic, pvalue in zip(columns, *tested):
        n = len(values)
        warn_if_small(n, f"column {name!r}")
        rows.append((n, d if d is not None else default_d(n), int(p_tilde), float(statistic), float(pvalue),
                     bool(pvalue < level)))
    kept = [position for position, *_ in columns]
    index = given_index[kept] if given_index is not None else labels_as_given([labels[i] for i in kept])
    table = pd.DataFrame(rows, index=index, columns=COLUMNS)
    return table.astype({"n": "int64", "d": "int64", "p_tilde": "int64", "statistic": "float64",
                         "pvalue": "float64", "reject": "bool"})


def rolling_pvalues(series: pd.Series[Any] | np.ndarray[Any, Any], window: int, step: int = 1, *,
                    q: float | None = None, d: int | None = None, nan: NanPolicy = "raise") -> pd.Series[float]:
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
        `window`, `step` or `nan` is invalid, or the test refuses a window
        (with the note "in the window ending at <label>").
    TypeError
        The series is not numbers.
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
    import pandas as pd

    if window < 1 or step < 1:
        raise ValueError("window and step must be positive")
    check_nan_policy(nan)
    index = series.index if isinstance(series, pd.Series) else pd.RangeIndex(len(series))
    values = numeric_values(series, False, "the series")
    assert values is not None
    if nan == "omit":
        present = ~np.isnan(values)
        values, index = values[present], index[present]
    ends = range(window, len(values) + 1, step)
    if len(ends):
        warn_if_small(window, f"windows of {window}")
    # Every window in one batch, as rows of a strided view of `values`.
    windows = (np.lib.stride_tricks.sliding_window_view(values, window)[::step] if len(ends)
               else np.empty((0, window)))
    pvalues = run_many(windows, 1, q, d, None, "raise",
                       lambda position: f"in the window ending at {index[ends[position] - 1]}").pvalue
    # The label of each window's last observation (positions as an array: a
    # list of 100,000 of them costs more than the whole batch of tests).
    labels = index[np.arange(window - 1, len(values), step)]
    return pd.Series(pvalues, index=labels, name="pvalue", dtype="float64")


def check_level(level: float) -> None:
    if not 0 < level < 1:
        raise ValueError(f"level must lie in (0, 1), e.g. 0.05 for 5%, not {level!r}")


def check_nan_policy(nan: str) -> None:
    if nan not in ("raise", "omit"):
        raise ValueError(f"nan must be 'raise' or 'omit', not {nan!r}")


def table_of(data: Any) -> tuple[list[Any], Callable[[Any], Any], pd.Index[Any] | None]:
    """(labels, column by label, the table's own column index or None) of a
    pandas or polars DataFrame or a mapping; a single series is refused."""
    import pandas as pd

    if isinstance(data, (pd.Series, np.ndarray, list, tuple)) or hasattr(data, "to_frame"):
        raise TypeError(SERIES_GIVEN)
    if isinstance(data, pd.DataFrame):
        return list(data.columns), data.__getitem__, data.columns
    if isinstance(data, Mapping) or hasattr(data, "keys"):
        return list(data.keys()), data.__getitem__, None
    if hasattr(data, "get_column") and hasattr(data, "columns"):  # polars
        return list(data.columns), data.get_column, None
    raise TypeError(f"by_column takes a DataFrame or a mapping of names to series, not {type(data).__name__}")


def labels_as_given(labels: list[Any]) -> pd.Index[Any]:
    """An index of exactly these labels: tuples stay tuples, and 1 does not
    become 1.0 beside a float label."""
    import pandas as pd

    index: pd.Index[Any] = pd.Index(labels, tupleize_cols=False)
    if any(type(given) is not type(kept) for given, kept in zip(labels, index)):
        index = pd.Index(labels, dtype=object, tupleize_cols=False)
    return index


def numeric_values(values: Any, numeric_only: bool, what: str) -> npt.NDArray[np.float64] | None:
    """The column as a 1-D float64 array; None (skip) or TypeError for a
    column whose values are not numbers."""
    import pandas as pd

    refusal = non_numeric_dtype(values)
    if refusal is not None:
        array = None
    elif isinstance(getattr(values, "dtype", None), pd.api.extensions.ExtensionDtype):
        # Nullable integers and floats: pd.NA becomes NaN, the missing mark.
        array = values.to_numpy(dtype="float64", na_value=np.nan)
    else:
        array = natural_array(values)
    if array is not None:
        refusal = non_numeric_dtype(array)
    if refusal is not None:
        if numeric_only:
            return None
        raise TypeError(f"{what} has dtype {refusal}, not numbers: convert it, drop it, or pass numeric_only=True "
                        "to skip such columns")
    assert array is not None
    result = np.ascontiguousarray(array, dtype=np.float64)
    if result.ndim != 1:
        # A DataFrame with a repeated column name gives a 2-D selection.
        raise ValueError(f"expected one series of values, got an array of shape {result.shape}")
    return result


def non_numeric_dtype(values: Any) -> str | None:
    """The name of a dtype that is not numbers (dates, durations, periods,
    text, categories, complex), or None."""
    from pandas.api import types

    dtype = getattr(values, "dtype", None)
    if dtype is None:
        return None
    is_numeric = getattr(dtype, "is_numeric", None)
    if callable(is_numeric):  # a polars dtype
        return None if is_numeric() else str(dtype)
    if isinstance(dtype, np.dtype):
        if dtype.kind == "O" and isinstance(values, np.ndarray):
            kind = types.infer_dtype(values, skipna=True)
            return None if kind in NUMERIC_OBJECTS else f"object ({kind})"
        return None if dtype.kind in "biufO" else str(dtype)
    return None if types.is_numeric_dtype(dtype) and not types.is_complex_dtype(dtype) else str(dtype)
