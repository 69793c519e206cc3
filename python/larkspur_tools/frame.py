"""Column-wise and rolling tests on pandas objects (pandas imported on use)."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ._core import as_float64, default_d
from .batch import run_many

if TYPE_CHECKING:
    import pandas as pd

NanPolicy = Literal["raise", "omit"]

COLUMNS = ["n", "d", "p_tilde", "statistic", "pvalue", "reject"]


def by_column(data: pd.DataFrame | Mapping[Any, Any], *, q: float | None = None, d: int | None = None,
              level: float = 0.05, nan: NanPolicy = "raise") -> pd.DataFrame:
    """The test on every column: one row per column, indexed by its name.

    Columns: n (observations tested), d (largest lag used), p_tilde,
    statistic, pvalue, and reject (pvalue < level). Each column is read as
    one contiguous float64 array; all are tested in one `el_many` batch.

    nan="raise" (the default) lets the test refuse a column holding NaN with
    its own ValueError; nan="omit" drops that column's NaNs first and reports
    n after dropping.
    """
    import pandas as pd

    if nan not in ("raise", "omit"):
        raise ValueError(f"nan must be 'raise' or 'omit', not {nan!r}")
    # Converted in order; a column that cannot be read ends the list, and is
    # reported after the columns before it, as a column-by-column loop would.
    columns: list[tuple[Any, np.ndarray[Any, Any]]] = []
    unreadable: Exception | None = None
    for name in data.keys():
        try:
            values = as_float64(data[name])
        except Exception as error:
            unreadable = error
            break
        if nan == "omit":
            values = values[~np.isnan(values)]
        columns.append((name, values))
    tested = run_many([values for _, values in columns], 0, q, d, None, "raise",
                      lambda index: f"in column {columns[index][0]!r}")
    if unreadable is not None:
        raise unreadable
    rows: dict[Any, tuple[int, int, int, float, float, bool]] = {}
    for (name, values), p_tilde, statistic, pvalue in zip(columns, *tested):
        n = len(values)
        rows[name] = (n, d if d is not None else default_d(n), int(p_tilde), float(statistic), float(pvalue),
                      bool(pvalue < level))
    table = pd.DataFrame.from_dict(rows, orient="index", columns=COLUMNS)
    return table.astype({"n": "int64", "d": "int64", "p_tilde": "int64", "statistic": "float64",
                         "pvalue": "float64", "reject": "bool"})


def rolling_pvalues(series: pd.Series[Any] | np.ndarray[Any, Any], window: int, step: int = 1, *,
                    q: float | None = None, d: int | None = None) -> pd.Series[float]:
    """p-value of every full window of `window` observations, every `step`-th.

    Each p-value is indexed by the label of its window's last observation, so
    a date index is kept. Windows are slices of one float64 array, read in
    place and tested in one `el_many` batch.
    """
    import pandas as pd

    if window < 1 or step < 1:
        raise ValueError("window and step must be positive")
    index = series.index if isinstance(series, pd.Series) else pd.RangeIndex(len(series))
    values = as_float64(series)
    ends = range(window, len(values) + 1, step)
    # Every window in one batch, as rows of a strided view of `values`.
    windows = (np.lib.stride_tricks.sliding_window_view(values, window)[::step] if len(ends)
               else np.empty((0, window)))
    pvalues = run_many(windows, 1, q, d, None, "raise", None).pvalue
    return pd.Series(pvalues, index=index[[end - 1 for end in ends]], name="pvalue", dtype="float64")
