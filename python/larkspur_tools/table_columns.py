"""What the command takes from a table: the columns to test as float64 arrays
(NaN where a value is missing), every column left out with its reason, and
where each value sits in the file, for messages.

The rules that decide which columns are tested when none are named live
here, shared by the CSV and Parquet readers: row names, index and date or
time columns are never tested by default, and each is reported. The rule
that recognises a column of row numbers (`index_column_reason`) is also
by_column's, so that a table read with pandas loses the same columns.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt


class ReportError(Exception):
    """A user mistake (missing file, column, bad value), reported in one line."""


@dataclass(frozen=True)
class Column:
    name: str
    #: float64, NaN where the file holds a missing value.
    values: npt.NDArray[np.float64]
    #: "file:line" (or "file: row k") of the value at a position of `values`.
    locate: Callable[[int], str]


@dataclass
class Columns:
    tested: list[Column] = field(default_factory=list)
    #: (name, reason) of every column not tested.
    skipped: list[tuple[str, str]] = field(default_factory=list)


# Headers of a first column that only numbers the rows (R's and pandas' CSV writers).
ROW_NAME_HEADERS = ("", "rownames", "index", "Unnamed: 0")
# Headers of columns that say when, not what.
TIME_HEADERS = frozenset({"date", "time", "datetime", "timestamp", "year", "month", "day", "week", "quarter", "period"})
# Cell texts read as a missing value (compared stripped and in lower case);
# "nan" also parses as a float, which is NaN and so missing too.
MISSING_TEXTS = frozenset({"", "na", "n/a", "#n/a", "nan", "-nan", "null", "none", ".", "-"})
# A date or a time of day at the start of a cell: 1991-07-01, 01/07/1991, 13:45.
DATE_TEXT = re.compile(r"\s*(\d{4}[-/.]\d{1,2}[-/.]\d{1,2}|\d{1,2}[-/.]\d{1,2}[-/.]\d{2,4}|\d{1,2}:\d{2})")

ROW_NAMES = "row names"
TIME_NAME = "a date or time column"
NAMED_INDEX = "named by --index-col"
PANDAS_INDEX = "the index pandas stored"
REGULAR_INDEX = "an index: integers in a regular step, such as years"
DATES = "dates or times"


def is_missing_text(text: str) -> bool:
    return text.strip().lower() in MISSING_TEXTS


def text_kind(text: str) -> str | None:
    """None for a number or a missing value, else the reason the column is not tested."""
    if is_missing_text(text):
        return None
    try:
        float(text)
    except ValueError:
        return DATES if DATE_TEXT.match(text) else "not numeric"
    return None


def check_header(path: str, names: Sequence[str]) -> None:
    seen: dict[str, int] = {}
    for position, name in enumerate(names, start=1):
        if name in seen:
            raise ReportError(
                f"{path}: duplicate column name {name!r} (columns {seen[name]} and {position}); rename one"
            )
        seen[name] = position


def choose(
    path: str, names: Sequence[str], wanted: Sequence[str] | None, index_cols: Sequence[str]
) -> tuple[list[str], list[tuple[str, str]]]:
    """The columns to read, and those left out by their header alone.

    Named columns are read whatever they hold; without names, row names,
    index and date or time columns are left out."""
    for name in [*(wanted or []), *index_cols]:
        if name not in names:
            raise ReportError(f"{path}: no column {name!r} (columns: {', '.join(map(repr, names))})")
    if wanted:
        return list(dict.fromkeys(wanted)), []
    chosen: list[str] = []
    skipped: list[tuple[str, str]] = []
    for position, name in enumerate(names):
        if name in index_cols:
            skipped.append((name, NAMED_INDEX))
        elif is_row_names(position, name):
            skipped.append((name, ROW_NAMES))
        elif name.strip().lower() in TIME_HEADERS:
            skipped.append((name, TIME_NAME))
        else:
            chosen.append(name)
    return chosen, skipped


def is_row_names(position: int, name: object) -> bool:
    """The first column under a header that R's and pandas' writers give the row numbers."""
    return position == 0 and isinstance(name, str) and name in ROW_NAME_HEADERS


def is_regular_index(values: npt.NDArray[np.float64]) -> bool:
    """Integers in one constant non-zero step (1700, 1701, ...): an index, not
    data. A constant column (step 0) is data, which the test then refuses."""
    if len(values) < 3 or not np.all(np.isfinite(values)) or not np.all(values == np.floor(values)):
        return False
    with np.errstate(over="ignore"):  # 1e308 after -1e308: an infinite step, so not regular
        steps = np.diff(values)
    return bool(steps[0] != 0 and np.all(steps == steps[0]))


def index_column_reason(position: int, name: object, values: npt.NDArray[np.float64]) -> str | None:
    """Why the column at `position` numbers the rows rather than holding data
    (ROW_NAMES, REGULAR_INDEX), or None: the command's rule for a table whose
    columns are not named, and by_column's."""
    if is_row_names(position, name):
        return ROW_NAMES
    if is_regular_index(values):
        return REGULAR_INDEX
    return None


def no_column_to_test(path: str, skipped: Sequence[tuple[str, str]], separator: str | None = None) -> ReportError:
    """The error of a table none of whose columns is tested, each listed with its reason."""
    listed = ", ".join(f"{name!r} ({reason})" for name, reason in skipped)
    read_with = f"separator {separator!r}; " if separator is not None else ""
    return ReportError(f"{path}: no column to test ({read_with}columns: {listed})")


def finish(columns: Columns, automatic: bool, path: str, separator: str | None = None) -> Columns:
    """Refuses infinities (never a missing value) and, without named columns,
    moves regular integer sequences to the skipped list; a table left with
    nothing to test is an error, whether its headers or its values set every
    column aside (a run that tested nothing must not look like a success)."""
    for column in columns.tested:
        infinite = np.flatnonzero(np.isinf(column.values))
        if len(infinite):
            raise ReportError(f"{column.locate(int(infinite[0]))}: column {column.name!r} holds an infinite value")
    if not automatic:
        return columns
    kept = [column for column in columns.tested if not is_regular_index(column.values)]
    skipped = [(column.name, REGULAR_INDEX) for column in columns.tested if is_regular_index(column.values)]
    if not kept:
        raise no_column_to_test(path, columns.skipped + skipped, separator)
    return Columns(kept, columns.skipped + skipped)
