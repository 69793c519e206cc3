"""Workflows around the larkspur extension: many series in one native call,
tables of columns, rolling windows, many series on a Dask cluster, the
`larkspur-csv` command, the analysis that explains a result (lag table,
wild-bootstrap p-value with its seed and count, summary, plot), and
`show_config()` for bug reports.

Which function do I want?

    one series, a plain tuple          el_tuple(x)                 (or the class itself)
    one series, explained              diagnose(x), lag_table(x), bootstrap(x, B)
    any predictability, not only linear gen_spectral(x, B)          generalized spectral test
    a panel in memory                  el_many(X)                  2-D array, DataFrame, list of series
    a table of named columns           by_column(df)               one row per column
    rolling windows of one series      rolling_pvalues(x, window)
    a cluster (Dask)                   dask_many(client, series), dask_partitions(client, load, parts)
    a file, from the shell             larkspur-csv FILE

Every one of them reads a series as `read_series` does, so they accept and
refuse the same inputs and give the class's bits. The extension `larkspur`
stays a single module; this package only calls it. Importing it imports
neither pandas nor dask nor matplotlib: each function imports what it needs
when called.

    from larkspur_tools import EscancianoLobato   # the result class, for annotations
"""

import warnings as _warnings
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

# The distribution's version, written here only: pyproject.toml reads it
# (scikit-build-core's regex provider) and show_config() prints it.
__version__ = "0.1.0"

from ._core import (
    DEFAULT_Q as DEFAULT_Q,
)
from ._core import (
    ElTuple as ElTuple,
)
from ._core import (
    EscancianoLobato as EscancianoLobato,
)
from ._core import (
    default_d as default_d,
)
from .batch import (
    ElMany as ElMany,
)
from .batch import (
    ElManyMasked as ElManyMasked,
)
from .batch import (
    el_batch as el_batch,
)
from .batch import (
    el_many as el_many,
)
from .batch import (
    el_partition as el_partition,
)
from .batch import (
    el_tuple as el_tuple,
)
from .cluster import dask_many as dask_many
from .cluster import dask_partitions as dask_partitions
from .config import show_config as show_config
from .diagnosis import Diagnosis as Diagnosis
from .diagnosis import diagnose as diagnose
from .frame import IndexColumnWarning as IndexColumnWarning
from .frame import by_column as by_column
from .frame import rolling_pvalues as rolling_pvalues
from .generalized_spectral import GenSpectralMany as GenSpectralMany
from .generalized_spectral import GenSpectralResult as GenSpectralResult
from .generalized_spectral import gen_spectral as gen_spectral
from .generalized_spectral import gen_spectral_many as gen_spectral_many
from .lags import chi2_upper_tail as chi2_upper_tail
from .lags import lag_table as lag_table
from .reading import read_series as read_series
from .small_sample import SMALL_SAMPLE as SMALL_SAMPLE
from .small_sample import SmallSampleWarning as SmallSampleWarning
from .wild_bootstrap import (
    BootstrapResult as BootstrapResult,
)
from .wild_bootstrap import (
    bootstrap as bootstrap,
)
from .wild_bootstrap import (
    bootstrap_pvalue as bootstrap_pvalue,
)

if _TYPE_CHECKING:
    from ._core import ELTuple as ELTuple
    from .reading import read_series as as_float64  # noqa: F401

# Former names, kept for one release: each use warns.
_DEPRECATED = {"ELTuple": ("ElTuple", "ElTuple"), "as_float64": ("read_series", "read_series")}


def __getattr__(name: str) -> _Any:
    if name in _DEPRECATED:
        new, attribute = _DEPRECATED[name]
        _warnings.warn(
            f"larkspur_tools.{name} is deprecated and goes in the next release: use {new}",
            DeprecationWarning,
            stacklevel=2,
        )
        return globals()[attribute]
    raise AttributeError(f"module 'larkspur_tools' has no attribute {name!r}")


__all__ = [
    "BootstrapResult",
    "DEFAULT_Q",
    "Diagnosis",
    "EscancianoLobato",
    "ElTuple",
    "ElMany",
    "ElManyMasked",
    "GenSpectralMany",
    "GenSpectralResult",
    "IndexColumnWarning",
    "SMALL_SAMPLE",
    "SmallSampleWarning",
    "bootstrap",
    "bootstrap_pvalue",
    "by_column",
    "chi2_upper_tail",
    "dask_many",
    "dask_partitions",
    "default_d",
    "diagnose",
    "el_batch",
    "el_many",
    "el_partition",
    "el_tuple",
    "gen_spectral",
    "gen_spectral_many",
    "lag_table",
    "read_series",
    "rolling_pvalues",
    "show_config",
]
