"""A test plugged into the companion's engines by its record alone: a plain
Ljung-Box test, defined here and nowhere in the package, runs through the
many-series engine, the wild-bootstrap engine and the reports. If it needed
an edit outside this file and its one registration, the engines would not
be generic."""

from __future__ import annotations

import warnings
from typing import Any, NamedTuple

import larkspur_tools
import numpy as np
import pytest
from conftest import run_python
from larkspur_tools import _many, _registry, _shared, chi2_upper_tail, wild_bootstrap
from larkspur_tools.reading import read_panel


class LjungBoxOptions(NamedTuple):
    lags: int


def check_options(options: dict[str, Any]) -> LjungBoxOptions:
    lags = options.get("lags", 5)
    if isinstance(lags, bool) or not isinstance(lags, int) or lags < 1:
        raise ValueError(f"lags must be a positive integer, not {lags!r}")
    return LjungBoxOptions(lags)


def ljung_box(x: np.ndarray, lags: int) -> float:
    e = x - x.mean()
    denominator = float(e @ e)
    if denominator == 0.0:
        raise OSError("constant series")
    n = len(x)
    r = np.array([float(e[j:] @ e[:-j]) / denominator for j in range(1, lags + 1)])
    return float(n * (n + 2) * np.sum(r**2 / (n - np.arange(1, lags + 1))))


def native_many(values: Any, options: LjungBoxOptions, axis: int, threads: int, stop: bool) -> tuple[Any, ...]:
    series = list(values.T if axis == 0 else values) if isinstance(values, np.ndarray) else list(values)
    statistic, pvalue, failures = [], [], []
    for index, x in enumerate(series):
        try:
            q = ljung_box(np.asarray(x), options.lags)
        except OSError as error:
            failures.append((index, OSError, str(error)))
            q = float("nan")
            if stop:
                break
        statistic.append(q)
        pvalue.append(chi2_upper_tail(q, options.lags) if q == q else q)
    return bytearray(np.array(statistic).tobytes()), bytearray(np.array(pvalue).tobytes()), failures


class Prepared:
    def __init__(self, x: np.ndarray, options: LjungBoxOptions, threads: int) -> None:
        self.lags = options.lags
        self.statistic = ljung_box(x, options.lags)

    def replicates(self, rows: np.ndarray) -> tuple[np.ndarray, str | None]:
        out, skipped = [], None
        for row in rows:
            try:
                out.append(ljung_box(row, self.lags))
            except OSError as error:
                out.append(float("nan"))
                skipped = skipped or str(error)
        return np.array(out), skipped


RECORD = _registry.register(
    _registry.TestRecord(
        name="ljung-box",
        title="Ljung-Box",
        question="autocorrelation at the first lags (i.i.d. null)",
        columns=("statistic", "pvalue"),
        dtypes=(np.float64, np.float64),
        native_many=native_many,
        check_options=check_options,
        prepare=Prepared,
    )
)

RNG = np.random.default_rng(11)
AR = np.array([0.0] * 300)
for t in range(1, 300):
    AR[t] = 0.4 * AR[t - 1] + RNG.standard_normal()
PANEL = np.column_stack([RNG.standard_normal(300), AR, np.ones(300)])


def test_a_record_runs_through_the_many_series_engine():
    assert _registry.record_for("ljung-box") is RECORD
    with pytest.raises(ValueError, match="test must be one of 'el', 'gst', .*'ljung-box', not 'lb'"):
        _registry.record_for("lb")
    outcome = _many.run_many(RECORD, read_panel(PANEL), check_options({}), 2, "mask", None)
    statistic, pvalue = outcome.columns
    assert statistic[1] == ljung_box(AR, 5) and pvalue[1] < 1e-6
    assert [(index, kind) for index, kind, _ in outcome.failures] == [(2, OSError)]
    with pytest.raises(OSError, match="constant series") as raised:
        _many.run_many(RECORD, read_panel(PANEL), check_options({}), 2, "raise", lambda i: f"in series {i}")
    assert raised.value.__notes__ == ["in series 2"]
    with pytest.raises(ValueError, match="threads must be a positive integer"):
        _many.run_many(RECORD, read_panel(PANEL), check_options({}), 0, "raise", None)


def test_a_record_runs_through_the_bootstrap_engine_and_the_reports():
    x = AR[:200]
    with warnings.catch_warnings(action="error"):
        result = wild_bootstrap.run_bootstrap(RECORD, x, 199, "rademacher", 5, {"lags": 3}, 1)
    # The engine's stream, count and exact ratio; the record's statistic.
    assert result.B == result.tested == 199 and result.seed == 5
    assert result.pvalue == (1 + result.exceedances) / 200 and result.at_floor
    # Demeaned as the tests demean: the sequential sum over n.
    e = x - np.add.accumulate(x)[-1] / len(x)
    assert result.sample[0] == ljung_box(e * rademacher_signs(5, len(x)), 3)
    # The same seed, the same p-value; scale-free, so x * 2**k too.
    again = wild_bootstrap.run_bootstrap(RECORD, np.ldexp(x, -300), 199, "rademacher", 5, {"lags": 3}, 1)
    assert again.exceedances == result.exceedances
    assert _shared.rejects(result.pvalue, result.pvalue) and not _shared.rejects(float("nan"), 0.5)
    assert _shared.pvalue_text(result.pvalue, 4, bound=result.at_floor) == "<= 0.0050"
    with pytest.raises(ValueError, match="lags must be a positive integer"):
        wild_bootstrap.run_bootstrap(RECORD, x, 9, "mammen", 1, {"lags": 0}, 1)
    # Two values: a replicate whose two signs agree is constant, degenerate,
    # skipped and counted (never an error, never a replicate tested).
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        short = wild_bootstrap.run_bootstrap(RECORD, np.array([1.0, 2.0]), 40, "rademacher", 1, {"lags": 1}, 1)
    assert 0 < short.tested < 40 and np.isnan(short.sample).sum() == 40 - short.tested


def rademacher_signs(seed: int, n: int) -> np.ndarray:
    raw = np.random.PCG64(seed).random_raw(-(-n // 64))
    return np.array([-1.0 if (int(raw[k // 64]) >> (k % 64)) & 1 else 1.0 for k in range(n)])


def test_one_reject_rule_at_the_level_itself():
    """p == level rejects on every entry point that states a verdict."""
    x = AR[:250] + RNG.standard_normal(250) * 3
    p = larkspur_tools.el_tuple(x)[2]
    assert larkspur_tools.diagnose(x, level=p).reject()
    assert bool(larkspur_tools.by_column({"a": x}, level=p)["reject"].iloc[0])
    assert _shared.rejects(float(larkspur_tools.el_many([x]).pvalue[0]), p)
    assert not larkspur_tools.diagnose(x, level=np.nextafter(p, 0)).reject()


@pytest.mark.parametrize(("name", "current"), [("ELTuple", "ElTuple"), ("as_float64", "read_series")])
def test_former_names_still_work_and_warn(name, current):
    with pytest.warns(DeprecationWarning, match=f"larkspur_tools.{name} is deprecated .* use {current}"):
        assert getattr(larkspur_tools, name) is getattr(larkspur_tools, current)
    with pytest.raises(AttributeError, match="no attribute 'as_float6'"):
        larkspur_tools.as_float6  # noqa: B018


def test_the_former_analysis_module_warns_on_import():
    completed = run_python("import warnings; warnings.simplefilter('error'); import larkspur_tools.analysis")
    assert "DeprecationWarning: larkspur_tools.analysis is deprecated" in completed.stderr


def test_exact_ratio_rounds_to_nearest_even_by_integers_alone():
    """The bootstrap's p-value division, checked against Python's correctly
    rounded int / int (the test runs in the default mode): halfway cases
    (both ways of the even rule), a remainder past them, random counts."""
    rng = np.random.default_rng(8)
    cases = [(2**53 + 1, 2**54), (2**53 + 3, 2**54), (2**54 + 1, 2**55 + 2), (1, 3), (13, 100), (7, 7), (1, 10**8 + 1)]
    cases += [(int(a), int(a + b)) for a, b in zip(rng.integers(1, 10**9, 2000), rng.integers(0, 10**9, 2000))]
    cases += [
        (int(a) * 2**70 + 1, int(a) * 2**70 + int(b))
        for a, b in zip(rng.integers(1, 2**40, 500), rng.integers(1, 2**40, 500))
    ]
    assert [_shared.exact_ratio(a, b) for a, b in cases] == [a / b for a, b in cases]
    assert _shared.exact_ratio(0, 7) == 0.0
