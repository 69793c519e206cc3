"""Columns of a Parquet file (needs pyarrow): only the selected columns are
read. The index pandas stores with a frame and columns of dates or times
are never tested by default; nulls become NaN, the missing-value mark."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from .table_columns import PANDAS_INDEX, Column, Columns, ReportError, check_header, choose, finish, no_column_to_test


def read_parquet_columns(path: str, wanted: Sequence[str] | None = None, *, index_cols: Sequence[str] = ()) -> Columns:
    try:
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise ReportError("reading Parquet needs pyarrow (pip install pyarrow)") from None
    try:
        schema = pq.read_schema(path)
    except FileNotFoundError:
        raise ReportError(f"{path}: no such file") from None
    except (OSError, pa.ArrowException) as error:
        raise ReportError(f"{path}: not a readable Parquet file ({error})") from None
    names = list(schema.names)
    check_header(path, names)
    pandas_index = _pandas_index_columns(schema)
    chosen, skipped = choose(path, names, wanted, [*index_cols, *(name for name in pandas_index if name in names)])
    if not wanted:
        skipped = [(name, PANDAS_INDEX if name in pandas_index else reason) for name, reason in skipped]
    kept: list[str] = []
    for name in chosen:
        kind = schema.field(name).type
        if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind):
            kept.append(name)
        elif wanted:
            raise ReportError(f"{path}: column {name!r} holds {kind}, not numbers")
        else:
            temporal = pa.types.is_temporal(kind)
            skipped.append((name, f"{'dates or times' if temporal else 'not numeric'}: {kind}"))
    if not kept:
        raise no_column_to_test(path, skipped)
    try:
        table = pq.read_table(path, columns=kept)
        arrays = [
            np.ascontiguousarray(table.column(name).cast(pa.float64()).to_numpy(), dtype=np.float64) for name in kept
        ]
    except (OSError, pa.ArrowException) as error:
        raise ReportError(f"{path}: {error}") from None
    if not len(arrays[0]):
        raise ReportError(f"{path}: no rows")

    def locate(position: int) -> str:
        return f"{path}: row {position + 1}"

    columns = Columns([Column(name, values, locate) for name, values in zip(kept, arrays)], skipped)
    return finish(columns, automatic=not wanted, path=path)


def _pandas_index_columns(schema: Any) -> list[str]:
    """Names of the index columns pandas recorded in the file's metadata."""
    metadata = schema.pandas_metadata or {}
    return [name for name in metadata.get("index_columns", []) if isinstance(name, str)]
