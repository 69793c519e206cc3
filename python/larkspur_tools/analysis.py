"""Why a series rejects, and how sure: the names of the lag table
(`lags`), the wild bootstrap (`wild_bootstrap`) and the diagnosis
(`diagnosis`) in one place, where they lived before those modules.
"""

from .diagnosis import Diagnosis as Diagnosis, diagnose as diagnose, pvalue_text as pvalue_text
from .lags import LAG_COLUMNS as LAG_COLUMNS, chi2_upper_tail as chi2_upper_tail, lag_table as lag_table
from .wild_bootstrap import (
    MAMMEN_HIGH as MAMMEN_HIGH,
    MAMMEN_LOW as MAMMEN_LOW,
    MAMMEN_P_LOW as MAMMEN_P_LOW,
    MAX_B as MAX_B,
    MAX_REPLICATE_BYTES as MAX_REPLICATE_BYTES,
    SAMPLE_SIZE as SAMPLE_SIZE,
    BootstrapResult as BootstrapResult,
    bootstrap as bootstrap,
    bootstrap_pvalue as bootstrap_pvalue,
)

__all__ = ["LAG_COLUMNS", "MAMMEN_HIGH", "MAMMEN_LOW", "MAMMEN_P_LOW", "MAX_B", "MAX_REPLICATE_BYTES", "SAMPLE_SIZE",
           "BootstrapResult", "Diagnosis", "bootstrap", "bootstrap_pvalue", "chi2_upper_tail", "diagnose", "lag_table",
           "pvalue_text"]
