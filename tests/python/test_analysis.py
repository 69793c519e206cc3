"""The analysis of larkspur_tools: the lag table against the extension's own
bits, the bootstrap's stream and memory, the diagnosis and its report."""

import math
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pytest

import larkspur_tools
from larkspur import statistical_tests
from larkspur_tools import analysis
from test_constructor import PENALTY_TIE
from test_examples_and_tools import ROOT

EL = statistical_tests.EscancianoLobato


def families(rng):
    """(series, q, d): Gaussian, small integers, rounded decimals over many
    scales, random walks; short small-integer series, where ties of the
    criterion are common; the pinned tie of the penalty switch."""
    for i in range(1200):
        n = int(rng.integers(3, 300))
        x = [rng.standard_normal(n), rng.integers(-2, 3, n).astype(float),
             np.round(rng.standard_normal(n), 1) * 10.0 ** int(rng.integers(-8, 8)),
             np.cumsum(rng.standard_normal(n))][i % 4]
        yield x, [None, 0.5, 2.4, 5.0][i % 4 - 1 if i % 3 else 0], int(rng.integers(1, min(n, 10) + 1)) if i % 5 else None
    for _ in range(6000):
        n = int(rng.integers(4, 13))
        yield rng.integers(-2, 3, n).astype(float), 0.5, int(rng.integers(2, n + 1))
    yield np.array(PENALTY_TIE), 1.60642433184324, 4


def test_lag_table_gives_the_extensions_bits_ties_included():
    ties = 0
    for x, q, d in families(np.random.default_rng(19)):
        try:
            result = EL(x, q, d)
        except OSError:
            continue  # a zero tau: refused alike by the table
        lags = analysis._lags(x, q, d)
        # The criterion column's first maximum is the test's order (NaN at lag n skipped).
        assert lags.chosen == result.p_tilde == int(np.nanargmax(lags.criterion)) + 1, (x, q, d)
        if result.p_tilde:
            assert lags.cumulative[result.p_tilde - 1].hex() == result.statistic.hex(), (x, q, d)
            ties += int(np.count_nonzero(lags.criterion == lags.criterion[result.p_tilde - 1])) > 1
    assert ties >= 10  # the smaller p of a tie is the extension's too
    x, q, d = np.array(PENALTY_TIE), 1.60642433184324, 4
    table = larkspur_tools.lag_table(x, q, d)  # the public table is these values
    assert list(table["chosen"]) == [True, False, False, False]
    assert table["cumulative_statistic"][1] == EL(x, q, d).statistic


def test_lag_table_columns_and_refusals():
    x = np.random.default_rng(4).standard_normal(400)
    table = larkspur_tools.lag_table(x, d=5)
    assert list(table.columns) == analysis.LAG_COLUMNS and list(table.index) == [1, 2, 3, 4, 5]
    assert np.allclose(table["robust_t"] ** 2, table["cumulative_statistic"].diff().fillna(table["cumulative_statistic"]))
    assert table["classic_band"].eq(1.96 / 20).all()
    e = x - x.mean()
    r = np.array([e[:-k] @ e[k:] for k in range(1, 6)]) / (e @ e)
    assert np.allclose(table["ljung_box"], 400 * 402 * np.cumsum(r**2 / (400 - np.arange(1, 6))), rtol=1e-12)
    with pytest.raises(ValueError, match="q must be positive"):
        larkspur_tools.lag_table(x, q=0.0)
    with pytest.raises(OSError, match="Zero"):
        larkspur_tools.lag_table([3.0, 3.0, 3.0])


def test_chi2_upper_tail_against_mpmath():
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 40
    for df in (1, 2, 3, 4, 5, 10, 11):
        for x in (1e-8, 0.3, 1.0, 3.841458820694124, 18.3, 70.2, 103.66, 700.0):
            exact = float(mpmath.gammainc(mpmath.mpf(df) / 2, mpmath.mpf(x) / 2, mpmath.inf, regularized=True))
            # The tail's own condition number in x is about x / 2.
            assert larkspur_tools.chi2_upper_tail(x, df) == pytest.approx(exact, rel=4e-15 * max(1.0, x), abs=0.0), (df, x)
    assert [larkspur_tools.chi2_upper_tail(v) for v in (-1.0, 0.0, math.inf)] == [1.0, 1.0, 0.0]


# A series of exact binary fractions (no library function involved), n not a
# multiple of 8, so the pinned bits check the stream on any platform and NumPy.
PINNED = np.array([((k * k * 31 + 7 * k) % 97 - 48) / 4.0 for k in range(203)])


@pytest.mark.parametrize(("weights", "first", "pvalue"), [
    ("rademacher", ["0x1.2e00a320fbe2ap-5", "0x1.08c777e0d6290p+0", "0x1.96e098b641533p-1"], 0.05),
    ("mammen", ["0x1.ce958d62b11fap-4", "0x1.03cf0f0c7f678p-4", "0x1.dc082b70d4c30p-3"], 0.02),
])
def test_bootstrap_is_reproducible_bit_for_bit(monkeypatch, weights, first, pvalue):
    e = analysis._demeaned(PINNED)
    statistics = analysis._bootstrap_statistics(e, 199, weights, 2024, None, None)
    assert [v.hex() for v in statistics[:3]] == first
    assert larkspur_tools.bootstrap_pvalue(PINNED, 199, weights=weights, seed=2024) == pvalue
    # The first replicate from the raw stream, decoded independently.
    raw = np.random.PCG64(2024).random_raw(203 if weights == "mammen" else 4)
    if weights == "rademacher":
        w = np.array([-1.0 if (int(raw[k // 64]) >> (k % 64)) & 1 else 1.0 for k in range(203)])
    else:
        w = np.array([analysis.MAMMEN_LOW if (int(r) >> 11) * 2.0**-53 < analysis.MAMMEN_P_LOW
                      else analysis.MAMMEN_HIGH for r in raw])
    assert EL(e * w).statistic == statistics[0]
    # Neither the block size nor a second run changes a bit; another seed does.
    monkeypatch.setattr(analysis, "_CACHE_BLOCK_BYTES", 3 * 203 * 25)
    assert analysis._bootstrap_statistics(e, 199, weights, 2024, None, None).tobytes() == statistics.tobytes()
    assert analysis._bootstrap_statistics(e, 199, weights, 2025, None, None).tobytes() != statistics.tobytes()


def test_bootstrap_holds_at_most_64_mb_of_replicates():
    x = np.random.default_rng(8).standard_normal(10_000)
    assert analysis.MAX_REPLICATE_BYTES == 64 * 2**20
    tracemalloc.start()
    try:
        larkspur_tools.bootstrap_pvalue(x, 999, seed=1)      # 80 MB of replicates in all
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < analysis.MAX_REPLICATE_BYTES // 8


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"weights": "normal"}, ValueError, "weights must be"),
    ({"B": 0}, ValueError, "B must be a positive integer"),
    ({"B": True}, ValueError, "B must be a positive integer"),
    ({"data": [1.0, math.inf, 2.0, 0.5]}, ValueError, "infinite"),
    ({"data": [1.0, math.nan, 2.0]}, ValueError, "NaN"),
    # Signs that make a replicate constant: its robust variance is zero.
    ({"data": [1.0, -1.0, 1.0, -1.0], "seed": 1}, OSError, "Zero"),
])
def test_bootstrap_refusals(kwargs, error, message):
    arguments = {"data": PINNED, "B": 9} | kwargs
    with pytest.raises(error, match=message):
        larkspur_tools.bootstrap_pvalue(arguments.pop("data"), arguments.pop("B"), **arguments)


def test_diagnosis_fields_summary_and_frame():
    pd = pytest.importorskip("pandas")
    prices = pd.read_csv(ROOT / "data" / "EuStockMarkets.csv", index_col=0)["FTSE"]
    returns = np.log(prices).diff().dropna()
    result = EL(returns.to_numpy())
    diagnosis = larkspur_tools.diagnose(returns, bootstrap=99, seed=3)
    assert (diagnosis.n, diagnosis.d, diagnosis.q, diagnosis.p_tilde) == (1859, 4, 2.4, result.p_tilde)
    assert (diagnosis.statistic, diagnosis.pvalue) == (result.statistic, result.pvalue)
    assert diagnosis.tail == larkspur_tools.chi2_upper_tail(result.statistic)
    assert diagnosis.bootstrap_pvalue == larkspur_tools.bootstrap_pvalue(returns, 99, seed=3)
    assert diagnosis.lag_table.equals(larkspur_tools.lag_table(returns))
    text = diagnosis.summary()
    for field in ("FTSE", "1859", "Chosen lag order (p~):", f"{result.statistic:.5f}", f"{result.pvalue:.5f}",
                  "Exact chi2(1) tail:", f"{diagnosis.bootstrap_pvalue:.4f}", "seed 3",
                  "Verdict at 5%: reject H0 (asymptotic), reject H0 (bootstrap)", "LB p-value"):
        assert field in text, field
    assert len([line for line in text.splitlines() if line.strip().startswith(("1 ", "2 ", "3 ", "4 "))]) == 4
    row = diagnosis.to_frame()
    assert list(row.index) == ["FTSE"] and row.loc["FTSE", "bootstrap_pvalue"] == diagnosis.bootstrap_pvalue
    # A fitted model's residuals; no bootstrap: its fields say so.
    plain = larkspur_tools.diagnose(SimpleNamespace(resid=returns.to_numpy()), level=0.001)
    assert plain.bootstrap_pvalue is None and "Bootstrap p-value:" in plain.summary()
    assert "do not reject H0 (asymptotic)" in plain.summary() and not plain.reject()
    with pytest.raises(ValueError, match="no bootstrap"):
        plain.reject(bootstrap=True)


def test_diagnosis_plot_panels():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    x = np.random.default_rng(5).standard_normal(300)
    assert len(larkspur_tools.diagnose(x).plot().axes) == 1
    assert len(larkspur_tools.diagnose(x, bootstrap=49, seed=1).plot().axes) == 2
