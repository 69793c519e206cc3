"""Prints, one line per case, the exact results of a fixed corpus: p~, the
statistic and the p-value as hexadecimal floats, and the derived d; then,
for the generalized spectral test in both forms, the statistic, the
truncation bound, the factor's rank and nine bootstrap replicates (their
FFTs, factor and sums must give the same bits everywhere too).

Run on two platforms and compared byte for byte (tools/test_platforms.sh,
aarch64-python). The inputs are built only from operations that IEEE 754
rounds the same everywhere (parsing, +, -, *, and NumPy's PCG64 doubles,
which are integers scaled by 2^-53), never from a platform's exp or log, so
that any difference comes from the test itself.
"""

import csv
import pathlib

import numpy as np
from larkspur_tools import default_d, gen_spectral

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato
ROOT = pathlib.Path(__file__).resolve().parents[1]


def column(name, field):
    with open(ROOT / "data" / name, newline="", encoding="utf-8") as handle:
        values = np.array([float(row[field]) for row in csv.DictReader(handle)])
    return values[1:] - values[:-1]


def corpus():
    for field in ("DAX", "SMI", "CAC", "FTSE"):
        yield f"EuStockMarkets.{field}", column("EuStockMarkets.csv", field)
    yield "sunspot.year", column("sunspot.year.csv", "value")
    rng = np.random.Generator(np.random.PCG64(20240518))
    # Every n around a fifth power up to 5^5, where the derived d steps.
    sizes = [k**5 + step for k in range(2, 6) for step in (-1, 0, 1)]
    sizes += [int(n) for n in rng.integers(50, 401, size=60)]
    for i, n in enumerate(sizes):
        noise = rng.random(n) - 0.5
        scale = 0.25 + 4.0 * rng.random(n)
        series = noise * scale  # heteroscedastic white noise
        if i % 3 == 1:  # an autoregression, built in plain double arithmetic
            for t in range(1, n):
                series[t] = series[t] + 0.45 * series[t - 1]
        yield f"random.{i}.n{n}", series


def main():
    for name, series in corpus():
        for form in ("ev", "vrtest"):
            spectral = gen_spectral(series, 9, seed=7, form=form, threads=2)
            print(
                name,
                "gst",
                form,
                float(spectral.statistic).hex(),
                float(spectral.error_bound).hex(),
                spectral.rank,
                " ".join(float(value).hex() for value in spectral.sample),
            )
        for q, d in ((2.4, None), (0.5, None), (2.4, 3)):
            result = EL(series, q=q, d=d)
            print(
                name,
                len(series),
                q,
                d,
                default_d(len(series)),
                result.p_tilde,
                float(result.statistic).hex(),
                float(result.pvalue).hex(),
            )


if __name__ == "__main__":
    main()
