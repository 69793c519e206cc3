"""Deprecated: the names of the lag table (`lags`), the wild bootstrap
(`wild_bootstrap`) and the diagnosis (`diagnosis`) in one place, where they
lived before those modules. Import them from `larkspur_tools` (or those
modules); this module goes in the next release.
"""

import warnings

from ._shared import pvalue_text as pvalue_text
from .diagnosis import Diagnosis as Diagnosis
from .diagnosis import diagnose as diagnose
from .lags import LAG_COLUMNS as LAG_COLUMNS
from .lags import chi2_upper_tail as chi2_upper_tail
from .lags import lag_table as lag_table
from .wild_bootstrap import (
    MAMMEN_HIGH as MAMMEN_HIGH,
)
from .wild_bootstrap import (
    MAMMEN_LOW as MAMMEN_LOW,
)
from .wild_bootstrap import (
    MAMMEN_P_LOW as MAMMEN_P_LOW,
)
from .wild_bootstrap import (
    MAX_B as MAX_B,
)
from .wild_bootstrap import (
    MAX_REPLICATE_BYTES as MAX_REPLICATE_BYTES,
)
from .wild_bootstrap import (
    SAMPLE_SIZE as SAMPLE_SIZE,
)
from .wild_bootstrap import (
    BootstrapResult as BootstrapResult,
)
from .wild_bootstrap import (
    bootstrap as bootstrap,
)
from .wild_bootstrap import (
    bootstrap_pvalue as bootstrap_pvalue,
)

warnings.warn(
    "larkspur_tools.analysis is deprecated: import its names from larkspur_tools "
    "(or larkspur_tools.lags, .wild_bootstrap, .diagnosis)",
    DeprecationWarning,
    stacklevel=2,
)

__all__ = [
    "LAG_COLUMNS",
    "MAMMEN_HIGH",
    "MAMMEN_LOW",
    "MAMMEN_P_LOW",
    "MAX_B",
    "MAX_REPLICATE_BYTES",
    "SAMPLE_SIZE",
    "BootstrapResult",
    "Diagnosis",
    "bootstrap",
    "bootstrap_pvalue",
    "chi2_upper_tail",
    "diagnose",
    "lag_table",
    "pvalue_text",
]
