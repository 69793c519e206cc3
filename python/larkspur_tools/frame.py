"""Column-wise and rolling tests on pandas objects (pandas imported on use)."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from larkspur import statistical_tests

from ._core import as_float64
from .report import run_test

if TYPE_CHECKING:
    import pandas as pd

NanPolicy = Literal["raise", "omit"]

COLUMNS = ["n", "d", "p_tilde", "statistic", "pvalue", "reject"]


def by_column(data: pd.DataFrame | Mapping[Any, Any], *, q: float | None = None, d: int | None = None,
              level: float = 0.05, nan: NanPolicy = "raise") -> pd.DataFrame:
    """The test on every column: one row per column, indexed by its name.

    Columns: n (observations tested), d (largest lag used), p_tilde,
    statistic, pvalue, and reject (pvalue < level). Each column is read as
    one contiguous float64 array, which the test reads in place.

    nan="raise" (the default) lets the test refuse a column holding NaN with
    its own ValueError; nan="omit" drops that column's NaNs first and reports
    n after dropping.
    """
    import pandas as pd

    if nan not in ("raise", "omit"):
        raise ValueError(f"nan must be 'raise' or 'omit', not {nan!r}")
    rows: dict[Any, tuple[int, int, int, float, float, bool]] = {}
    for name in data.keys():
        values = as_float64(data[name])
        if nan == "omit":
            values = values[~np.isnan(values)]
        try:
            row = run_test(str(name), values, q, d)
        except (ValueError, TypeError, OSError, OverflowError) as error:
            error.add_note(f"in column {name!r}")
            raise
        rows[name] = (row.n, row.d, row.p_tilde, row.statistic, row.pvalue, row.pvalue < level)
    table = pd.DataFrame.from_dict(rows, orient="index", columns=COLUMNS)
    return table.astype({"n": "int64", "d": "int64", "p_tilde": "int64", "statistic": "float64",
                         "pvalue": "float64", "reject": "bool"})


def rolling_pvalues(series: pd.Series[Any] | np.ndarray[Any, Any], window: int, step: int = 1, *,
                    q: float | None = None, d: int | None = None) -> pd.Series[float]:
    """p-value of every full window of `window` observations, every `step`-th.

    Each p-value is indexed by the label of its window's last observation, so
    a date index is kept. Windows are slices of one float64 array, read in
    place.
    """
    import pandas as pd

    if window < 1 or step < 1:
        raise ValueError("window and step must be positive")
    index = series.index if isinstance(series, pd.Series) else pd.RangeIndex(len(series))
    values = as_float64(series)
    ends = range(window, len(values) + 1, step)
    pvalues = [statistical_tests.EscancianoLobato(values[end - window:end], q, d).pvalue for end in ends]
    return pd.Series(pvalues, index=index[[end - 1 for end in ends]], name="pvalue", dtype="float64")
