"""Which lags drive the test, and how sure it is: the robust correlograms of
FTSE returns (with the wild-bootstrap distribution of the statistic) and of
the yearly sunspot numbers, as pictures. Needs pandas and matplotlib
(pip install "larkspur[plot,pandas]").

    python examples/which_lags.py [--output-dir .]

Writes ftse_lags.png and sunspots_lags.png into --output-dir (default: the
current directory); docs/which_lags.md shows the copies in docs/.
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np
import pandas as pd
from larkspur_tools import diagnose

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output-dir", type=pathlib.Path, default=pathlib.Path("."))
    arguments = parser.parse_args()

    import matplotlib

    matplotlib.use("Agg")

    prices = pd.read_csv(ROOT / "data" / "EuStockMarkets.csv", index_col=0)["FTSE"]
    returns = np.log(prices).diff().dropna().rename("FTSE returns")
    sunspots = pd.read_csv(ROOT / "data" / "sunspot.year.csv")["value"].rename("sunspots")
    for name, series, bootstrap in (("ftse", returns, 999), ("sunspots", sunspots, 0)):
        figure = diagnose(series, bootstrap=bootstrap, seed=1).plot()
        path = arguments.output_dir / f"{name}_lags.png"
        figure.savefig(path, dpi=100)
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
