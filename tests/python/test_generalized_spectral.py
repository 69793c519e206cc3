"""The generalized spectral test through the companion: the reference
values of both forms, an exact oracle, invariance to location and scale,
the bootstrap's convention and its independence of the thread count, and
what every entry point refuses."""

import math
import pathlib
import warnings

import larkspur_tools
import numpy as np
import pytest
from larkspur_tools import gen_spectral, gen_spectral_many

DATA = pathlib.Path(__file__).resolve().parents[1] / "native" / "data" / "gst_reference"
# Exact sums (each lag's terms added with math.fsum): the peer's form, then ours.
REFERENCE = {
    "normal": (0.052715696758881436, 0.054831820161422684),
    "garch_t5": (0.028860222572741984, 0.03169395455955392),
    "ar1_0.2": (0.11581245465914954, 0.11670962462935758),
    "nlma": (0.060386859385354166, 0.053968622405131936),
}


def series(name):
    return np.loadtxt(DATA / f"{name}.txt")


@pytest.mark.parametrize("name", REFERENCE)
def test_both_forms_match_the_reference_values(name):
    x = series(name)
    for form, expected in zip(("vrtest", "ev"), REFERENCE[name]):
        one = gen_spectral(x, 1, seed=0, form=form).statistic
        many = gen_spectral_many(np.column_stack([x, x]), 0, form=form).statistic
        assert one == many[0] == many[1]
        assert abs(one - expected) <= 1e-12 * expected, (form, one, expected)


def kernel_points(y, form):
    """The kernel's points and T's divisor: standardised and s^2 (ev), raw and v (vrtest)."""
    mean = y.mean()
    if form == "ev":
        s2 = np.mean((y - mean) ** 2)
        return (y - mean) / math.sqrt(s2), s2
    return y, np.sum((y - mean) ** 2) / (len(y) - 1)


def exact(y, form):
    """The direct sum over every lag and pair, in NumPy."""
    n = len(y)
    mean = y.mean()
    points, divisor = kernel_points(y, form)
    total = 0.0
    for j in range(1, n):
        block = y[j:] - (y[j:].mean() if form == "ev" else mean)
        lagged = points[: n - j]
        kernel = np.exp(-((lagged[:, None] - lagged[None, :]) ** 2) / 2)
        weight = 1 / ((j * math.pi) ** 2 * ((n - j) if form == "ev" else (n - j + 1)))
        total += weight * float(block @ kernel @ block)
    return total / divisor


def oracle_cases():
    rng = np.random.default_rng(2026)
    for index in range(24):
        n = int(rng.integers(10, 160))
        kind = index % 4
        if kind == 0:
            y = rng.standard_normal(n)
        elif kind == 1:
            y = rng.standard_t(3, n)
        elif kind == 2:
            y = rng.standard_cauchy(n)
        else:
            y = np.full(n, 1.0) + 1e-3 * rng.standard_normal(n)
            y[rng.integers(0, n, 2)] = 40.0
        yield pytest.param(y, "ev" if index % 3 else "vrtest", id=f"{index}-n{n}")


@pytest.mark.parametrize(("y", "form"), list(oracle_cases()))
def test_the_statistic_agrees_with_the_exact_sum_within_its_bound(y, form):
    result = gen_spectral(y, 1, seed=0, form=form)
    truth = exact(y, form)
    # T underestimates by at most the bound (plus rounding), and is within 1e-11.
    assert -1e-13 * truth <= truth - result.statistic <= result.error_bound + 1e-13 * truth
    assert abs(truth - result.statistic) <= 1e-11 * truth


def test_the_default_form_does_not_depend_on_location_or_scale():
    x = series("garch_t5")
    base = gen_spectral(x, 199, seed=4)
    for k in (-300, -7, 5, 400):  # a power of two changes no bit
        scaled = gen_spectral(np.ldexp(x, k), 199, seed=4)
        assert (scaled.statistic, scaled.pvalue, scaled.sample.tobytes()) == (
            base.statistic,
            base.pvalue,
            base.sample.tobytes(),
        )
    for a, b in ((100.0, 0.0), (0.01, 3.0), (3.7, -1e3)):
        moved = gen_spectral(a * x + b, 199, seed=4)
        assert abs(moved.statistic - base.statistic) <= 1e-12 * base.statistic
        assert moved.pvalue == base.pvalue
    # The peer's form is on raw values: it does depend on the units.
    assert (
        gen_spectral(x, 1, seed=0, form="vrtest").statistic != gen_spectral(100 * x, 1, seed=0, form="vrtest").statistic
    )


@pytest.mark.parametrize("weights", ["mammen", "rademacher"])
def test_the_bootstrap_count_and_its_independence_of_threads(weights):
    x = series("nlma")
    results = [gen_spectral(x, 299, seed=11, weights=weights, threads=t) for t in (1, 2, 3)]
    assert len({(r.pvalue, r.sample.tobytes()) for r in results}) == 1
    result = results[0]
    exceeding = int(np.count_nonzero(result.sample >= result.statistic))
    assert result.exceedances == exceeding and result.pvalue == (1 + exceeding) / 300
    assert result.tested == result.B == 299 and result.weights == weights and result.seed == 11
    # The many-series call: series i has the root's i-th child stream, and its own factor.
    many = gen_spectral_many([x[::-1], x], 299, seed=11, weights=weights)
    alone = gen_spectral(x, 299, seed=np.random.SeedSequence(11).spawn(2)[1], weights=weights)
    assert (many.statistic[1], many.error_bound[1], many.rank[1], many.pvalue[1]) == (
        alone.statistic,
        alone.error_bound,
        alone.rank,
        alone.pvalue,
    )
    assert many.seed == 11 and many.statistic[1] == gen_spectral_many([x], 0).statistic[0]


def test_the_nonlinear_case_escapes_the_linear_test_only():
    e = np.random.default_rng(5).standard_normal(501)
    y = e[1:] + 0.5 * (e[:-1] ** 2 - 1)  # uncorrelated, yet predictable from its lag
    assert gen_spectral(y, 199, seed=1).reject()
    with warnings.catch_warnings(action="ignore"):
        diagnosis = larkspur_tools.diagnose(y, seed=1)
    assert diagnosis.spectral is not None and diagnosis.spectral.reject(diagnosis.level)
    assert "any predictability from each single lag (GST)" in diagnosis.summary()
    with warnings.catch_warnings(action="ignore"):
        alone = larkspur_tools.diagnose(y, seed=1, spectral=0).summary()
    assert "Two questions" not in alone and "Generalized spectral" not in alone


def test_the_result_holds_what_repeats_it_and_says_it():
    e = np.random.default_rng(5).standard_normal(301)
    result = gen_spectral(e[1:] + 0.5 * (e[:-1] ** 2 - 1), seed=9)  # B = 999 by default
    assert (result.B, result.tested, result.weights, result.form) == (999, 999, "mammen", "ev") and result.at_floor
    assert str(result) == result.summary() and "bootstrap p-value = <= 0.0010" in result.summary()
    with pytest.raises(AttributeError):
        result.pvalue = 0.5  # frozen: a result says what was computed


REFUSED = {
    "NaN": ({"data": [1.0, math.nan, 2.0]}, ValueError, "data must not contain NaN values"),
    "infinity": ({"data": [1.0, math.inf, 2.0]}, ValueError, "data must not contain infinite values"),
    "one value": ({"data": [1.0]}, ValueError, "data must contain at least two values"),
    "empty": ({"data": []}, ValueError, "data must not be empty"),
    "constant": ({"data": [2.0] * 9}, ValueError, "the series is constant"),
    "lagged equal": ({"data": [0.0] * 8 + [1.0]}, ValueError, "the lagged values are all equal after standardising"),
    "B": ({"B": 0}, ValueError, "B must be an integer from 1 to"),
    "weights": ({"weights": "normal"}, ValueError, "weights must be 'rademacher' or 'mammen', not 'normal'"),
    "form": ({"form": "EV"}, ValueError, "form must be 'ev' .* not 'EV'"),
    "threads": ({"threads": 0}, ValueError, "threads must be a positive integer, not 0"),
    "seed": ({"seed": "1"}, TypeError, "seed must be None"),
    "text": ({"data": ["a", "b"]}, TypeError, "not numbers"),
}


@pytest.mark.parametrize(("arguments", "error", "match"), REFUSED.values(), ids=REFUSED.keys())
def test_refusals_alike_on_every_entry_point(arguments, error, match):
    arguments = {"data": series("normal")[:40], "B": 9} | arguments
    data = arguments.pop("data")
    with warnings.catch_warnings(action="error"):
        with pytest.raises(error, match=match):
            gen_spectral(data, **arguments)
        if set(arguments) <= {"B", "form", "threads", "weights", "seed"} and arguments["B"]:
            with pytest.raises(error, match=match):
                gen_spectral_many([np.asarray(data, dtype=object)] if error is TypeError else [data], **arguments)


def test_the_command_gives_gen_spectrals_numbers(tmp_path, capsys):
    import json

    from larkspur_tools import cli

    x = series("ar1_0.2")
    path = tmp_path / "x.csv"
    path.write_text("x\n" + "\n".join(repr(float(v)) for v in x) + "\n")
    assert cli.main([str(path), "--test", "gst", "--bootstrap", "99", "--seed", "3", "--format", "json"]) == 0
    (row,) = json.loads(capsys.readouterr().out)
    direct = gen_spectral(x, 99, seed=3)
    assert (row["statistic"], row["pvalue"], row["rank"]) == (direct.statistic, direct.pvalue, direct.rank)


def grouped(y, form):
    """T by grouping the pairs by their distance h (Escanciano-Velasco's
    sum rearranged): for each h one correlation over every lag at once,
    O(n^2 log n), for series too long for the direct sum."""
    n = len(y)
    mean = y.mean()
    points, divisor = kernel_points(y, form)
    lags = np.arange(1, n)
    m = n - lags
    # Block means (ev) or the whole-sample mean (vrtest), per lag.
    centre = (np.cumsum(y[::-1])[::-1][1:] / m) if form == "ev" else np.full(n - 1, mean)
    length = 1 << (2 * n).bit_length()

    def correlate(kernel, values):  # sum_u kernel[u] values[u + j], for j = 1..n-1
        spectrum = np.fft.rfft(values, length) * np.conj(np.fft.rfft(kernel, length))
        full = np.fft.irfft(spectrum, length)
        return full[1:n]

    q = np.zeros(n - 1)
    # h = 0: the diagonal (kernel 1): sum over the block of (y - centre)^2.
    squares = np.cumsum((y**2)[::-1])[::-1][1:]
    sums = np.cumsum(y[::-1])[::-1][1:]
    q += squares - 2 * centre * sums + m * centre**2
    for h in range(1, n - 1):
        c = np.exp(-((points[: n - 1 - h] - points[h : n - 1]) ** 2) / 2)  # K(u, u + h)
        products = correlate(c, y[: n - h] * y[h:])
        lower = correlate(c, y[: n - h])  # y at u + j
        upper = correlate(c, y[h:])  # y at u + j + h
        total = np.concatenate([[0.0], np.cumsum(c)])
        reach = np.clip(n - 1 - h - lags + 1, 0, len(c))  # terms u = 0 .. n-1-h-j
        q += 2 * (products - centre * (lower + upper) + centre**2 * total[reach])
    weights = 1 / ((lags * math.pi) ** 2 * (m if form == "ev" else m + 1))
    return float(np.sum(weights * q)) / divisor


@pytest.mark.skipif(
    float(__import__("os").environ.get("LARKSPUR_TIMEOUT_SCALE", "1")) > 1, reason="slow under emulation"
)
@pytest.mark.parametrize(("kind", "form"), [("normal", "ev"), ("t3", "ev"), ("normal", "vrtest")])
def test_long_series_agree_with_the_grouped_exact_sum(kind, form):
    rng = np.random.default_rng(3000)
    y = rng.standard_normal(3000) if kind == "normal" else rng.standard_t(3, 3000)
    result = gen_spectral(y, 1, seed=0, form=form)
    truth = grouped(y, form)
    assert abs(truth - result.statistic) <= 1e-11 * truth
    assert -1e-12 * truth <= truth - result.statistic <= result.error_bound + 1e-12 * truth
    small = y[:150]
    assert abs(grouped(small, form) - exact(small, form)) <= 1e-12 * exact(small, form)
