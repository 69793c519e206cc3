"""Results on the bundled real data, against the pure-Python transcription."""

import csv
import math
import pathlib

import numpy as np
import pandas as pd
import pytest
from el_reference import el_test

from larkspur import statistical_tests

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"


def column(name, file="EuStockMarkets.csv"):
    with open(DATA / file, newline="") as handle:
        return [float(row[name]) for row in csv.DictReader(handle)]


def log_returns(prices):
    return [math.log(b / a) for a, b in zip(prices, prices[1:])]


SERIES = {
    "DAX": lambda: log_returns(column("DAX")),
    "SMI": lambda: log_returns(column("SMI")),
    "CAC": lambda: log_returns(column("CAC")),
    "FTSE": lambda: log_returns(column("FTSE")),
    "sunspots": lambda: column("value", "sunspot.year.csv"),
}


@pytest.mark.parametrize("name", SERIES)
@pytest.mark.parametrize("d", [None, 10])
def test_matches_reference_to_the_bit(name, d):
    x = SERIES[name]()
    expected = el_test(x, 2.4, d)
    for data in (x, np.array(x), pd.Series(x)):
        result = statistical_tests.EscancianoLobato(data, d=d)
        assert (result.p_tilde, result.statistic.hex(), result.pvalue.hex()) == (
            expected[0],
            expected[1].hex(),
            expected[2].hex(),
        )


def test_the_verdicts_are_the_known_ones():
    dax = statistical_tests.EscancianoLobato(SERIES["DAX"]())
    assert len(SERIES["DAX"]()) == 1859 and round(dax.pvalue, 5) == 0.98836
    sunspots = statistical_tests.EscancianoLobato(SERIES["sunspots"]())
    assert sunspots.pvalue < 1e-10  # the 11-year cycle
