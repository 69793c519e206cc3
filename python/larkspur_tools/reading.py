"""One reading of a series for every entry point of the companion.

Whatever reaches the test (one series, a panel's series, a table's columns,
rolling windows, bootstrap data, the command's columns) becomes a 1-D float64
array here, and only here, so that every entry point accepts, refuses and
converts exactly alike:

- accepted, with the bits the extension's class gives them: float64 arrays
  (read in place, any strides), other real numeric arrays and bools (converted
  as float() converts each value), memoryviews and other buffers of numbers,
  sequences of numbers, object arrays of numbers, numeric pandas or polars
  columns, nullable ones included, and pandas categoricals whose categories
  are numbers (their values, as the class reads them);
- a missing value (NaN, None, pd.NA) becomes NaN, which the test refuses with
  its own ValueError ("data must not contain NaN values") wherever it occurs;
- refused with TypeError naming the dtype and the series: dates, durations,
  periods, intervals, categories that are not numbers, text and complex
  numbers;
- refused with TypeError: anything that is not one series of values (None, a
  number, a mapping, an iterator such as a generator, which NumPy would take
  for one object, an array of more or fewer than one dimension).

Nothing here imports pandas: a pandas object is recognised by its dtype.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

#: NumPy dtype kinds whose values convert to float64 exactly as float() converts
#: each of them (bool, signed and unsigned integers, floating point).
REAL_KINDS = "biuf"

SERIES_KINDS = "a 1-D array, a pandas or polars Series, or a sequence of numbers"


def read_series(values: Any, where: str = "data") -> FloatArray:
    """One series as every function of the companion reads it: a 1-D float64 array.

    Parameters
    ----------
    values : array_like, pandas.Series or polars.Series
        One series: a real numeric or bool array (any strides), a
        memoryview of numbers, a sequence or object array of numbers, a
        numeric pandas or polars column (nullable ones included), or a
        pandas categorical whose categories are numbers. None and pd.NA
        become NaN, which the test then refuses as a missing value.
    where : str, default "data"
        How messages name the series ("series 3", "column 'x'").

    Returns
    -------
    numpy.ndarray
        The values as float64: `values` itself when it already is a 1-D
        float64 array (no copy, whatever its strides), else a new array
        holding what float() makes of each value.

    Raises
    ------
    TypeError
        The values are not one series of numbers: dates, durations,
        periods, categories that are not numbers, text, complex numbers,
        None, a number, a mapping, an iterator, an array of another number
        of dimensions.

    Examples
    --------
    >>> import numpy as np
    >>> from larkspur_tools import read_series
    >>> read_series([1, 2.5, None])
    array([1. , 2.5, nan])
    >>> x = np.arange(6.0)[::2]
    >>> read_series(x) is x
    True
    >>> read_series(np.array(["2020-01-01"], dtype="datetime64[D]"))
    Traceback (most recent call last):
    ...
    TypeError: data has dtype datetime64[D], not numbers
    """
    return array_as_float64(natural_array(values, where), where)


def natural_array(values: Any, where: str = "data") -> np.ndarray[Any, Any]:
    """The values as an ndarray of their own dtype, before any conversion.

    pandas and polars columns go through their dtype (a nullable numeric
    column with pd.NA gives NaN there; a non-numeric one is refused by its
    own dtype's name, not by what to_numpy() makes of it); other objects with
    `to_numpy()` through that; sequences through NumPy. The length of a
    sequence is asked first: NumPy would fold an exception raised by
    `__len__` into "setting an array element with a sequence", and an
    interrupt, exit or out-of-memory from the data must reach the caller
    unchanged."""
    if isinstance(values, np.ndarray):
        return values
    if isinstance(values, (bytes, bytearray)):
        return np.frombuffer(values, dtype=np.uint8)  # a sequence of small integers, as float() sees them
    if isinstance(values, memoryview):
        # Before np.isscalar, which counts a memoryview as a scalar; NumPy
        # reads the buffer with its own format (doubles in place).
        return np.asarray(values)
    # An iterator is consumed as it is read and NumPy would make one object
    # of it (an array of shape ()): it is not a series of values.
    if values is None or isinstance(values, (str, Mapping, set, frozenset, Iterator)) or np.isscalar(values):
        raise TypeError(f"{where} must be {SERIES_KINDS}, not {type(values).__name__}")
    dtype = getattr(values, "dtype", None)
    to_numpy = getattr(values, "to_numpy", None)
    if dtype is not None and callable(to_numpy) and not isinstance(dtype, np.dtype):
        return _extension_array(values, dtype, where)
    if callable(to_numpy):
        return np.asarray(to_numpy())
    if not hasattr(type(values), "__getitem__") and not hasattr(type(values), "__iter__"):
        raise TypeError(f"{where} must be {SERIES_KINDS}, not {type(values).__name__}")
    if not isinstance(values, (list, tuple, range)) and hasattr(type(values), "__len__"):
        len(values)
    try:
        return np.asarray(values)
    except ValueError as error:  # ragged nesting
        raise TypeError(f"{where} must be {SERIES_KINDS}: {error}") from None


def array_as_float64(array: np.ndarray[Any, Any], where: str = "data") -> FloatArray:
    """A 1-D array of any dtype as float64, or TypeError."""
    if array.ndim != 1:
        raise TypeError(f"{where} must be one-dimensional, not an array of shape {array.shape}")
    if array.dtype.kind in REAL_KINDS:
        return array if array.dtype == np.float64 and array.dtype.isnative else array.astype(np.float64)
    if array.dtype.kind == "O":
        return _objects_as_float64(array, where)
    raise TypeError(refused_dtype(where, array.dtype))


def refused_dtype(where: str, dtype: Any) -> str:
    return f"{where} has dtype {dtype}, not numbers"


def dtype_refusal(dtype: Any) -> str | None:
    """The name of a column dtype that is not numbers, or None for a numeric
    (or object) dtype; decided from the dtype alone, without the values."""
    if isinstance(dtype, np.dtype):
        return None if dtype.kind in REAL_KINDS + "O" else str(dtype)
    is_numeric = getattr(dtype, "is_numeric", None)
    if callable(is_numeric):  # polars
        return None if is_numeric() or str(dtype) == "Boolean" else str(dtype)
    # A pandas extension dtype: nullable integers, floats and booleans (and
    # their Arrow and sparse forms) are numbers; complex ones are not.
    numeric = getattr(dtype, "_is_numeric", False) or getattr(dtype, "_is_boolean", False)
    kind = getattr(dtype, "kind", "O")
    return None if numeric and kind != "c" else str(dtype)


def _extension_array(values: Any, dtype: Any, where: str) -> np.ndarray[Any, Any]:
    categories = getattr(dtype, "categories", None)
    if getattr(dtype, "name", None) == "category" and categories is not None:
        # A pandas categorical is its values, as the class reads it: numbers
        # when its categories are numbers (a missing value becomes NaN).
        kinds = _category_refusal(categories)
        if kinds is not None:
            raise TypeError(refused_dtype(where, f"category (of {kinds} categories)"))
        return np.asarray(values.to_numpy())
    refusal = dtype_refusal(dtype)
    if refusal is not None:
        raise TypeError(refused_dtype(where, refusal))
    if getattr(dtype, "is_numeric", None) is not None:  # polars: nulls of a numeric column become NaN
        return np.asarray(values.to_numpy())
    return np.asarray(values.to_numpy(dtype=np.float64, na_value=np.nan))


def _category_refusal(categories: Any) -> str | None:
    """What a categorical's categories are when they are not numbers (their
    dtype, or the type of the first object among them that is not a number),
    else None."""
    refusal = dtype_refusal(categories.dtype)
    if refusal is not None or categories.dtype.kind != "O":
        return refusal
    for item in categories:
        if isinstance(item, (str, bytes, complex)) or not (hasattr(item, "__float__") or hasattr(item, "__index__")):
            return type(item).__name__
    return None


def _is_missing(item: Any) -> bool:
    # pd.NA by its type, so that pandas is not imported for it.
    return item is None or type(item).__name__ == "NAType"


def _objects_as_float64(array: np.ndarray[Any, Any], where: str) -> FloatArray:
    """An object array item by item: None and pd.NA are missing (NaN), numbers
    convert by float() as the class converts them, text and other objects are
    refused (NumPy's own cast would parse "1.5" as a number)."""
    result = np.empty(len(array))
    for position, item in enumerate(array):
        if _is_missing(item):
            result[position] = math.nan
        elif isinstance(item, (str, bytes, complex)) or not (hasattr(item, "__float__") or hasattr(item, "__index__")):
            raise TypeError(
                f"{where} has dtype object holding {type(item).__name__} values such as {item!r}, not numbers"
            )
        else:
            result[position] = float(item)
    return result


class Panel(NamedTuple):
    """The series of a panel as the native batch reads them."""

    #: A 2-D float64 array whose `axis` runs over time, or a list of 1-D float64 arrays.
    data: Any
    axis: int
    #: How many series.
    size: int
    #: Labels that name series in notes (a table's columns or rows), or None: positions.
    labels: Sequence[Any] | None = None
    #: Series that could not be read: position -> the TypeError; their entries of
    #: `data` are empty arrays, so that the batch keeps every position.
    unreadable: dict[int, Exception] = {}


PANEL_KINDS = "a 2-D array, a DataFrame or a sequence of series"
AXIS_ACCEPTED = "axis must be 0 or 1"
MAPPING_GIVEN = "named columns are a table, which by_column tests column by column"
_EMPTY = np.empty(0)


def read_panel(values: Any, axis: int = 0) -> Panel:
    """Every series of a panel, each read as `read_series` reads one.

    A 2-D array or a DataFrame whose dtypes are all real is converted at most
    once, as a whole, and read in place; any other panel series by series. A
    series that cannot be read is recorded, not raised, so that the caller can
    report it in its place among the test's own failures (or mask it)."""
    axis = checked_axis(axis)
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(values, pandas.DataFrame):
        labels = list(values.columns if axis == 0 else values.index)
        if all(isinstance(dtype, np.dtype) and dtype.kind in REAL_KINDS for dtype in values.dtypes):
            return _real_panel(values.to_numpy(), axis, labels)
        if axis == 0:
            return _series_panel([values.iloc[:, i] for i in range(values.shape[1])], labels, "column")
        return _series_panel(list(values.to_numpy(dtype=object)), labels, "row")
    if getattr(values, "ndim", None) == 1:
        raise TypeError(
            f"values must be {PANEL_KINDS}, not one series ({type(values).__name__}); for one series, pass [series]"
        )
    if isinstance(values, np.ndarray):
        if values.ndim != 2:
            raise TypeError(f"values must be {PANEL_KINDS}, not an array of shape {values.shape}")
        if values.dtype.kind in REAL_KINDS:
            return _real_panel(values, axis, None)
        return _series_panel(list(values.T if axis == 0 else values), None, "series")
    if isinstance(values, Mapping):
        # Iterating would give its keys, each then refused as "not str".
        raise TypeError(f"values must be {PANEL_KINDS}, not a mapping ({type(values).__name__}); {MAPPING_GIVEN}")
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"values must be {PANEL_KINDS}, not {type(values).__name__}")
    return _series_panel(list(values), None, "series")


def checked_axis(axis: object) -> int:
    """0 or 1 (-1 and -2 counted from the end, as NumPy counts them)."""
    if isinstance(axis, bool) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"{AXIS_ACCEPTED}, not {axis!r}")
    if axis not in (0, 1, -1, -2):
        raise ValueError(f"{AXIS_ACCEPTED}, not {axis!r}")
    return int(axis) % 2


def _real_panel(array: np.ndarray[Any, Any], axis: int, labels: Sequence[Any] | None) -> Panel:
    if array.dtype != np.float64 or not array.dtype.isnative:
        array = array.astype(np.float64)  # once, for the whole panel
    return Panel(array, axis, array.shape[1 - axis], labels)


def _series_panel(items: list[Any], labels: Sequence[Any] | None, kind: str) -> Panel:
    series: list[FloatArray] = []
    unreadable: dict[int, Exception] = {}
    for position, item in enumerate(items):
        where = f"{kind} {labels[position]!r}" if labels is not None else f"{kind} {position}"
        try:
            series.append(read_series(item, where))
        except TypeError as error:
            unreadable[position] = error
            series.append(_EMPTY)
    return Panel(series, 0, len(series), labels, unreadable)
