"""Running the test over many series.

Results are not picklable by design (they are native objects), so every
helper here returns plain tuples (p_tilde, statistic, pvalue) that travel
between processes and machines.
"""

from __future__ import annotations

from collections.abc import Sequence

import pandas as pd

from larkspur import statistical_tests


def el_tuple(values: Sequence[float], q: float | None = None, d: int | None = None) -> tuple[int, float, float]:
    """The test as a plain, picklable tuple."""
    result = statistical_tests.EscancianoLobato(values, q, d)
    return result.p_tilde, result.statistic, result.pvalue


def el_by_column(frame: pd.DataFrame, q: float | None = None, d: int | None = None) -> pd.DataFrame:
    """One row per column of `frame`: p_tilde, statistic, pvalue."""
    rows = {name: el_tuple(frame[name].to_numpy(dtype="float64"), q, d) for name in frame.columns}
    return pd.DataFrame.from_dict(rows, orient="index", columns=["p_tilde", "statistic", "pvalue"])


def el_by_column_with_dask(frame: pd.DataFrame, client: object | None = None) -> pd.DataFrame:
    """The same, mapped over a Dask cluster (pip install "dask[distributed]").

    With `client` None, dask's default scheduler runs it locally; pass a
    `dask.distributed.Client` connected to a cluster to spread the columns
    over machines. Each task ships one column and returns one tuple.
    """
    import dask

    tasks = [dask.delayed(el_tuple)(frame[name].to_numpy(dtype="float64")) for name in frame.columns]
    results = dask.compute(*tasks) if client is None else client.compute(tasks, sync=True)  # type: ignore[attr-defined]
    return pd.DataFrame(list(results), index=frame.columns, columns=["p_tilde", "statistic", "pvalue"])


if __name__ == "__main__":
    import pathlib

    import numpy as np

    prices = pd.read_csv(pathlib.Path(__file__).resolve().parents[1] / "data" / "EuStockMarkets.csv", index_col=0)
    print(el_by_column(np.log(prices).diff().dropna()))
