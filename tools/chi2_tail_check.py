"""Checks the native chi-squared upper tail against mpmath at 256 bits.

    python tools/chi2_tail_check.py --count 4000     # make numerics-check: a lean sample
    python tools/chi2_tail_check.py --count 200000   # a long run

Points (x, df), fixed seed: df from 1 to 300 (Ljung-Box with up to 300
lags) and a few far larger ones; x tiny (down to 2^-130, where the tail
rounds to 1), moderate (the bulk, df + t sqrt(2 df)), large (the deep tail
down to the subnormals and past the last one) and huge (up to the largest
double), plus the special values. The native evaluator
build/native/tests/native/cr_eval (mode chi2-tail) computes each tail;
mpmath's regularised upper incomplete gamma Q(df/2, x/2) the exact value,
which is rounded to binary64 by hand (subnormal grid). Reports the largest
error in ulps of the exact value (subnormal ulps below 2^-1022) and fails
above --max-ulps.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import pathlib
import subprocess
import sys
import time

import numpy as np
from mpmath import mp, mpf

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cr_check import EVALUATOR, PRECISION  # noqa: E402

SMALLEST_NORMAL = mpf(2) ** -1022


def exact_tail(x: float, df: int) -> mpf:
    if math.isnan(x):
        return mpf("nan")
    if x <= 0:
        return mpf(1)
    if math.isinf(x):
        return mpf(0)
    a, y = mpf(df) / 2, mpf(x) / 2
    try:
        return mp.gammainc(a, y, mp.inf, regularized=True)
    except mp.NoConvergence:  # large a, y well above it: beyond mpmath's series budget
        return legendre_fraction(a, y)


def legendre_fraction(a: mpf, y: mpf) -> mpf:
    """Q(a, y) for y > a + 1 from Legendre's continued fraction (DLMF 8.9.2,
    even part, Numerical Recipes eq. 6.2.7) by the modified Lentz method, at
    the working precision: a method the native code does not use."""
    tiny = mpf(2) ** -(4 * mp.prec)
    tolerance = mpf(2) ** -(mp.prec - 8)
    b = y + 1 - a
    c = 1 / tiny
    d = 1 / b
    h = d
    for i in range(1, 10**7):
        numerator = -i * (i - a)
        b += 2
        d = numerator * d + b
        d = tiny if d == 0 else d
        c = b + numerator / c
        c = tiny if c == 0 else c
        d = 1 / d
        delta = d * c
        h *= delta
        if abs(delta - 1) < tolerance:
            return mp.exp(a * mp.log(y) - y - mp.loggamma(a)) * h
    raise mp.NoConvergence("Legendre's fraction")


def ulp_error(got: float, exact: mpf) -> float:
    """|got - exact| in units of the spacing of doubles at the exact value."""
    if math.isnan(got) or mp.isnan(exact):
        return 0.0 if (math.isnan(got) and mp.isnan(exact)) else math.inf
    if exact == 0:
        return 0.0 if got == 0 else math.inf
    if exact < SMALLEST_NORMAL:
        unit = mpf(2) ** -1074
    else:
        unit = mpf(2) ** (int(mp.floor(mp.log(exact, 2))) - 52)
    return float(abs(mpf(got) - exact) / unit)


def errors_chunk(job: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    points, got = job
    mp.prec = PRECISION
    return np.array([ulp_error(float(g), exact_tail(float(x), int(df))) for (x, df), g in zip(points, got)])


def make_points(rng: np.random.Generator, count: int) -> np.ndarray:
    parts = count // 5
    df = rng.integers(1, 301, count).astype(np.float64)
    # Large df: every few hundredth point (the sum's length grows with df).
    large = rng.choice([1000.0, 4001.0, 100000.0, 1000001.0, 2.0**32], count)
    df = np.where(rng.uniform(0, 1, count) < 0.02, large, df)
    spread = np.sqrt(2 * df)
    tiny = np.ldexp(rng.uniform(1, 2, parts), rng.integers(-130, 0, parts))
    moderate = np.maximum(df[parts : 2 * parts] + rng.uniform(-4, 8, parts) * spread[parts : 2 * parts], 1e-3)
    bulk = rng.uniform(0, 3, parts) * df[2 * parts : 3 * parts] + rng.uniform(0, 10, parts)
    # The deep tail: the true value runs down to 2^-1074 near x = 1490 + 2 df ln(x) and past it.
    deep = rng.uniform(60, 1600, parts) + df[3 * parts : 4 * parts] * rng.uniform(1, 4, parts)
    huge = np.ldexp(rng.uniform(1, 2, count - 4 * parts), rng.integers(10, 1024, count - 4 * parts))
    x = np.concatenate([tiny, moderate, bulk, deep, huge])
    special_x = [
        math.nan,
        -1.0,
        -0.0,
        0.0,
        5e-324,
        2.0**-120,
        2.0**-121,
        1.0,
        2.0,
        4.0,
        70.13,
        1e300,
        1.7976931348623157e308,
        math.inf,
    ]
    specials = [(sx, sdf) for sx in special_x for sdf in (1.0, 2.0, 3.0, 4.0, 299.0, 300.0)]
    return np.concatenate([np.column_stack([x, df]), np.array(specials)])


def evaluate(points: np.ndarray) -> np.ndarray:
    output = subprocess.run(
        [str(EVALUATOR), "chi2-tail"], input=points.astype(np.float64).tobytes(), capture_output=True, check=True
    ).stdout
    return np.frombuffer(output, dtype=np.float64)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=4000, help="random points")
    parser.add_argument("--jobs", type=int, default=2, help="processes computing the mpmath reference")
    parser.add_argument("--seed", type=int, default=25)
    parser.add_argument("--max-ulps", type=float, default=2.0, help="largest error allowed, in ulps")
    args = parser.parse_args()
    start = time.monotonic()
    points = make_points(np.random.default_rng(args.seed), args.count)
    got = evaluate(points)
    pieces = max(1, min(len(points) // 200, 8 * args.jobs))
    with multiprocessing.Pool(args.jobs) as pool:
        errors = np.concatenate(
            pool.map(errors_chunk, list(zip(np.array_split(points, pieces), np.array_split(got, pieces))))
        )
    order = np.argsort(-errors)
    worst = errors[order[0]]
    over = np.flatnonzero(errors > args.max_ulps)
    for index in order[:5]:
        x, df = points[index]
        print(f"  x = {x!r} ({float(x).hex()}), df = {int(df)}: {got[index]!r}, {errors[index]:.3f} ulp")
    correctly_rounded = int(np.sum(errors <= 0.5))
    print(
        f"chi2_tail_check: {len(points)} points, largest error {worst:.3f} ulp, {correctly_rounded} within "
        f"half an ulp, {len(over)} above {args.max_ulps} ulp; {time.monotonic() - start:.1f} s"
    )
    return 1 if len(over) else 0


if __name__ == "__main__":
    sys.exit(main())
