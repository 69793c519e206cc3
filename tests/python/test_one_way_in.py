"""One reading of a series: every input kind through every entry point of
the companion gives the class's bits, or the same exception type naming what
was given."""

import math
import re
from fractions import Fraction

import larkspur_tools
import numpy as np
import pandas as pd
import pytest
from test_companion import LocalClient

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato

X = np.random.default_rng(120).standard_normal(120)  # 120 >= 100: no small-sample warning
INTS = np.round(X * 100).astype(np.int64)
SIGNS = X > 0
WITH_NAN = np.r_[X[:60], math.nan, X[61:]]
DATES = pd.date_range("2020-01-01", periods=120)


def polars_series(values):
    return pytest.importorskip("polars").Series(values)


# name -> (the form given, the float64 values the class tests for it)
ACCEPTED = {
    "float64 array": (lambda: X, X),
    "strided float64 view": (lambda: np.repeat(X, 2)[::2], X),
    "reversed view": (lambda: X[::-1].copy()[::-1], X),
    "big-endian float64": (lambda: X.astype(">f8"), X),
    "float32 array": (lambda: X.astype(np.float32), X.astype(np.float32).astype(np.float64)),
    "int64 array": (lambda: INTS, INTS.astype(np.float64)),
    "bool array": (lambda: SIGNS, SIGNS.astype(np.float64)),
    "list of floats": (lambda: list(X), X),
    "tuple of ints": (lambda: tuple(INTS.tolist()), INTS.astype(np.float64)),
    "list of Fractions": (
        lambda: [Fraction(int(v), 7) for v in INTS],
        np.array([float(Fraction(int(v), 7)) for v in INTS]),
    ),
    "object array of floats": (lambda: X.astype(object), X),
    "pandas float64": (lambda: pd.Series(X, index=DATES), X),
    "pandas int64": (lambda: pd.Series(INTS), INTS.astype(np.float64)),
    "nullable Int64": (lambda: pd.Series(INTS, dtype="Int64"), INTS.astype(np.float64)),
    "nullable Float64": (lambda: pd.Series(X, dtype="Float64"), X),
    "nullable boolean": (lambda: pd.Series(SIGNS, dtype="boolean"), SIGNS.astype(np.float64)),
    "polars Float64": (lambda: polars_series(X), X),
    "bytes, as integers 0-255": (lambda: bytes(INTS.astype(np.uint8)), INTS.astype(np.uint8).astype(np.float64)),
    "memoryview of doubles": (lambda: memoryview(X), X),
    "memoryview of int64": (lambda: memoryview(INTS), INTS.astype(np.float64)),
    "categorical of ints, as its values": (lambda: pd.Series(pd.Categorical(INTS)), INTS.astype(np.float64)),
}
# name -> (the form given, exception type, what the message says)
REFUSED = {
    "NaN": (lambda: WITH_NAN, ValueError, "data must not contain NaN values"),
    "None in a list": (lambda: [*X[:60], None, *X[61:]], ValueError, "data must not contain NaN values"),
    "pd.NA in a nullable column": (
        lambda: pd.Series([*INTS[:60], None, *INTS[61:]], dtype="Int64"),
        ValueError,
        "data must not contain NaN values",
    ),
    "None in an object array": (
        lambda: np.array([*X[:60], None, *X[61:]], dtype=object),
        ValueError,
        "data must not contain NaN values",
    ),
    "dates": (lambda: pd.Series(DATES), TypeError, "dtype datetime64"),
    "durations": (lambda: pd.Series(DATES - DATES[0]), TypeError, "dtype timedelta64"),
    "periods": (lambda: pd.Series(DATES.to_period("D")), TypeError, "dtype period"),
    "categories of text": (
        lambda: pd.Series(pd.Categorical([str(v) for v in INTS])),
        TypeError,
        r"dtype category \(of str categories\)",
    ),
    "categories of dates": (lambda: pd.Series(pd.Categorical(DATES)), TypeError, r"category \(of datetime64"),
    "a missing category": (lambda: pd.Series(pd.Categorical([*INTS[:60], None, *INTS[61:]])), ValueError, "NaN"),
    "a 2-D memoryview": (lambda: memoryview(np.stack([X, X], axis=1)), TypeError, "one-dimensional"),
    "text in a list": (lambda: [str(v) for v in X], TypeError, "dtype <U"),
    "string dtype": (lambda: pd.Series([str(v) for v in X], dtype="string"), TypeError, "dtype string"),
    "text in an object array": (lambda: np.array([*X[:5], "1.5"], dtype=object), TypeError, "str values such as"),
    "complex, zero imaginary parts": (lambda: X + 0j, TypeError, "dtype complex128"),
    "None": (lambda: None, TypeError, "not NoneType"),
    "a number": (lambda: 5.0, TypeError, "not float"),
    "a mapping": (lambda: {"a": 1.0}, TypeError, "not dict"),
    "a generator": (lambda: (v for v in X), TypeError, "must be a 1-D array, .* not generator"),
    "a 2-D array": (lambda: np.stack([X, X], axis=1), TypeError, r"one-dimensional, not an array of shape \(120, 2\)"),
}


def outcome(result):
    """(p_tilde, statistic bits, p-value bits), None where an entry point does not give one."""
    p_tilde, statistic, pvalue = result
    return (
        None if p_tilde is None else int(p_tilde),
        None if statistic is None else float(statistic).hex(),
        None if pvalue is None else float(pvalue).hex(),
    )


def chosen(table):
    p_tilde = int(table.index[table["chosen"]][0])
    return p_tilde, table["cumulative_statistic"][p_tilde], None


# Each takes the series and the test's options (q, d).
ENTRY_POINTS = {
    "el_tuple": lambda data, **o: larkspur_tools.el_tuple(data, **o),
    "el_many": lambda data, **o: tuple(column[1] for column in larkspur_tools.el_many([X, data], **o)),
    "el_batch": lambda data, **o: larkspur_tools.el_batch([data], **o)[0],
    "dask_many": lambda data, **o: larkspur_tools.dask_many(LocalClient(), [data], **o)[0],
    "by_column": lambda data, **o: tuple(
        larkspur_tools.by_column({"x": data}, **o).loc["x", ["p_tilde", "statistic", "pvalue"]]
    ),
    "rolling_pvalues": lambda data, **o: (None, None, larkspur_tools.rolling_pvalues(data, 120, **o).iloc[0]),
    "lag_table": lambda data, **o: chosen(larkspur_tools.lag_table(data, **o)),
    "diagnose": lambda data, **o: (lambda r: (r.p_tilde, r.statistic, r.pvalue))(larkspur_tools.diagnose(data, **o)),
    "diagnose with a bootstrap": lambda data, **o: (
        None,
        None,
        larkspur_tools.diagnose(data, bootstrap=19, seed=5, **o).bootstrap_pvalue,
    ),
    "bootstrap_pvalue": lambda data, **o: (None, None, larkspur_tools.bootstrap_pvalue(data, 19, seed=5, **o)),
}


def expected_for(entry, values):
    """What an entry point gives for the float64 values the class tests."""
    if entry in ("bootstrap_pvalue", "diagnose with a bootstrap"):
        return outcome(ENTRY_POINTS[entry](values))
    result = EL(values)
    full = (result.p_tilde, result.statistic, result.pvalue)
    given = ENTRY_POINTS[entry](values)
    return outcome(tuple(None if g is None else f for g, f in zip(given, full)))


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("kind", ACCEPTED)
def test_accepted_kinds_give_the_class_bits(kind, entry):
    make, values = ACCEPTED[kind]
    data = make()
    if entry == "el_tuple":  # the class itself reads every accepted kind alike
        assert outcome(larkspur_tools.el_tuple(values)) == outcome(
            (lambda r: (r.p_tilde, r.statistic, r.pvalue))(EL(data))
        )
    assert outcome(ENTRY_POINTS[entry](data)) == expected_for(entry, values)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("kind", REFUSED)
def test_refused_kinds_raise_one_type_everywhere(kind, entry):
    make, error, message = REFUSED[kind]
    with pytest.raises(error, match=message):
        ENTRY_POINTS[entry](make())


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize(
    ("options", "message"),
    [
        # The class takes True for 1; the companion refuses a flag, in the
        # words the class uses for d=2.0 and q="x".
        ({"d": True}, "argument 'd': 'bool' object cannot be interpreted as an integer"),
        ({"d": np.False_}, "argument 'd': 'bool' object cannot be interpreted as an integer"),
        ({"q": True}, "argument 'q': must be real number, not bool"),
        ({"d": 2.0}, "argument 'd': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_q_and_d_of_the_wrong_type_are_refused_everywhere(entry, options, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}"):
        ENTRY_POINTS[entry](X, **options)


def test_a_masked_batch_masks_unreadable_series_like_failures():
    given = [X, None, [str(v) for v in X], WITH_NAN, pd.Series(DATES), X]
    masked = larkspur_tools.el_many(given, errors="mask")
    assert masked.message[0] is None and masked.message[5] is None
    starts = [
        "series 1 must be a 1-D array",
        "series 2 has dtype <U",
        "data must not contain NaN values",
        "series 4 has dtype datetime64",
    ]
    assert all(message.startswith(start) for message, start in zip(masked.message[1:5], starts, strict=True))
    assert list(masked.p_tilde[1:5]) == [0] * 4 and np.isnan(masked.pvalue[1:5]).all()
    with pytest.raises(TypeError, match="series 1 must be") as raised:
        larkspur_tools.el_many(given)
    assert raised.value.__notes__ == ["in series 1"]
    # The first failure in order decides, whether unreadable or refused by the test.
    with pytest.raises(ValueError, match="NaN") as raised:
        larkspur_tools.el_many([X, WITH_NAN, None])
    assert raised.value.__notes__ == ["in series 1"]


def test_one_series_is_not_a_panel():
    for values in (X, pd.Series(X)):
        with pytest.raises(TypeError, match=r"not one series \((ndarray|Series)\); for one series, pass \[series\]"):
            larkspur_tools.el_many(values)
