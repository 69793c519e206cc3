"""Checked by mypy --strict in make test: the stubs must type this module."""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
import pandas as pd
from larkspur_tools import ElTuple, EscancianoLobato, by_column, el_many, el_tuple, rolling_pvalues

from larkspur import statistical_tests


def pvalue_of(returns: npt.NDArray[np.float64]) -> float:
    result = statistical_tests.EscancianoLobato(returns, q=2.4, d=5)
    lag: int = result.p_tilde
    statistic: float = result.statistic
    assert lag >= 0 and statistic == statistic
    return result.pvalue


def run(values: list[float] | Sequence[float] | pd.Series[float]) -> statistical_tests.EscancianoLobato:
    """The result type, named where it lives."""
    return statistical_tests.EscancianoLobato(values)


def run_again(values: Sequence[float]) -> EscancianoLobato:
    """The same type, through the companion's name for it."""
    return run(values)


def everything(frame: pd.DataFrame, series: pd.Series[float], values: Sequence[float]) -> ElTuple:
    table: pd.DataFrame = by_column(frame, nan="omit")
    pvalues: pd.Series[float] = rolling_pvalues(series, 250, step=5)
    assert len(table) >= 0 and len(pvalues) >= 0
    return el_tuple(values)


def from_list(values: list[float]) -> float:
    return run(values).pvalue


def panel_pvalues(panel: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """el_many's result types: three arrays, and the messages when masked."""
    result = el_many(panel, axis=1, threads=2)
    lags: npt.NDArray[np.int64] = result.p_tilde
    masked = el_many([panel[0], panel[1, ::2]], errors="mask")
    message: str | None = masked.message[0]
    assert len(lags) >= 0 and message != ""
    return result.pvalue
