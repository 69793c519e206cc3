"""larkspur_tools._batch.chi2_upper_tail: the native exact chi-squared tail's
special values and argument checks (its accuracy against mpmath is
tools/chi2_tail_check.py's, in make numerics-check)."""

import math

import pytest
from larkspur_tools._batch import chi2_upper_tail


@pytest.mark.parametrize(
    ("x", "df", "expected"),
    [
        (math.nan, 3, math.nan),
        (-math.inf, 1, 1.0),
        (-0.0, 2, 1.0),
        (0.0, 300, 1.0),
        (math.inf, 1, 0.0),
        (2.0, 2, math.exp(-1.0)),
        (1e300, 300, 0.0),
        (5e-324, 1, 1.0),
        # Far beyond where 1 - F(x) is 0.0, and in the subnormal range.
        (70.2, 1, 5.358643843359859e-17),
        (1400.0, 10, 9.920391479800145e-295),
        (3, 4, 0.5578254003710745),
        (True, True, 0.3173105078629141),
    ],
)
def test_values(x, df, expected):
    got = chi2_upper_tail(x, df)
    assert type(got) is float
    assert got == expected or (math.isnan(got) and math.isnan(expected))


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        ((1.0, 0), {}, ValueError),
        ((1.0, -3), {}, ValueError),
        ((1.0, 2**32 + 1), {}, ValueError),
        ((1.0, 2**70), {}, ValueError),
        ((1.0, 2.0), {}, TypeError),
        ((1.0, "2"), {}, TypeError),
        (("1", 2), {}, TypeError),
        ((1.0,), {}, TypeError),
        ((), {"x": 1.0, "df": 2}, TypeError),
    ],
)
def test_refused_arguments(args, kwargs, error):
    with pytest.raises(error):
        chi2_upper_tail(*args, **kwargs)
