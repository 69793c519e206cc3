"""
Robust correlograms: FTSE returns and sunspots
==============================================

The autocorrelation at every lag up to ``d``, with the test's robust 95% band
(shaded) and the classic i.i.d. band (dashed). Red bars are the lags the
statistic sums (the first ``p~``).

FTSE returns reject on lag 1 alone; their robust band is wider than the
classic one because volatility clusters. The yearly sunspot numbers
(1700–1988) reject on two lags, far outside both bands.
"""

import pathlib

import matplotlib.pyplot as plt
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
ftse = np.log(prices).diff().dropna().rename("FTSE returns")
sunspots = pd.read_csv(DATA / "sunspot.year.csv")["value"].rename("sunspots")

figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
for series, ax in ((ftse, left), (sunspots, right)):
    diagnosis = diagnose(series)
    diagnosis.plot(ax=ax)
    print(
        f"{diagnosis.name}: n = {diagnosis.n}, p~ = {diagnosis.p_tilde}, "
        f"statistic = {diagnosis.statistic:.2f}, p-value = {diagnosis.pvalue:.3g}"
    )

# %%
# The numbers behind the right-hand picture: the test's statistic is the
# cumulative statistic at the chosen lag.
diagnose(sunspots).lag_table[["autocorrelation", "robust_band", "cumulative_statistic", "criterion", "chosen"]]
