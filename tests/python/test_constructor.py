"""EscancianoLobato(raw_data, q, d): checks in their fixed order, defaults, results."""

import math

import numpy as np
import pytest

from larkspur import statistical_tests

EscancianoLobato = statistical_tests.EscancianoLobato
import el_reference
from el_reference import el_test

NEW = "EscancianoLobato.__new__()"
NO_ROUTE = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64"
ZERO_TAU_1 = "Zero \u03c4\u0302 value at lag 1"
INFINITE = "data must not contain infinite values"
TOO_LARGE = "data are too large in magnitude for this test: rescale them (the test does not depend on scale)"
TOO_SMALL = "data are too small in magnitude for this test: rescale them (the test does not depend on scale)"


class FloatRaises:
    def __float__(self):
        raise TypeError("no float here")


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        # 1: binding
        ((), {}, TypeError, f"{NEW} missing 1 required positional argument: 'raw_data'"),
        (([1.0], 2.4, 1, 4), {}, TypeError, f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
        (([1.0],), {"raw_data": [1.0]}, TypeError, f"{NEW} got multiple values for argument 'raw_data'"),
        (([1.0], 2.4), {"q": 3.0}, TypeError, f"{NEW} got multiple values for argument 'q'"),
        ((), {"data": [1.0]}, TypeError, f"{NEW} got an unexpected keyword argument 'data'"),
        # 2 and 3: conversions, q reported before d
        (([1.0], "x"), {}, TypeError, "argument 'q': must be real number, not str"),
        (([1.0], "x", "y"), {}, TypeError, "argument 'q': must be real number, not str"),
        (([1.0], None, 2.0), {}, TypeError, "argument 'd': 'float' object cannot be interpreted as an integer"),
        (([1.0], None, -1), {}, OverflowError, "can't convert negative int to unsigned"),
        (([1.0], None, 2**64), {}, OverflowError, "int too big to convert"),
        (([1.0], FloatRaises()), {}, TypeError, "argument 'q': no float here"),
        # 4: q, before anything about the data
        (([], -1.0), {}, ValueError, "q must be positive"),
        (("not a series", 0.0), {}, ValueError, "q must be positive"),
        (([1.0], math.nan), {}, ValueError, "q must be positive"),
        (([1.0], -math.inf), {}, ValueError, "q must be positive"),
        # 5: no route
        (("abc",), {}, TypeError, NO_ROUTE),
        ((None,), {}, TypeError, NO_ROUTE),
        (({1: 2.0},), {}, TypeError, NO_ROUTE),
        ((3.0,), {}, TypeError, NO_ROUTE),
        (((x for x in [1.0, 2.0]),), {}, TypeError, NO_ROUTE),
        (([1.0, None],), {}, TypeError, NO_ROUTE),
        (([1.0, "two"],), {}, TypeError, NO_ROUTE),
        # 6, 7, 8: empty, NaN, then d = 0
        (([], None, 0), {}, ValueError, "data must not be empty"),
        ((np.array([]),), {}, ValueError, "data must not be empty"),
        (([math.nan], None, 0), {}, ValueError, "data must not contain NaN values"),
        (([1.0, -math.nan],), {}, ValueError, "data must not contain NaN values"),
        (([math.inf, math.nan],), {}, ValueError, "data must not contain NaN values"),
        (([math.nan, -math.inf],), {}, ValueError, "data must not contain NaN values"),
        (([1.0, 2.0, 3.0], None, 0), {}, ValueError, "d must be positive"),
        (([math.inf, 1.0], None, 0), {}, ValueError, "d must be positive"),
        # infinite values, then a single value: no test can be computed
        (([1.0, math.inf, 2.0, 3.0],), {}, ValueError, INFINITE),
        ((np.array([1.0, 2.0, -math.inf]),), {}, ValueError, INFINITE),
        (([math.inf],), {}, ValueError, INFINITE),
        (([7.5],), {}, ValueError, "data must contain at least two values"),
        (([5.0], None, 2), {}, ValueError, "data must contain at least two values"),
        # 9: zero tau-hat, which wins over d > n at a later lag
        (([7.0, 7.0, 7.0],), {}, OSError, ZERO_TAU_1),
        (([1.0, 3.0, 2.0], None, 4), {}, OSError, "Zero \u03c4\u0302 value at lag 2"),
        # T_1 = 5e-324 > 0, yet tau-hat = T_1 / 9 rounds to zero: not constant
        (([math.ldexp(v, -269) for v in (0, 2, 3, 1, 2, 1, -3, 1, 3, 1)],), {}, ValueError, TOO_SMALL),
        (([math.ldexp(v, -600) for v in (1.0, 2.0, 4.0, 3.0)],), {}, ValueError, TOO_SMALL),
        (([5e-324, 0.0, 5e-324],), {}, ValueError, TOO_SMALL),
        # above the too-small threshold: T_1 = 2^-1074 > 0 (one pair of tiny
        # neighbours), tau-hat = T_1 / 10 = 0; the sum tested would give rho^2 = inf
        (
            ([2.0**-190, 0.0, -(2.0**-190), 0.0, 2.0**-268, 2.0**-269, 0.0, -(2.0**-268), 0.0, -(2.0**-269), 0.0],),
            {},
            OSError,
            ZERO_TAU_1,
        ),
        # zero tau-hat at lag 1 as given, at lag 2 once rescaled: another outcome
        (([2.0**-300, -(2.0**-300), 0.0], None, 2), {}, ValueError, TOO_SMALL),
        # constant, although 0.1 + 0.1 + 0.1 is not 3 * 0.1; and at any scale
        (([0.1, 0.1, 0.1],), {}, OSError, ZERO_TAU_1),
        (([5e-324] * 4,), {}, OSError, ZERO_TAU_1),
        (([math.ldexp(v, -600) for v in (1.0, 0.0, -1.0, 0.0)],), {}, OSError, ZERO_TAU_1),
        # d larger than the series
        (([1.0, 2.0, 4.0], None, 4), {}, ValueError, "d must not exceed the length of data"),
        # overflowing sums or fourth powers
        (([1e308, 1e308, -1e308, 5.0],), {}, ValueError, TOO_LARGE),
        (([1e200, -1e200, 3e200],), {}, ValueError, TOO_LARGE),
        (([1.0, 2.0, 4.0], None, 10**12), {}, ValueError, "d must not exceed the length of data"),
        (([1.0, 2.0, 4.0], None, 2**62), {}, ValueError, "d must not exceed the length of data"),
        (([1.0, 2.0, 4.0], None, 2**64 - 1), {}, ValueError, "d must not exceed the length of data"),
    ],
)
def test_failures_in_order(args, kwargs, error, message):
    with pytest.raises(BaseException) as caught:
        EscancianoLobato(*args, **kwargs)
    assert type(caught.value) is error
    assert caught.value.args == (message,)


# The finiteness scan reads blocks of 2048 values: the last index of a block,
# the first of the next, the last of a full block and of the series.
@pytest.mark.parametrize("index", [0, 2047, 2048, 4095, 4096])
@pytest.mark.parametrize(
    ("values", "message"),
    [
        ((math.nan,), "data must not contain NaN values"),
        ((math.inf,), INFINITE),
        ((-math.inf,), INFINITE),
        ((math.inf, math.nan), "data must not contain NaN values"),  # the NaN wins, wherever it is
    ],
)
def test_non_finite_values_at_block_edges(index, values, message):
    x = np.random.default_rng(index).standard_normal(4097)
    x[index] = values[0]
    if len(values) > 1:
        x[(index + 2048) % 4097] = values[1]
    with pytest.raises(ValueError) as caught:
        EscancianoLobato(x)
    assert caught.value.args == (message,)


def test_type_errors_of_the_routes_carry_no_trace():
    for bad in ["abc", None, {}, 1, (x for x in [1.0])]:
        with pytest.raises(TypeError) as caught:
            EscancianoLobato(bad)
        assert caught.value.__cause__ is None and caught.value.__context__ is None


def test_q_conversion_error_suppresses_context():
    with pytest.raises(TypeError) as caught:
        EscancianoLobato([1.0, 2.0], "x")
    assert caught.value.__cause__ is None and caught.value.__suppress_context__


@pytest.mark.parametrize(("n", "d"), [(2, 1), (31, 1), (32, 2), (242, 2), (243, 3), (1023, 3), (1024, 4), (3125, 5)])
def test_default_lag_is_floor_of_fifth_root(n, d):
    x = np.random.default_rng(n).standard_normal(n)
    default = EscancianoLobato(x)
    explicit = EscancianoLobato(x, 2.4, d)
    assert (default.p_tilde, default.statistic, default.pvalue) == (
        explicit.p_tilde,
        explicit.statistic,
        explicit.pvalue,
    )
    assert (default.p_tilde, default.statistic, default.pvalue) == el_test(list(x))


def same(a, b):
    return (a.p_tilde, repr(a.statistic), repr(a.pvalue)) == (b.p_tilde, repr(b.statistic), repr(b.pvalue))


def test_none_means_default():
    x = [1.0, -2.0, 3.5, 0.25, -1.0, 2.0, 7.0, -3.0]
    assert same(EscancianoLobato(x, None, None), EscancianoLobato(x))
    assert same(EscancianoLobato(x, q=None), EscancianoLobato(x, 2.4))
    assert same(EscancianoLobato(raw_data=x, q=3.0, d=2), EscancianoLobato(x, 3.0, 2))


@pytest.mark.parametrize(
    ("q", "d", "expected_d"),
    [(math.inf, None, None), (3, 1, 1), (2.4, True, 1), (np.float64(2.4), np.int64(2), 2)],
)
def test_accepted_argument_forms(q, d, expected_d):
    x = [1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0]
    result = EscancianoLobato(x, q, d)
    assert (result.p_tilde, result.statistic, result.pvalue) == el_test(x, float(q), expected_d)


# sqrt(q ln n) equals sqrt(n) max|rho_j| to the bit: the tie keeps the p ln n
# penalty and p~ 1 (the 2p penalty would pick 3).
PENALTY_TIE = [
    0.0,
    0,
    1,
    -2,
    -1,
    -2,
    2,
    -2,
    3,
    0,
    -1,
    -3,
    0,
    3,
    1,
    2,
    -3,
    -2,
    2,
    2,
    3,
    -1,
    -3,
    2,
    -1,
    2,
    2,
    1,
    0,
    1,
    3,
    2,
    -2,
    -1,
    -1,
    1,
    0,
    3,
    1,
    0,
    1,
    3,
    -3,
    0,
    -2,
    2,
    3,
    0,
    0,
    2,
]


@pytest.mark.parametrize(
    ("x", "kwargs", "expected"),
    [
        (PENALTY_TIE, {"q": 1.60642433184324, "d": 4}, (1, 0.007136969679259639, 0.9326743365203387)),
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], {}, (1, 3.134328358208956, 0.07665995627301825)),
        ([1.0, -1.0] * 4, {}, (1, 8.0, None)),
        ([1.0, 3.0, 2.0, 5.0, 4.0], {}, (1, 0.0, 1.0)),
    ],
)
def test_documented_results(x, kwargs, expected):
    result = EscancianoLobato(x, **kwargs)
    p_tilde, statistic, pvalue = expected
    assert result.p_tilde == p_tilde
    assert repr(result.statistic) == repr(statistic)
    if pvalue is not None:
        assert result.pvalue == pvalue
    assert (result.p_tilde, repr(result.statistic), repr(result.pvalue)) == tuple(
        f(v) for f, v in zip((int, repr, repr), el_test(x, kwargs.get("q", 2.4), kwargs.get("d")))
    )


@pytest.mark.parametrize("scale", [1e-3, 1e3, 2.0**-200, 2.0**250, 2.0**256])
def test_scale_does_not_matter_until_overflow(scale):
    x = np.random.default_rng(7).standard_normal(500)
    base = EscancianoLobato(x)
    if scale == 2.0**256:  # fourth powers past the largest double
        with pytest.raises(ValueError, match="too large in magnitude"):
            EscancianoLobato(x * scale)
        return
    scaled = EscancianoLobato(x * scale)
    assert scaled.p_tilde == base.p_tilde
    assert scaled.statistic == pytest.approx(base.statistic, rel=1e-12)


def ar_series(seed, n):
    z = np.random.default_rng(seed).standard_normal(n + 1)
    return z[1:] + 0.3 * z[:-1]


@pytest.mark.parametrize(
    "x",
    [
        ar_series(1, 1000),
        ar_series(5, 60),
        np.random.default_rng(3).standard_t(3, 250),
        [1.0, -1.0] * 4,
        [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ],
    ids=["ar-1000", "ar-60", "t3-250", "example-b", "example-a"],
)
def test_too_small_exactly_where_underflow_changes_the_bits(x):
    # The plain computation (the reference without the rule) tells where the
    # bits of x * 2^k first differ from those of x; the module must accept
    # every k above with the same bits, and refuse the rest as too small.
    x = [float(v) for v in x]
    plain = el_reference._outcome(x, 2.4, None)
    refused = []
    for k in range(-275, -235):
        scaled = [math.ldexp(v, k) for v in x]
        same_bits = repr(el_reference._outcome(scaled, 2.4, None)) == repr(plain)
        try:
            result = EscancianoLobato(scaled)
        except ValueError as error:
            assert str(error) == TOO_SMALL and not same_bits, k
            refused.append(k)
            continue
        assert same_bits, k
        assert (result.p_tilde, result.statistic.hex(), result.pvalue.hex()) == (
            plain[0],
            plain[1].hex(),
            plain[2].hex(),
        ), k
    assert refused == list(range(-275, refused[-1] + 1)), "the accepted range is an interval"


def test_example_b_with_two_lags():
    result = EscancianoLobato([1.0, -1.0] * 4, 2.4, 2)
    assert (result.p_tilde, result.statistic, result.pvalue) == (2, 16.0, 6.334248366623996e-05)


def test_lag_equal_to_length_matches_one_less():
    assert same(EscancianoLobato([1.0, 2.0, 4.0], d=3), EscancianoLobato([1.0, 2.0, 4.0], d=2))
    assert EscancianoLobato([1.0, 2.0, 4.0], d=3).statistic == 3.036585365853659


def test_zero_tau_is_an_os_error():
    with pytest.raises(OSError) as caught:
        EscancianoLobato(np.full(10, 3.0))
    assert str(caught.value) == ZERO_TAU_1
    assert len(str(caught.value).encode()) == 23 + 1
