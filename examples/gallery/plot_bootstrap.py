"""
The wild-bootstrap panel
========================

``diagnose(..., bootstrap=999)`` adds a second panel: the distribution of the
statistic over 999 Rademacher replicates of FTSE returns, with the observed
statistic marked. The bootstrap p-value is the share of replicates at least
as large, counting the observed one: (1 + #{T* >= T}) / (B + 1).
"""

import pathlib

import numpy as np
import pandas as pd
from larkspur_tools import diagnose

# sphinx_gallery_start_ignore
HERE = (
    pathlib.Path(__file__).parent if "__file__" in globals() else pathlib.Path.cwd()
)  # the gallery runs it in its folder
DATA = HERE.resolve().parents[1] / "data"
# sphinx_gallery_end_ignore

prices = pd.read_csv(DATA / "EuStockMarkets.csv", index_col=0)["FTSE"]
returns = np.log(prices).diff().dropna().rename("FTSE returns")
diagnosis = diagnose(returns, bootstrap=999, seed=1)
figure = diagnosis.plot()
print(f"asymptotic p-value {diagnosis.pvalue:.5f}, bootstrap p-value {diagnosis.bootstrap_pvalue:.4f}")
boot = diagnosis.bootstrap
print(f"replicates at least as large as T = {diagnosis.statistic:.2f}: {boot.exceedances} of {boot.tested}")
