"""Property-based differential test: the module against the pure-Python
transcription, on arrays of every dtype, byte order and stride, with NaN,
infinities, subnormals, signed zeros, huge and tiny values; q and d across
their ranges. The same bits, or the same exception type and message.

make test runs a small derandomized sample; `make properties` runs 2,000+.
"""

import math
import os

import el_reference
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from larkspur import statistical_tests

EXAMPLES = int(os.environ.get("LARKSPUR_PROPERTY_EXAMPLES", "150"))
PROFILE = settings(
    max_examples=EXAMPLES,
    derandomize=EXAMPLES <= 150,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

SPECIAL = [
    0.0,
    -0.0,
    math.inf,
    -math.inf,
    math.nan,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e-300,
    1e300,
]

float_elements = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, width=64),
    st.floats(min_value=-1e3, max_value=1e3, allow_nan=False),
    st.sampled_from(SPECIAL),
    st.integers(-5, 5).map(float),
)

dtypes = st.sampled_from(["<f8", ">f8", "<f4", ">f4", "<i8", ">i4", "u1", "<f2", "bool"])


@st.composite
def series(draw):
    n = draw(st.one_of(st.integers(0, 12), st.integers(13, 400), st.integers(401, 2000)))
    dtype = np.dtype(draw(dtypes))
    if dtype.kind == "f":
        values = draw(
            hnp.arrays(
                dtype=dtype,
                shape=n,
                elements=float_elements.map(lambda v: dtype.type(v)),
                fill=st.nothing() if n <= 400 else float_elements.map(lambda v: dtype.type(v)),
            )
        )
    elif dtype.kind == "b":
        values = draw(hnp.arrays(dtype=dtype, shape=n))
    else:
        info = np.iinfo(dtype)
        values = draw(hnp.arrays(dtype=dtype, shape=n, elements=st.integers(max(info.min, -1000), min(info.max, 1000))))
    layout = draw(st.sampled_from(["contiguous", "strided", "reversed", "unaligned"]))
    if layout == "strided" and n:
        backing = np.zeros(2 * n, dtype=dtype)
        backing[::2] = values
        values = backing[::2]
    elif layout == "reversed":
        values = values[::-1].copy()[::-1]
    elif layout == "unaligned" and dtype.itemsize > 1:
        raw = np.zeros(n * dtype.itemsize + 1, dtype=np.uint8)
        values_u = raw[1:].view(dtype)
        values_u[:] = values
        values = values_u
    return values


q_values = st.one_of(
    st.none(),
    st.just(2.4),
    st.floats(min_value=1e-12, max_value=1e6),
    st.sampled_from([0.0, -1.0, math.nan, math.inf, -math.inf, 5e-324]),
)
d_values = st.one_of(st.none(), st.integers(0, 12), st.integers(13, 40))


def expected_outcome(values, q, d):
    logical = [float(v) for v in values]
    if q is not None and not q > 0:
        return ValueError, "q must be positive"
    if not logical:
        return ValueError, "data must not be empty"
    if any(v != v for v in logical):
        return ValueError, "data must not contain NaN values"
    if d == 0:
        return ValueError, "d must be positive"
    if any(math.isinf(v) for v in logical):
        return ValueError, "data must not contain infinite values"
    if len(logical) == 1:
        return ValueError, "data must contain at least two values"
    try:
        return el_reference.el_test(logical, 2.4 if q is None else q, d)
    except el_reference.ZeroTau as zero:
        return OSError, f"Zero \u03c4\u0302 value at lag {zero.args[0]}"
    except el_reference.NotFinite:
        return (
            ValueError,
            "data are too large in magnitude for this test: rescale them (the test does not depend on scale)",
        )
    except el_reference.TooSmall:
        return (
            ValueError,
            "data are too small in magnitude for this test: rescale them (the test does not depend on scale)",
        )
    except el_reference.LagTooLarge:
        return ValueError, "d must not exceed the length of data"


def bits(value):
    return float(value).hex() if not math.isnan(value) else "nan"


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # overflow when drawing float32/float16 values
@PROFILE
@given(values=series(), q=q_values, d=d_values, via_list=st.booleans())
def test_matches_the_reference(values, q, d, via_list):
    expected = expected_outcome(values, q, d)
    data = values.tolist() if via_list else values
    try:
        result = statistical_tests.EscancianoLobato(data, q, d)
    except (ValueError, OSError) as error:
        assert (type(error), str(error)) == expected
        return
    assert isinstance(expected[0], int), f"expected {expected}, got a result"
    p_tilde, statistic, pvalue = expected
    assert (result.p_tilde, bits(result.statistic), bits(result.pvalue)) == (p_tilde, bits(statistic), bits(pvalue))
    assert math.copysign(1.0, result.statistic) == math.copysign(1.0, statistic)


@pytest.mark.parametrize("values", [np.array(["a", "b"], dtype="U3"), np.array([1.0, None], dtype=object)])
def test_unconvertible_dtypes_are_refused(values):
    with pytest.raises(TypeError, match="^expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64$"):
        statistical_tests.EscancianoLobato(values)
