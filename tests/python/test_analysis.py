"""The analysis of larkspur_tools: the lag table against the extension's own
bits, the bootstrap's stream and memory, the diagnosis and its report."""

import dataclasses
import inspect
import math
import tracemalloc
import warnings
from types import SimpleNamespace

import larkspur_tools
import numpy as np
import pytest
from larkspur_tools import _batch, lags, wild_bootstrap
from larkspur_tools import lags as lag_module
from test_constructor import PENALTY_TIE
from test_examples_and_tools import ROOT

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato


def families(rng):
    """(series, q, d): Gaussian, small integers, rounded decimals over many
    scales, random walks; short small-integer series, where ties of the
    criterion are common; the pinned tie of the penalty switch."""
    for i in range(1200):
        n = int(rng.integers(3, 300))
        x = [
            rng.standard_normal(n),
            rng.integers(-2, 3, n).astype(float),
            np.round(rng.standard_normal(n), 1) * 10.0 ** int(rng.integers(-8, 8)),
            np.cumsum(rng.standard_normal(n)),
        ][i % 4]
        yield (
            x,
            [None, 0.5, 2.4, 5.0][i % 4 - 1 if i % 3 else 0],
            int(rng.integers(1, min(n, 10) + 1)) if i % 5 else None,
        )
    for _ in range(6000):
        n = int(rng.integers(4, 13))
        yield rng.integers(-2, 3, n).astype(float), 0.5, int(rng.integers(2, n + 1))
    yield np.array(PENALTY_TIE), 1.60642433184324, 4


@pytest.mark.filterwarnings("ignore::larkspur_tools.SmallSampleWarning")
def test_lag_table_gives_the_extensions_bits_ties_included():
    ties = 0
    for x, q, d in families(np.random.default_rng(19)):
        try:
            result = EL(x, q, d)
        except OSError:
            continue  # a zero tau: refused alike by the table
        lags = lag_module._lags(x, q, d)
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
    assert list(table.columns) == lags.LAG_COLUMNS and list(table.index) == [1, 2, 3, 4, 5]
    assert np.allclose(
        table["robust_t"] ** 2, table["cumulative_statistic"].diff().fillna(table["cumulative_statistic"])
    )
    assert table["classic_band"].eq(1.96 / 20).all()
    e = x - x.mean()
    r = np.array([e[:-k] @ e[k:] for k in range(1, 6)]) / (e @ e)
    assert np.allclose(table["ljung_box"], 400 * 402 * np.cumsum(r**2 / (400 - np.arange(1, 6))), rtol=1e-12)
    with pytest.raises(ValueError, match="q must be positive"):
        larkspur_tools.lag_table(x, q=0.0)
    with pytest.raises(OSError, match="Zero"):
        larkspur_tools.lag_table([3.0, 3.0, 3.0])


SUNSPOTS = np.genfromtxt(ROOT / "data" / "sunspot.year.csv", delimiter=",", names=True)["value"]


@pytest.mark.parametrize(
    ("x", "q", "d", "aic"),
    [
        (np.random.default_rng(4).standard_normal(400), 2.4, 5, False),
        (SUNSPOTS, 2.4, 6, True),
        (np.random.default_rng(3).standard_normal(8), 2.4, 8, True),  # d = n: lag n has no pairs
        (np.random.default_rng(3).standard_normal(8), 4.0, 8, False),
    ],
)
def test_lag_table_columns_follow_their_formulas(x, q, d, aic):
    """The robust band, the penalty switch, the criterion and p~ from the
    test's definitions, computed here in plain NumPy."""
    n, lag = len(x), np.arange(1, d + 1)
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        table = larkspur_tools.lag_table(x, q, d)
    e = x - x.mean()
    with np.errstate(invalid="ignore"):
        gamma = np.array([e[j:] @ e[:-j] / (n - j) if j < n else math.nan for j in lag])
        tau = np.array([np.mean((e[j:] * e[:-j]) ** 2) if j < n else math.nan for j in lag])
    np.testing.assert_allclose(table["robust_band"], 1.96 * np.sqrt(tau) / (math.sqrt(n) * (e @ e / n)), rtol=1e-12)
    rho2 = gamma**2 / tau
    assert (np.nanmax(np.sqrt(n * rho2)) > math.sqrt(q * math.log(n))) == aic
    np.testing.assert_allclose(table["penalty"], 2.0 * lag if aic else lag * math.log(n), rtol=1e-15)
    cumulative = n * np.cumsum(rho2)
    np.testing.assert_allclose(table["cumulative_statistic"], cumulative, rtol=1e-12)
    assert list(table["chosen"]) == list(lag == np.nanargmax(cumulative - table["penalty"]) + 1)
    if d == n:
        assert table.loc[n, ["autocorrelation", "robust_t", "robust_band", "cumulative_statistic"]].isna().all()


def test_chi2_upper_tail_against_mpmath():
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 40
    for df in (1, 2, 3, 4, 5, 10, 11):
        for x in (1e-8, 0.3, 1.0, 3.841458820694124, 18.3, 70.2, 103.66, 700.0):
            exact = float(mpmath.gammainc(mpmath.mpf(df) / 2, mpmath.mpf(x) / 2, mpmath.inf, regularized=True))
            # The tail's own condition number in x is about x / 2.
            assert larkspur_tools.chi2_upper_tail(x, df) == pytest.approx(exact, rel=4e-15 * max(1.0, x), abs=0.0), (
                df,
                x,
            )
    assert [larkspur_tools.chi2_upper_tail(v) for v in (-1.0, 0.0, math.inf)] == [1.0, 1.0, 0.0]


# A series of exact binary fractions (no library function involved), n not a
# multiple of 8, so the pinned bits check the stream on any platform and NumPy.
PINNED = np.array([((k * k * 31 + 7 * k) % 97 - 48) / 4.0 for k in range(203)])


def decoded(x, weights, seed, replicate, d=None):
    """Replicate `replicate` of the demeaned x, its weights read from the raw
    streams as documented, independently of the package's block code."""
    n = len(x)
    e = x - x.mean()
    stream = np.random.PCG64(seed)
    if weights == "rademacher":
        words = -(-n // 64)
        raw = stream.random_raw((replicate + 1) * words)[replicate * words :]
        w = [-1.0 if (int(raw[k // 64]) >> (k % 64)) & 1 else 1.0 for k in range(n)]
    else:
        words, refine = -(-n // 8), np.random.PCG64(seed).jumped()
        for _ in range(replicate + 1):
            raw = stream.random_raw(words)
            octets = [(int(raw[k // 8]) >> (8 * (k % 8))) & 255 for k in range(n)]
            low = [
                octet < 185 or (octet == 185 and int(refine.random_raw()) < int(wild_bootstrap.MAMMEN_REFINE_BOUND))
                for octet in octets
            ]
        w = [wild_bootstrap.MAMMEN_LOW if is_low else wild_bootstrap.MAMMEN_HIGH for is_low in low]
    return EL(e * np.array(w), d=d).statistic


def through_diagnose(x, B, *, weights, seed, d=None):
    return larkspur_tools.diagnose(x, bootstrap=B, weights=weights, seed=seed, d=d).bootstrap


@pytest.mark.parametrize(
    ("weights", "x", "via", "d"),
    [
        ("rademacher", PINNED, wild_bootstrap.bootstrap, None),
        ("mammen", PINNED, wild_bootstrap.bootstrap, None),
        # The caller's d in every replicate, not the default.
        ("rademacher", PINNED, wild_bootstrap.bootstrap, 30),
        ("mammen", PINNED, through_diagnose, 30),
        # 64 values: one raw word per replicate (the next replicate's signs start
        # at word 1); a mean of 5, which the replicates must not carry.
        ("rademacher", PINNED[:64] + 5.0, through_diagnose, None),
        ("mammen", PINNED[:64] + 5.0, through_diagnose, None),
    ],
)
def test_bootstrap_replicates_follow_the_documented_stream(weights, x, via, d):
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        result = via(x, 199, weights=weights, seed=2024, d=d)
    # Ten replicates: at n = 203 three of their Mammen bytes are 185, so the second stream is read.
    assert [decoded(x, weights, 2024, r, d) for r in range(10)] == list(result.sample[:10])


MAGNITUDE_BASE = np.random.default_rng(3).standard_normal(100)


@pytest.mark.parametrize("weights", ["rademacher", "mammen"])
@pytest.mark.parametrize("k", [-255, -100, -1, 7, 200, 253])
def test_bootstrap_does_not_depend_on_the_series_magnitude(weights, k):
    """x * 2**k is resampled as x: the same replicates, so the same count
    and p-value wherever the test accepts the series (at 2**-255 the
    replicates of the raw series used to underflow and be skipped)."""
    base = wild_bootstrap.bootstrap(MAGNITUDE_BASE, 99, weights=weights, seed=1)
    scaled = wild_bootstrap.bootstrap(np.ldexp(MAGNITUDE_BASE, k), 99, weights=weights, seed=1)
    assert (scaled.pvalue, scaled.exceedances, scaled.tested) == (base.pvalue, base.exceedances, base.tested)
    assert base.tested == 99


def test_native_mammen_selection_has_the_numpy_selections_bits():
    """Any 64-bit words (NaN payloads, signed zeros, subnormals) are copied,
    never computed: HIGH ^ (mask & (LOW ^ HIGH)) bit for bit, ties left HIGH
    and reported in order; the bytes past n in each row are not read."""
    rng = np.random.default_rng(8)
    for rows, n in [(37, 203), (1, 1), (3, 0)]:
        products = rng.integers(-(2**63), 2**63, (2, n), dtype=np.int64, endpoint=False)
        octets = rng.integers(0, 256, (rows, n + 5), dtype=np.uint8)
        out = np.empty((rows, n), dtype=np.int64)
        tied = np.frombuffer(_batch._select_by_byte(octets, products, out, wild_bootstrap.MAMMEN_BYTE), np.int64)
        mask = -(octets[:, :n] < wild_bootstrap.MAMMEN_BYTE).astype(np.int64)
        assert out.tobytes() == (products[1] ^ (mask & (products[0] ^ products[1]))).tobytes()
        assert tied.tolist() == np.flatnonzero(octets[:, :n] == wild_bootstrap.MAMMEN_BYTE).tolist()


@pytest.mark.parametrize(
    ("weights", "first", "pvalue"),
    [
        ("rademacher", ["0x1.2e00a320fbe2ap-5", "0x1.08c777e0d6290p+0", "0x1.96e098b641533p-1"], 0.05),
        ("mammen", ["0x1.154854e2630cep-2", "0x1.dbf19200ab4e7p+0", "0x1.1960bd1a96b16p-1"], 0.05),
    ],
)
def test_bootstrap_is_reproducible_bit_for_bit(monkeypatch, weights, first, pvalue):
    result = wild_bootstrap.bootstrap(PINNED, 199, weights=weights, seed=2024)
    assert [v.hex() for v in result.sample[:3]] == first
    assert larkspur_tools.bootstrap_pvalue(PINNED, 199, weights=weights, seed=2024) == pvalue == result.pvalue
    # Neither the block size nor a second run changes a bit; another seed does.
    monkeypatch.setattr(wild_bootstrap, "_CACHE_BLOCK_BYTES", 3 * 203 * 25)
    assert wild_bootstrap.bootstrap(PINNED, 199, weights=weights, seed=2024).sample.tobytes() == result.sample.tobytes()
    assert wild_bootstrap.bootstrap(PINNED, 199, weights=weights, seed=2025).sample.tobytes() != result.sample.tobytes()


def int_seed_of(bit_generator):
    """The documented int seed a Generator or bit generator supplies: its next
    two raw outputs, low word first."""
    low, high = bit_generator.random_raw(2)
    return int(low) | int(high) << 64


@pytest.mark.parametrize(
    ("seed", "reported"),
    [
        (2024, 2024),
        (np.int64(2024), 2024),
        (0, 0),
        (np.random.SeedSequence(2024), None),  # reported as given
        (np.random.default_rng(7), int_seed_of(np.random.PCG64(7))),
        (np.random.PCG64(7), int_seed_of(np.random.PCG64(7))),
        (np.random.Generator(np.random.PCG64DXSM(7)), int_seed_of(np.random.PCG64DXSM(7))),
    ],
)
def test_bootstrap_seeds_of_each_kind(seed, reported):
    result = wild_bootstrap.bootstrap(PINNED, 49, seed=seed)
    assert result.seed is seed if reported is None else result.seed == reported
    # The stream is PCG64 seeded by what the result reports: the run repeats.
    assert result.sample[0] == decoded(PINNED, "rademacher", result.seed, 0)
    assert wild_bootstrap.bootstrap(PINNED, 49, seed=result.seed).sample.tobytes() == result.sample.tobytes()


def test_bootstrap_without_a_seed_reports_the_one_it_drew():
    first = wild_bootstrap.bootstrap(PINNED, 49)
    assert isinstance(first.seed, int) and wild_bootstrap.bootstrap(PINNED, 49, seed=first.seed) == first
    generator = np.random.default_rng(7)
    assert (
        wild_bootstrap.bootstrap(PINNED, 49, seed=generator).seed
        != wild_bootstrap.bootstrap(PINNED, 49, seed=generator).seed
    )
    # help() names every accepted kind, not an alias.
    for function in (larkspur_tools.bootstrap, larkspur_tools.bootstrap_pvalue, larkspur_tools.diagnose):
        assert (
            "seed: 'int | np.random.SeedSequence | np.random.Generator | np.random.PCG64 | np.random.PCG64DXSM "
            "| None'" in str(inspect.signature(function))
        )


@pytest.mark.parametrize(
    ("n", "B", "limit"),
    [
        (10_000, 999, wild_bootstrap.MAX_REPLICATE_BYTES // 8),  # 80 MB of replicates in all, made in blocks
        (50, 10**7, 64 * 2**20),  # 80 MB of statistics, were they kept
    ],
)
def test_bootstrap_memory_is_bounded(n, B, limit):
    x = np.random.default_rng(8).standard_normal(n)
    tracemalloc.start()
    try:
        with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
            result = wild_bootstrap.bootstrap(x, B, seed=1)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < limit and result.tested == B and len(result.sample) == min(B, wild_bootstrap.SAMPLE_SIZE)


SHORT = np.arange(1.0, 10.0)  # symmetric after demeaning: many replicates tie with T


@pytest.mark.parametrize(
    ("x", "B", "tested"),
    [
        # Every replicate reached by T* >= T counts, the ties included.
        (SHORT, 999, 999),
        # Re-weighted into a constant series, replicates are skipped and counted,
        # never reported as the data's error; the plain test accepts both series.
        ([1.0, 2.0], 99, 41),
        ([1.0, -1.0, 1.0, -1.0], 99, 80),
    ],
)
def test_bootstrap_counts_ties_and_skips_untestable_replicates(x, B, tested):
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        result = wild_bootstrap.bootstrap(x, B, seed=1)
    statistic = EL(x).statistic
    sample = result.sample[~np.isnan(result.sample)]
    assert result.tested == len(sample) == tested
    assert result.exceedances == np.count_nonzero(sample >= statistic) > np.count_nonzero(sample > statistic)
    assert result.pvalue == (1 + result.exceedances) / (tested + 1)


def read_only(array):
    array.setflags(write=False)
    return array


def select(data, *, octets=None, products=None, out=None, threshold=wild_bootstrap.MAMMEN_BYTE):
    """The native Mammen selection, by default of 3 replicates of 11 values (`data` unused)."""
    octets = np.zeros((3, 16), np.uint8) if octets is None else octets
    products = np.zeros((2, 11), np.int64) if products is None else products
    _batch._select_by_byte(octets, products, np.zeros((3, 11), np.int64) if out is None else out, threshold)


SHARED = np.zeros((3, 11), np.int64)  # products in its last two rows, out in its first two
SEED_OF_ONE_DEGENERATE = 2  # its one Rademacher replicate of [1, 2] is (-0.5, -0.5)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"weights": "normal"}, ValueError, "weights must be"),
        ({"weights": np.array([1, -1])}, ValueError, "weights must be 'rademacher' or 'mammen', not array"),
        ({"B": 0}, ValueError, "B must be an integer from 1 to 100,000,000"),
        ({"B": True}, ValueError, "B must be an integer"),
        ({"B": wild_bootstrap.MAX_B + 1}, ValueError, "B must be an integer"),
        ({"B": 2**63}, ValueError, "B must be an integer"),
        ({"seed": -1}, ValueError, "seed must be None, a non-negative int"),
        ({"seed": True}, TypeError, "seed must be None, a non-negative int, .* not bool"),
        ({"seed": "1"}, TypeError, r"seed must be .*PCG64, PCG64DXSM\), not str"),
        ({"seed": np.random.MT19937(1)}, TypeError, "not MT19937"),
        ({"seed": np.random.Generator(np.random.Philox(1))}, TypeError, "not Generator"),
        ({"data": [1.0, math.inf, 2.0, 0.5]}, ValueError, "infinite"),
        ({"data": [1.0, math.nan, 2.0]}, ValueError, "NaN"),
        ({"data": [3.0, 3.0, 3.0]}, OSError, "Zero"),  # the data's own refusal
        # Every replicate degenerate: said in words, not as the extension's symbol.
        (
            {"data": [1.0, 2.0], "B": 1, "seed": SEED_OF_ONE_DEGENERATE},
            ValueError,
            r"none of the 1 re-weighted replicates could be tested \(in the first, the series is constant, or no two",
        ),
        ({"function": larkspur_tools.diagnose, "level": 5}, ValueError, "level must lie in"),
        ({"function": larkspur_tools.diagnose, "level": math.nan}, ValueError, "level must lie in"),
        ({"function": larkspur_tools.diagnose, "bootstrap": -1}, ValueError, "B must be an integer"),
        # Checked even when no bootstrap is asked for.
        ({"function": larkspur_tools.diagnose, "weights": "mamen"}, ValueError, "weights must be"),
        ({"function": larkspur_tools.diagnose, "seed": "junk"}, TypeError, "seed must be"),
        ({"function": larkspur_tools.diagnose, "threads": 0}, ValueError, "threads must be a positive integer"),
        ({"function": larkspur_tools.diagnose, "model_df": -1}, ValueError, "model_df must be a non-negative integer"),
        ({"function": larkspur_tools.diagnose, "model_df": 1.0}, TypeError, "model_df must be .*, not float"),
        ({"function": larkspur_tools.diagnose, "model_df": True}, TypeError, "model_df must be .*, not bool"),
        ({"threads": 0}, ValueError, "threads must be a positive integer, not 0"),
        # The Mammen weights' native selection checks its buffers.
        ({"function": select, "octets": np.zeros((3, 16), np.int8)}, TypeError, "octets must be a C-contiguous 2-D"),
        ({"function": select, "octets": np.zeros((3, 32), np.uint8)[:, ::2]}, TypeError, "octets must be a C-contig"),
        ({"function": select, "products": np.zeros((2, 11))}, TypeError, "products must be a C-contiguous 2-D int64"),
        ({"function": select, "products": np.zeros((3, 11), np.int64)}, TypeError, "array of two rows"),
        ({"function": select, "out": np.zeros((3, 11), np.int64)[:, ::-1]}, TypeError, "out must be a writable"),
        ({"function": select, "out": read_only(np.zeros((3, 11), np.int64))}, TypeError, "out must be a writable"),
        # 17 values, with 16 bytes to a row.
        (
            {"function": select, "products": np.zeros((2, 17), np.int64), "out": np.zeros((3, 17), np.int64)},
            ValueError,
            "and octets at least as many columns",
        ),
        ({"function": select, "out": np.zeros((4, 11), np.int64)}, ValueError, "out must have octets' rows"),
        (
            {"function": select, "octets": np.zeros((2, 11), np.uint8), "products": SHARED[1:], "out": SHARED[:2]},
            ValueError,
            "out must not overlap",
        ),
        ({"function": select, "threshold": 256}, OverflowError, "out of range"),
    ],
)
def test_bootstrap_refusals(kwargs, error, message):
    arguments = {"data": PINNED, "B": 9} | kwargs
    function = arguments.pop("function", None)
    data, B = arguments.pop("data"), arguments.pop("B")
    with pytest.raises(error, match=message), warnings.catch_warnings(action="ignore"):
        if function is None:
            larkspur_tools.bootstrap_pvalue(data, B, **arguments)
        else:
            function(data, **arguments)


def test_diagnosis_fields_summary_and_frame():
    pd = pytest.importorskip("pandas")
    prices = pd.read_csv(ROOT / "data" / "EuStockMarkets.csv", index_col=0)["FTSE"]
    returns = np.log(prices).diff().dropna()
    result = EL(returns.to_numpy())
    diagnosis = larkspur_tools.diagnose(returns, bootstrap=99, seed=3)
    assert (diagnosis.n, diagnosis.d, diagnosis.q, diagnosis.p_tilde) == (1859, 4, 2.4, result.p_tilde)
    assert (diagnosis.statistic, diagnosis.pvalue) == (result.statistic, result.pvalue)
    assert diagnosis.tail == larkspur_tools.chi2_upper_tail(result.statistic)
    assert diagnosis.bootstrap == wild_bootstrap.bootstrap(returns, 99, seed=3)
    assert diagnosis.lag_table.equals(larkspur_tools.lag_table(returns))
    text = diagnosis.summary()
    for field in (
        "FTSE",
        "1859",
        "Chosen lag order (p~):",
        f"{result.statistic:.5f}",
        f"{result.pvalue:.5f}",
        "Exact chi2(1) tail:",
        f"{diagnosis.bootstrap_pvalue:.4f}",
        "seed 3",
        "Verdict at 5%: reject H0 (asymptotic), reject H0 (bootstrap)",
        "LB p-value",
        " 7.153e-05\n",
    ):  # the lag-1 Ljung-Box p-value, below 1e-4
        assert field in text, field
    assert len([line for line in text.splitlines() if line.strip().startswith(("1 ", "2 ", "3 ", "4 "))]) == 4
    row = diagnosis.to_frame()
    assert list(row.index) == ["FTSE"] and row.loc["FTSE", "bootstrap_pvalue"] == diagnosis.bootstrap_pvalue
    # The table handed out is a copy; a diagnosis is its own identity.
    handed_out = diagnosis.lag_table
    handed_out.loc[1, "autocorrelation"] = 99.0
    assert diagnosis.summary() == text and diagnosis.lag_table.loc[1, "autocorrelation"] < 1
    again = larkspur_tools.diagnose(returns, bootstrap=99, seed=3)
    assert diagnosis == diagnosis and diagnosis != again and len({diagnosis, again}) == 2
    # A fitted model's residuals; no bootstrap: its fields say so.
    plain = larkspur_tools.diagnose(SimpleNamespace(resid=returns.to_numpy()), level=0.001)
    assert plain.bootstrap_pvalue is None and "Bootstrap p-value:" in plain.summary()
    assert "do not reject H0 (asymptotic)" in plain.summary() and not plain.reject()
    with pytest.raises(ValueError, match="no bootstrap"):
        plain.reject(bootstrap=True)


def test_summary_prints_p_values_as_statistics_packages_do():
    sunspots = np.genfromtxt(ROOT / "data" / "sunspot.year.csv", delimiter=",", names=True)["value"]
    diagnosis = larkspur_tools.diagnose(sunspots, bootstrap=99, seed=1)
    assert diagnosis.pvalue == 0.0 and diagnosis.bootstrap.at_floor
    lines = diagnosis.summary().splitlines()
    assert lines[5].split("Asymptotic p-value:")[1].strip() == "< 1.1e-16"  # 0.0: below 2^-53
    assert lines[6].split("Bootstrap p-value:")[1].strip() == "<= 0.0100"  # 1/(B+1), a bound
    lag1 = next(line for line in lines if line.startswith("  1 "))
    assert lag1.endswith(f" {diagnosis.lag_table['ljung_box_pvalue'][1]:.3e}") and "e-44" in lag1
    # A bootstrap p-value at the level rejects (at most the level).
    assert dataclasses.replace(diagnosis, level=diagnosis.bootstrap_pvalue, table=diagnosis.lag_table).reject(True)


def test_ljung_box_degrees_of_freedom_for_a_fitted_model():
    """model_df as statsmodels' acorr_ljungbox takes it, on an AR(1) fit's
    residuals; the robust test's own results are left as they are."""
    pytest.importorskip("statsmodels")
    from statsmodels.stats.diagnostic import acorr_ljungbox
    from statsmodels.tsa.ar_model import AutoReg

    rng = np.random.default_rng(7)
    x = np.zeros(400)
    for t in range(1, 400):
        x[t] = 0.6 * x[t - 1] + rng.standard_normal()
    fit = AutoReg(x, lags=1).fit()
    plain, corrected = (larkspur_tools.diagnose(fit, d=6, model_df=k) for k in (0, 1))
    expected = acorr_ljungbox(fit.resid, lags=6, model_df=1)["lb_pvalue"].to_numpy()
    assert np.isnan(expected[0]) and np.isnan(corrected.lag_table["ljung_box_pvalue"][1])
    np.testing.assert_allclose(corrected.lag_table["ljung_box_pvalue"].to_numpy(), expected, rtol=1e-10)
    assert (corrected.statistic, corrected.pvalue, corrected.p_tilde) == (plain.statistic, plain.pvalue, plain.p_tilde)
    assert corrected.lag_table.drop(columns="ljung_box_pvalue").equals(plain.lag_table.drop(columns="ljung_box_pvalue"))
    assert "model_df" not in plain.summary()
    assert "for 1 fitted parameter (model_df): chi2(j - 1), none at lags <= 1." in corrected.summary()
    assert "The robust test, its p-values and its verdict are not adjusted" in corrected.summary()


def test_summary_counts_the_degenerate_replicates():
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        diagnosis = larkspur_tools.diagnose([1.0, 2.0], bootstrap=99, seed=1)
    assert diagnosis.bootstrap.tested == 41  # as the bootstrap's own test counts them
    assert "; 58 of 99 replicates were degenerate and skipped" in diagnosis.summary()


def figure_checks(figure, diagnosis):
    """The structure a reader relies on: legends inside the figure but off
    every axes' data region, one marker per chosen lag, titles inside the
    figure, tick labels that do not run into each other."""
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    whole = figure.bbox
    for ax in figure.axes:
        legend = ax.get_legend().get_window_extent(renderer)
        assert whole.x0 <= legend.x0 and legend.x1 <= whole.x1 and whole.y0 <= legend.y0 and legend.y1 <= whole.y1
        assert not any(legend.overlaps(other.bbox) for other in figure.axes)
        title = ax.title.get_window_extent(renderer)
        assert whole.x0 <= title.x0 and title.x1 <= whole.x1 and title.y1 <= whole.y1
        labels = sorted(
            (
                label.get_window_extent(renderer)
                for label in ax.get_xticklabels()
                if label.get_text() and ax.get_xlim()[0] <= label.get_position()[0] <= ax.get_xlim()[1]
            ),
            key=lambda box: box.x0,
        )
        assert all(left.x1 < right.x0 for left, right in zip(labels, labels[1:]))
    marked = [line for line in figure.axes[0].get_lines() if line.get_marker() not in (None, "None", "")]
    assert len(marked) == 1 and list(marked[0].get_xdata()) == list(range(1, diagnosis.p_tilde + 1))


@pytest.mark.parametrize(
    ("series", "kwargs", "panels"),
    [
        (np.random.default_rng(5).standard_normal(300), {}, 1),
        (np.random.default_rng(5).standard_normal(300), {"bootstrap": 49, "seed": 1}, 2),
        (np.random.default_rng(6).standard_normal(2000), {"d": 60}, 1),
        (np.array([1.0, 2.0]), {"bootstrap": 19, "seed": 1}, 2),
        (
            np.genfromtxt(ROOT / "data" / "sunspot.year.csv", delimiter=",", names=True)["value"],
            {"bootstrap": 99, "seed": 1},
            2,
        ),
    ],
)
def test_diagnosis_plot(series, kwargs, panels):
    matplotlib = pytest.importorskip("matplotlib")
    pd = pytest.importorskip("pandas")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    named = pd.Series(series, name="Residuals of an ARMA(2,1) model of the monthly log returns of the FTSE 100")
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        diagnosis = larkspur_tools.diagnose(named, **kwargs)
    figure = diagnosis.plot()
    try:
        assert len(figure.axes) == panels
        figure_checks(figure, diagnosis)
        if panels == 2 and diagnosis.bootstrap.at_floor:
            assert "\u2264 1/(B+1)" in figure.axes[1].get_title()
    finally:
        plt.close(figure)
