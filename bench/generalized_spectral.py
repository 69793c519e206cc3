"""make bench: the generalized spectral test's cost, against the direct
algorithm measured in the same run.

Baseline: the direct O(n^3) algorithm in NumPy (every lag's quadratic form
with the block's kernel matrix, the kernel made once; the peer's way),
timed on a few replicates and scaled to B + 1 evaluations. Measured:
`gen_spectral(x, B, threads=1)` from the raw series to the p-value. Then
the cost per replicate from n = 1e3 to 1e5 and its growth exponent, the
whole run at n = 1e4 and 1e5 with B = 999, two threads against one, and the
peak memory of a run at n = 1e5 (a child process's largest resident set,
less what it held before the call).

Targets on this machine: at least 300x the direct algorithm at n = 1000,
B = 299; growth no faster than n^1.2; n = 1e4, B = 999 under 5 s; n = 1e5,
B = 999 under 2 minutes; two threads at least 1.7x one; peak memory at
n = 1e5 under 200 MB.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
from larkspur_tools import gen_spectral


def direct(y: np.ndarray, kernel: np.ndarray, multipliers: np.ndarray | None) -> float:
    """T (or T* for multipliers V) by every lag's quadratic form."""
    n = len(y)
    s2 = np.mean((y - y.mean()) ** 2)
    a_all = y - y.mean() if multipliers is None else (y - y.mean()) * multipliers
    total = 0.0
    for j in range(1, n):
        # Centred on the block: for a replicate a' (P k P) a = (P a)' k (P a).
        block = a_all[j:] - a_all[j:].mean()
        total += float(block @ kernel[: n - j, : n - j] @ block) / ((n - j) * (j * math.pi) ** 2)
    return total / s2


# The baseline runs in a child with one BLAS thread, as the measured side
# runs on one, and with the BLAS's own kernel choice (this machine's
# environment may pin an older, slower one).
BASELINE_ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
BASELINE_UNSET = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def direct_seconds_in_child(n: int, B: int, sampled: int) -> float:
    env = {k: v for k, v in os.environ.items() if k not in BASELINE_UNSET} | BASELINE_ENV
    code = (
        f"import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r}); import numpy as np; "
        f"import generalized_spectral as g; "
        f"print(g.direct_seconds(np.random.default_rng(2026).standard_normal({n}), {B}, {sampled}))"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    return float(child.stdout.split()[-1])


def direct_seconds(y: np.ndarray, B: int, sampled: int) -> float:
    start = time.perf_counter()
    z = (y - y.mean()) / y.std()
    kernel = np.exp(-((z[:-1, None] - z[None, :-1]) ** 2) / 2)
    direct(y, kernel, None)
    rng = np.random.default_rng(1)
    for _ in range(sampled):
        direct(y, kernel, np.where(rng.random(len(y)) < 0.5, -1.0, 1.0))
    per = (time.perf_counter() - start) / (sampled + 1)
    return per * (B + 1)


def least(function, repeats: int) -> float:
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


# The resident peak is read from /proc (VmHWM) after resetting it: a child
# started by fork and exec inherits its parent's ru_maxrss.
PEAK_CHILD = """
import numpy as np
from larkspur_tools import gen_spectral

def status(key):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(key))

x = np.random.default_rng(3).standard_{kind}
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak restarts from the current resident set
before = status("VmRSS:")
gen_spectral(x, {B}, seed=1, threads=1)
after = status("VmHWM:")
print((after - before) / 1024, after / 1024)
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny inputs only: keeps the script working in make test")
    args = parser.parse_args()
    rng = np.random.default_rng(2026)
    quick = args.quick
    n0, B0 = (120, 19) if quick else (1000, 299)
    x = rng.standard_normal(n0)
    ours = least(lambda: gen_spectral(x, B0, seed=1, threads=1), 1 if quick else 5)
    baseline = direct_seconds_in_child(n0, B0, 1 if quick else 4)
    print(
        f"n = {n0}, B = {B0}: direct {baseline:.2f} s (one BLAS thread, scaled from sampled replicates), gen_spectral "
        f"{ours:.4f} s: {baseline / ours:.0f}x (target 300x)"
    )

    sizes = [250, 1000] if quick else [1000, 10_000, 100_000]
    per_replicate = []
    for n in sizes:
        y = rng.standard_normal(n)
        B = 9 if quick else max(19, 200_000 // n)
        once = least(lambda: gen_spectral(y, 1, seed=1, threads=1), 1 if quick else 3)
        run = least(lambda: gen_spectral(y, B + 1, seed=1, threads=1), 1 if quick else 3)
        per_replicate.append(max(run - once, 1e-9) / B)
        print(f"n = {n}: {1e3 * per_replicate[-1]:.3f} ms per replicate (B = {B})")
    if quick:
        return 0
    exponent = math.log(per_replicate[-1] / per_replicate[0]) / math.log(sizes[-1] / sizes[0])
    print(f"growth of the cost per replicate, n = {sizes[0]} to {sizes[-1]}: n^{exponent:.2f} (target <= 1.2)")

    for n, limit in ((10_000, 5.0), (100_000, 120.0)):
        y = rng.standard_normal(n)
        whole = least(lambda: gen_spectral(y, 999, seed=1, threads=1), 1)
        print(f"n = {n}, B = 999, one thread: {whole:.1f} s (target under {limit:g} s)")

    y = rng.standard_normal(10_000)
    one = least(lambda: gen_spectral(y, 299, seed=1, threads=1), 3)
    two = least(lambda: gen_spectral(y, 299, seed=1, threads=2), 3)
    print(f"n = 10000, B = 299: two threads {one / two:.2f}x one (target 1.7x)")

    for name, kind in (("normal", "normal(100_000)"), ("Student t3", "t(3, 100_000)")):
        child = subprocess.run(
            [sys.executable, "-c", PEAK_CHILD.format(kind=kind, B=49)], capture_output=True, text=True, check=True
        )
        grown, total = (float(v) for v in child.stdout.split())
        print(
            f"n = 100000, {name}: peak memory of a run {grown:.0f} MB above the process before it "
            f"({total:.0f} MB in all; target under 200 MB)"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
