"""Workflows around the larkspur extension: many series in one native call
(`el_many`), tables of columns, rolling windows, many series on a Dask
cluster, and the `larkspur-csv` command.

The extension `larkspur` stays a single module; this package only calls it.
Importing it imports neither pandas nor dask nor matplotlib: each function
imports what it needs when called.

    from larkspur_tools import EscancianoLobato   # the result class, for annotations
"""

from ._core import (
    EscancianoLobato as EscancianoLobato,
    ELTuple as ELTuple,
    as_float64 as as_float64,
    default_d as default_d,
    el_batch as el_batch,
    el_partition as el_partition,
    el_tuple as el_tuple,
)
from .batch import ElMany as ElMany, ElManyMasked as ElManyMasked, el_many as el_many
from .frame import by_column as by_column, rolling_pvalues as rolling_pvalues
from .many import dask_many as dask_many, dask_partitions as dask_partitions

__all__ = ["EscancianoLobato", "ELTuple", "ElMany", "ElManyMasked", "as_float64", "by_column", "dask_many",
           "dask_partitions", "default_d", "el_batch", "el_many", "el_partition", "el_tuple", "rolling_pvalues"]
