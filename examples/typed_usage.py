"""Checked by mypy --strict in make test: the stub must type this module."""

import numpy as np

from larkspur import statistical_tests


def pvalue_of(returns: np.ndarray) -> float:
    result = statistical_tests.EscancianoLobato(returns, q=2.4, d=5)
    lag: int = result.p_tilde
    statistic: float = result.statistic
    assert lag >= 0 and statistic == statistic
    return result.pvalue


def from_list(values: list[float]) -> float:
    return statistical_tests.EscancianoLobato(values).pvalue
