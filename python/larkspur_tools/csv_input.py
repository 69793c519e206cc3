"""Columns of a CSV file, streamed: only the selected columns are kept, each
as a growing float64 array, so memory follows the columns tested, not the
file.

A file without quotes is split line by line; one with quotes goes through
the csv module. The separator is the one of `,`, `;` and tab that splits the header into the
most fields (or given). A UTF-8 byte-order mark is dropped. Line numbers in
messages are lines of the file, counted by the csv module (a quoted field
may span lines). A line of nothing but white space is skipped wherever it
stands, by every reader alike, and never counted as a record. With pyarrow installed, its CSV reader converts the
selected columns first; any value it cannot take as a finite float64
(missing, text, a ragged row) sends the file through the streaming readers
instead, so messages never depend on pyarrow, and both give the
correctly rounded double of each decimal text.
"""

from __future__ import annotations

import csv
import math
from array import array
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .table_columns import (
    Column,
    Columns,
    ReportError,
    check_header,
    choose,
    finish,
    is_missing_text,
    no_column_to_test,
    text_kind,
)

SEPARATORS = (",", ";", "\t")
# Rows read to judge a column by its first value that is not missing.
HEAD_ROWS = 64
# The csv module's default limit (131,072 characters) would stop a file
# with one long text field in a column nobody asked for.
FIELD_LIMIT = 1 << 30


def sniff_separator(header_line: str) -> str:
    widths = {separator: len(next(csv.reader([header_line], delimiter=separator))) for separator in SEPARATORS}
    return max(SEPARATORS, key=lambda separator: widths[separator])  # the first on ties: ","


def arrow_csv() -> Any:
    """pyarrow.csv, or None when pyarrow is not installed."""
    try:
        import pyarrow.csv  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return None
    return pyarrow.csv


def read_csv_columns(
    path: str, wanted: Sequence[str] | None = None, *, sep: str | None = None, index_cols: Sequence[str] = ()
) -> Columns:
    """The named columns (or, with none named, every numeric data column)."""
    limit = csv.field_size_limit(FIELD_LIMIT)
    try:
        return _read(path, wanted, sep, index_cols)
    except FileNotFoundError:
        raise ReportError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise ReportError(f"{path}: is a directory") from None
    except PermissionError:
        raise ReportError(f"{path}: permission denied") from None
    except UnicodeDecodeError:
        raise ReportError(f"{path}: not a UTF-8 text file (save it as UTF-8 or CSV UTF-8)") from None
    except OSError as error:  # a name too long, a device that fails: still the file's fault
        raise ReportError(f"{path}: {error.strerror or error}") from None
    finally:
        csv.field_size_limit(limit)


def _read(path: str, wanted: Sequence[str] | None, sep: str | None, index_cols: Sequence[str]) -> Columns:
    with open(path, newline="", encoding="utf-8-sig") as handle:
        first = handle.readline()
        if not first.strip():
            raise ReportError(f"{path}: empty first line: it must name the columns")
        separator = sep or sniff_separator(first)
        handle.seek(0)
        reader = csv.reader(handle, delimiter=separator)
        try:
            names = next(reader)
            check_header(path, names)
            chosen, skipped = choose(path, names, wanted, index_cols)
            head = [row for row, _ in zip((row for row in reader if not _is_blank(row)), range(HEAD_ROWS))]
        except csv.Error as error:
            raise ReportError(f"{path}:{reader.line_num}: {error}") from None
        if not head:
            raise ReportError(f"{path}: no data below the header line")
        if not wanted:
            chosen, left_out = _judge_by_first_values(names, chosen, head)
            skipped += left_out
        if not chosen:
            raise no_column_to_test(path, skipped, separator)
        positions = [names.index(name) for name in chosen]
        arrays = _arrow_arrays(path, separator, names, chosen)
        if arrays is None and '"' not in first:  # a quoted header may span lines
            handle.seek(0)
            arrays = _split_lines(path, handle, separator, names, positions)
        if arrays is None:
            handle.seek(0)
            arrays = _stream(path, csv.reader(handle, delimiter=separator), names, positions)
        if not len(arrays[0]):
            raise ReportError(f"{path}: no data below the header line")

    def locate(position: int) -> str:
        return f"{path}:{_record_line(path, separator, position)}"

    columns = Columns([Column(name, values, locate) for name, values in zip(chosen, arrays)], skipped)
    return finish(columns, automatic=not wanted, path=path, separator=separator)


def _is_blank(row: list[str]) -> bool:
    """A line of white space only, as the csv module splits it: no field at
    all, or one field of spaces. A quoted empty field (`""`) is a value."""
    return not row or (len(row) == 1 and row[0] != "" and not row[0].strip())


def _is_blank_line(line: str, separator: str) -> bool:
    """The same line, seen unsplit (no separator, nothing but white space)."""
    return separator not in line and not line.strip()


def _judge_by_first_values(
    names: list[str], chosen: list[str], head: list[list[str]]
) -> tuple[list[str], list[tuple[str, str]]]:
    kept: list[str] = []
    left_out: list[tuple[str, str]] = []
    for name in chosen:
        position = names.index(name)
        first = next(
            (row[position] for row in head if position < len(row) and not is_missing_text(row[position])), None
        )
        reason = None if first is None else text_kind(first)
        if reason is None:
            kept.append(name)
        else:
            left_out.append((name, f"{reason}: {first!r}"))
    return kept, left_out


def _odd_cell(path: str, line: int, name: str, text: str) -> float:
    """A cell float() refused: NaN for a missing value, else an error."""
    if is_missing_text(text):
        return math.nan
    text = text.rstrip("\r\n")
    hint = " (thousands separators and decimal commas are not read)" if "," in text else ""
    raise ReportError(f"{path}:{line}: column {name!r} holds {text!r}, not a number{hint}")


def _split_lines(
    path: str, handle: Any, separator: str, names: list[str], positions: list[int]
) -> list[npt.NDArray[np.float64]] | None:
    """The columns of a file without quotes, split line by line (a third
    faster than the csv module); None at the first quote, which only the csv
    module reads right. float() takes the line end of a last field as the
    space around a number."""
    width = len(names)
    arrays = [array("d") for _ in positions]
    targets = [(position, values.append, names[position]) for position, values in zip(positions, arrays)]
    # Counting separators checks the width; splitting stops after the last
    # selected field, whose position stays exact.
    cut = max(positions) + 1
    next(handle)
    for line_number, line in enumerate(handle, start=2):
        if '"' in line:
            return None
        if line.count(separator) != width - 1:
            if _is_blank_line(line, separator):
                continue
            raise ReportError(f"{path}:{line_number}: {line.count(separator) + 1} fields where the header has {width}")
        row = line.split(separator, cut)
        for position, append, name in targets:
            try:
                append(float(row[position]))
            except ValueError:
                if width == 1 and _is_blank_line(line, separator):
                    break
                append(_odd_cell(path, line_number, name, row[position]))
    return [np.frombuffer(values, dtype=np.float64) for values in arrays]


def _stream(path: str, reader: Any, names: list[str], positions: list[int]) -> list[npt.NDArray[np.float64]]:
    """The columns through the csv module: quoted fields, also over several lines."""
    width = len(names)
    arrays = [array("d") for _ in positions]
    targets = [(position, values.append, names[position]) for position, values in zip(positions, arrays)]
    try:
        next(reader)
        for row in reader:
            if len(row) != width or (width == 1 and _is_blank(row)):
                if _is_blank(row):
                    continue
                raise ReportError(f"{path}:{reader.line_num}: {len(row)} fields where the header has {width}")
            for position, append, name in targets:
                try:
                    append(float(row[position]))
                except ValueError:
                    append(_odd_cell(path, reader.line_num, name, row[position]))
    except csv.Error as error:
        raise ReportError(f"{path}:{reader.line_num}: {error}") from None
    return [np.frombuffer(values, dtype=np.float64) for values in arrays]


def _arrow_arrays(
    path: str, separator: str, names: list[str], chosen: list[str]
) -> list[npt.NDArray[np.float64]] | None:
    """The columns through pyarrow when every value is a finite number, else None."""
    pacsv = arrow_csv()
    if pacsv is None:
        return None
    import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]

    try:
        table = pacsv.read_csv(
            path,
            read_options=pacsv.ReadOptions(column_names=names, skip_rows=1),
            parse_options=pacsv.ParseOptions(delimiter=separator, newlines_in_values=True),
            convert_options=pacsv.ConvertOptions(
                include_columns=chosen,
                column_types={name: pa.float64() for name in chosen},
                null_values=[],
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    except (pa.ArrowException, OSError, ValueError):
        return None
    arrays = [np.ascontiguousarray(table.column(name).to_numpy(), dtype=np.float64) for name in chosen]
    if not len(arrays[0]) or not all(np.isfinite(values).all() for values in arrays):
        return None
    return arrays


def _record_line(path: str, separator: str, position: int) -> int:
    """The file line on which data record `position` (from 0) ends; read again
    only when a message needs it, so the streaming loop counts nothing."""
    with open(path, newline="", encoding="utf-8-sig") as handle:
        reader = csv.reader(handle, delimiter=separator)
        next(reader)
        records = (reader.line_num for row in reader if not _is_blank(row))
        for index, line in enumerate(records):
            if index == position:
                return line
    raise AssertionError("record beyond the end of the file")
