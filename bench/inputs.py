"""Cost of each input type relative to a contiguous float64 array (the
README's inputs guide). polars and xarray rows need those packages."""

from __future__ import annotations

import argparse
import array
import importlib.util
import statistics
import time
from collections.abc import Callable

import numpy as np
import pandas as pd

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato


def median_time(function: Callable[[], object], budget: float) -> float:
    function()
    times: list[float] = []
    end = time.perf_counter() + budget
    while len(times) < 3 or (time.perf_counter() < end and len(times) < 200):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--quick", action="store_true", help="tiny input: keeps the script working in make test")
    args = parser.parse_args()
    n = 1000 if args.quick else args.n
    budget = 0.01 if args.quick else 0.3
    x = np.random.default_rng(0).standard_normal(n)
    cases: dict[str, Callable[[], object]] = {
        "float64 ndarray, contiguous": lambda: EL(x),
        "float64 ndarray, strided view": lambda s=np.repeat(x, 2)[::2]: EL(s),
        "float32 ndarray": lambda a=x.astype(np.float32): EL(a),
        "int64 ndarray": lambda a=(x * 1000).astype(np.int64): EL(a),
        "list of float": lambda a=x.tolist(): EL(a),
        "array.array('d')": lambda a=array.array("d", x): EL(a),
        "pandas Series": lambda a=pd.Series(x): EL(a),
        "pandas Series .to_numpy()": lambda a=pd.Series(x): EL(a.to_numpy()),
    }
    if importlib.util.find_spec("polars"):
        import polars as pl

        cases["polars Series"] = lambda a=pl.Series(x): EL(a)
        cases["polars Series .to_numpy()"] = lambda a=pl.Series(x): EL(a.to_numpy())
    if importlib.util.find_spec("xarray"):
        import xarray as xr

        cases["xarray DataArray"] = lambda a=xr.DataArray(x): EL(a)
        cases["xarray DataArray .to_numpy()"] = lambda a=xr.DataArray(x): EL(a.to_numpy())
    base = median_time(cases["float64 ndarray, contiguous"], budget)
    print(f"n = {n:,}; float64 array {base * 1e3:.3f} ms per call")
    print("| input | ms per call | vs float64 array |")
    print("|---|---:|---:|")
    for name, case in cases.items():
        seconds = median_time(case, budget)
        print(f"| {name} | {seconds * 1e3:.3f} | {seconds / base:,.1f}x |")


if __name__ == "__main__":
    main()
