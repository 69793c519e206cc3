"""make bench: per-call times of larkspur against the alternatives, measured
in one run on one machine, with ratios.

Baselines:
  numpy  - the same formulas vectorised as a Python user would write them
           (np.dot per lag; sums reordered, so not bit-exact)
  ljung  - statsmodels' acorr_ljungbox at the same lag (the test users would
           otherwise pick; skipped when statsmodels is not installed)
  copy   - np.asarray(list) followed by the array call, for the list route
The straightforward native loop is timed by bench/kernel_bench (same flags).
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np
import pandas as pd
from larkspur_tools import DEFAULT_Q, default_d

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato


def numpy_el(x: np.ndarray, q: float = DEFAULT_Q, d: int | None = None) -> tuple[int, float, float]:
    """The Escanciano–Lobato test in plain NumPy (not bit-exact)."""
    from scipy.stats import chi2

    n = len(x)
    d = default_d(n) if d is None else d
    e = x - x.mean()
    e2 = e * e
    rho2 = np.empty(d)
    for j in range(1, d + 1):
        gamma = np.dot(e[:-j], e[j:]) / (n - j)
        tau = np.dot(e2[:-j], e2[j:]) / (n - j)
        rho2[j - 1] = gamma * gamma / tau
    log_n = math.log(n)
    p = np.arange(1, d + 1)
    bic = math.sqrt(q * log_n) >= math.sqrt(n) * math.sqrt(rho2.max())
    criterion = n * np.cumsum(rho2) - (p * log_n if bic else 2 * p)
    p_tilde = int(np.argmax(criterion)) + 1
    statistic = n * rho2[:p_tilde].sum()
    return p_tilde, statistic, float(chi2.sf(statistic, 1))


def per_call(function, repeats: int, number: int) -> float:
    """Median seconds per call over `repeats` runs of `number` calls."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            function()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def calls_for(seconds_hint: float, budget: float) -> int:
    return max(1, int(budget / max(seconds_hint, 1e-7)))


def timed(function, budget: float, repeats: int) -> float:
    first = per_call(function, 1, 1)
    return per_call(function, repeats, calls_for(first, budget))


def human(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us"
    if seconds < 1:
        return f"{seconds * 1e3:9.2f} ms"
    return f"{seconds:9.2f} s "


def peak_rss_growth(kind: str, n: int) -> int:
    """Peak RSS growth in bytes of one call, measured in a fresh process."""
    code = f"""
import resource, numpy as np
from larkspur import statistical_tests
x = np.random.default_rng(0).standard_normal({n})
data = x if {kind!r} == "array" else x.tolist()
statistical_tests.EscancianoLobato(np.arange(10.0))  # warm up NumPy and the registry
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
statistical_tests.EscancianoLobato(data)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.strip())


def cpu_description() -> str:
    model, flags = platform.processor() or "unknown CPU", []
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name") and model in ("", "unknown CPU", platform.machine()):
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = [f for f in line.split(":", 1)[1].split() if f in ("sse2", "avx2", "fma", "avx512f")]
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, flags: {' '.join(flags)}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="tiny inputs only: keeps the script working in make test")
    args = parser.parse_args()
    budget, repeats = (0.002, 3) if args.quick else (0.2, 7)
    sizes = [250, 1000] if args.quick else [250, 1000, 100_000, 1_000_000, 10_000_000]
    try:
        from statsmodels.stats.diagnostic import acorr_ljungbox
    except ImportError:
        acorr_ljungbox = None
    try:
        import scipy  # noqa: F401

        have_scipy = True
    except ImportError:
        have_scipy = False

    rng = np.random.default_rng(2026)
    print(f"machine: {cpu_description()}")
    print(f"python {platform.python_version()}, numpy {np.__version__}")
    print()
    print(f"{'input':<24} {'larkspur':>12} {'numpy':>12} {'ratio':>8} {'ljung-box':>12} {'ratio':>8}")
    failures = []
    for n in sizes:
        x = rng.standard_normal(n)
        d = default_d(n)
        ours = timed(lambda: EL(x), budget, repeats)
        row = f"{f'float64 array n={n:,}':<24} {human(ours):>12}"
        if have_scipy:
            theirs = timed(lambda: numpy_el(x), budget, repeats)
            row += f" {human(theirs):>12} {theirs / ours:7.1f}x"
            ref = EL(x)
            p_tilde, statistic, _ = numpy_el(x)
            assert p_tilde == ref.p_tilde and math.isclose(statistic, ref.statistic, rel_tol=1e-9)
            if n == 250 and not args.quick and theirs / ours < 20:
                failures.append(f"n=250: only {theirs / ours:.1f}x faster than NumPy")
            if n == 10_000_000 and theirs <= ours:
                failures.append("n=1e7: not faster than NumPy")
        else:
            row += f" {'-':>12} {'-':>8}"
        # acorr_ljungbox correlates in O(n^2): beyond 1e5 one call takes minutes.
        if acorr_ljungbox is not None and n <= 100_000:
            lb = timed(lambda: acorr_ljungbox(x, lags=[d]), budget, repeats if n <= 1000 else 1)
            row += f" {human(lb):>12} {lb / ours:7.1f}x"
            if n == 250 and not args.quick and lb / ours < 100:
                failures.append(f"n=250: only {lb / ours:.1f}x faster than acorr_ljungbox")
        if n == 250 and not args.quick and ours > 2e-6:
            failures.append(f"n=250: {ours * 1e6:.2f} us per call (target 2 us)")
        print(row)

    m = 10_000 if args.quick else 1_000_000
    values = rng.standard_normal(m).tolist()
    series = pd.Series(values)
    direct = timed(lambda: EL(values), budget, repeats)
    via_numpy = timed(lambda: EL(np.asarray(values)), budget, repeats)
    as_series = timed(lambda: EL(series), budget, repeats)
    print()
    print(
        f"{f'list of {m:,} floats':<24} {human(direct):>12}   np.asarray(list) + array call {human(via_numpy)}"
        f"   ratio {direct / via_numpy:.2f}"
    )
    print(f"{f'pandas Series of {m:,}':<24} {human(as_series):>12}")
    if not args.quick and direct / via_numpy > 1.5:
        failures.append(f"list route {direct / via_numpy:.2f}x np.asarray + call (target 1.5x)")

    if not args.quick:
        print()
        for n in (100_000, 10_000_000):
            print(
                f"peak RSS growth of one call, n={n:>10,}: array {peak_rss_growth('array', n) / 1e6:8.2f} MB, "
                f"list {peak_rss_growth('list', n) / 1e6:8.2f} MB (the list is copied once)"
            )
    for failure in failures:
        print(f"TARGET MISSED: {failure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
