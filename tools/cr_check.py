"""Checks the project's cr_exp and cr_log against mpmath at 256 bits.

    python tools/cr_check.py --count 10000000   # make cr-check: the long run
    python tools/cr_check.py --count 20000      # make test: a lean sample

Arguments are drawn (fixed seed) over the whole domain of each function:
random bit patterns (every binade, subnormals included), the ranges where
exp overflows, leaves the normal range and underflows to zero, small |x|,
and for log the neighbourhood of 1 and subnormal inputs; then the special
values and the hard cases of data/cr_hard_cases.txt (arguments
whose exp or log lies closest to a rounding boundary, with their correctly
rounded results). The native evaluator build/native/tests/native/cr_eval
computes every result; mpmath (with its gmpy2 backend when installed)
computes the exact value to 256 bits, which is then rounded to nearest-even
binary64 by hand (subnormal grid, overflow at 2^1024 - 2^970). A 256-bit
value decides the rounding because no binary64 exp or log lies within
2^-62 ulp (2^-115 relative) of a midpoint (Lefevre and Muller's worst cases).
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

ROOT = pathlib.Path(__file__).resolve().parent.parent
HARD_CASES = ROOT / "data" / "cr_hard_cases.txt"
EVALUATOR = ROOT / "build" / "native" / "tests" / "native" / "cr_eval"
PRECISION = 256

SMALLEST_NORMAL = mpf(2) ** -1022
OVERFLOW_BOUNDARY = mpf(2) ** 1024 - mpf(2) ** 970


def round_to_double(y: mpf) -> float:
    """Round-to-nearest-even binary64 of an (accurate) mpmath value."""
    if y == 0:
        return 0.0
    sign = -1.0 if y < 0 else 1.0
    y = abs(y)
    if y >= OVERFLOW_BOUNDARY:
        return sign * math.inf
    if y < SMALLEST_NORMAL:
        scaled = y * mpf(2) ** 1074
        floor = int(mp.floor(scaled))
        rest = scaled - floor
        if rest > 0.5 or (rest == 0.5 and floor % 2 == 1):
            floor += 1
        return sign * math.ldexp(floor, -1074)
    with mp.workprec(53):
        rounded = +y  # mpmath rounds to nearest, ties to even
    return sign * float(rounded)


def in_fast_domain(function: str, x: float) -> bool:
    """Where the fast path runs (its contract in numerics/exp_log_fast.hpp)."""
    if function == "exp":
        return 2.0**-54 <= abs(x) and -745.2 <= x <= 709.8
    return 0 < x < math.inf and x != 1


def reference(function: str, x: float, parts: np.ndarray | None) -> tuple[float, float]:
    """The correctly rounded value, and |hi + lo - exact| / err of the fast
    path's parts (0 outside its domain)."""
    if math.isnan(x):
        return math.nan, 0.0
    if function == "exp":
        if math.isinf(x):
            return (math.inf if x > 0 else 0.0), 0.0
        if x == 0:
            return 1.0, 0.0
        exact = mp.exp(mpf(x))
    else:
        if x < 0:
            return math.nan, 0.0
        if x == 0:
            return -math.inf, 0.0
        if math.isinf(x):
            return math.inf, 0.0
        if x == 1:
            return 0.0, 0.0
        exact = mp.log(mpf(x))
    ratio = 0.0
    if parts is not None and in_fast_domain(function, x):
        scaled = exact * mpf(2) ** -int(parts[3]) if function == "exp" else exact
        ratio = float(abs(mpf(float(parts[0])) + mpf(float(parts[1])) - scaled) / mpf(float(parts[2])))
    return round_to_double(exact), ratio


def reference_chunk(job: tuple[str, np.ndarray, np.ndarray | None]) -> tuple[np.ndarray, np.ndarray]:
    function, values, parts = job
    mp.prec = PRECISION
    pairs = [reference(function, float(x), None if parts is None else parts[i]) for i, x in enumerate(values)]
    return (np.array([p[0] for p in pairs], dtype=np.float64), np.array([p[1] for p in pairs], dtype=np.float64))


def from_bits(bits: np.ndarray) -> np.ndarray:
    return bits.astype(np.uint64).view(np.float64)


def exp_arguments(rng: np.random.Generator, count: int) -> np.ndarray:
    parts = count // 8
    random_bits = from_bits(rng.integers(0, 2**64, parts, dtype=np.uint64))
    finite_range = rng.uniform(-745.2, 709.8, parts)
    overflow = 709.782712893384 + rng.uniform(-2e-3, 2e-3, parts)
    normal_edge = -708.3964185322641 + rng.uniform(-2e-3, 2e-3, parts)
    underflow = rng.uniform(-745.2, -708.3, parts)
    zero_edge = -745.1332191019411 + rng.uniform(-1e-3, 1e-3, parts)
    small = rng.choice([-1.0, 1.0], parts) * np.ldexp(rng.uniform(1, 2, parts), rng.integers(-60, 1, parts))
    moderate = rng.uniform(-40, 40, count - 7 * parts)
    return np.concatenate([random_bits, finite_range, overflow, normal_edge, underflow, zero_edge, small, moderate])


def log_arguments(rng: np.random.Generator, count: int) -> np.ndarray:
    parts = count // 6
    positive_bits = from_bits(rng.integers(0, 0x7FF0000000000000, parts, dtype=np.uint64))
    subnormal = from_bits(rng.integers(1, 0x0010000000000000, parts, dtype=np.uint64))
    near_one = 1.0 + rng.uniform(-(2.0**-7), 2.0**-6, parts)
    very_near_one = 1.0 + rng.choice([-1.0, 1.0], parts) * np.ldexp(
        rng.uniform(1, 2, parts), rng.integers(-53, -7, parts)
    )
    ulps_from_one = from_bits(
        np.uint64(0x3FF0000000000000) + rng.integers(-(2**20), 2**20, parts).astype(np.int64).astype(np.uint64)
    )
    ordinary = rng.uniform(0, 1000, count - 5 * parts)
    return np.concatenate([positive_bits, subnormal, near_one, very_near_one, ulps_from_one, ordinary])


SPECIALS = [
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    1.0,
    -1.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
]


def hard_cases() -> list[tuple[str, float, float]]:
    cases = []
    for line in HARD_CASES.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        function, x, result, _ = line.split()
        cases.append((function, float.fromhex(x), math.inf if result == "inf" else float.fromhex(result)))
    return cases


def check_derived_lag() -> int:
    """The default d is the integer fifth root; below 2^40 that is the floor of
    a correctly rounded pow(n, 0.2): the exact n^0.2 (0.2 the double nearest
    1/5) must round to k or above at n = k^5 and below k at n = k^5 - 1, for
    every k (y is increasing in n, so these two sides decide every n). Also
    reports the first k^5 - 1 above 2^40 where the two rules part."""
    failures = 0
    exponent = mpf(0.2)
    for k in range(2, 257):
        for n, floor_wanted in ((k**5, k), (k**5 - 1, k - 1)):
            if n >= 2**40:
                continue
            rounded = round_to_double(mp.power(mpf(float(n)), exponent))
            if math.floor(rounded) != floor_wanted:
                failures += 1
                print(f"derived d: floor(RN({n}^0.2)) = {math.floor(rounded)}, integer root {floor_wanted}")
    first = next(
        (k for k in range(257, 7132) if math.floor(round_to_double(mp.power(mpf(float(k**5 - 1)), exponent))) != k - 1),
        None,
    )
    print(
        f"derived d: integer root = floor(correctly rounded pow) at every k^5 - 1, k^5 below 2^40; "
        f"first k^5 - 1 where they part: k = {first}"
    )
    return failures


def evaluate(mode: str, values: np.ndarray) -> np.ndarray:
    output = subprocess.run(
        [str(EVALUATOR), mode], input=values.astype(np.float64).tobytes(), capture_output=True, check=True
    ).stdout
    return np.frombuffer(output, dtype=np.float64)


def evaluate_parts(function: str, values: np.ndarray) -> np.ndarray:
    """The fast path's (hi, lo, err[, m]) where it runs; zeros elsewhere."""
    width = 4 if function == "exp" else 3
    parts = np.zeros((len(values), 4))
    with np.errstate(invalid="ignore"):
        if function == "exp":
            inside = (np.abs(values) >= 2.0**-54) & (values >= -745.2) & (values <= 709.8)
        else:
            inside = (values > 0) & (values < np.inf) & (values != 1)
    if inside.any():
        parts[inside, :width] = evaluate(f"{function}-parts", values[inside]).reshape(-1, width)
    return parts


def same(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return (a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=20000, help="random arguments in total (half each)")
    parser.add_argument("--jobs", type=int, default=2, help="processes computing the mpmath reference")
    parser.add_argument("--seed", type=int, default=18)
    args = parser.parse_args()
    start = time.monotonic()
    rng = np.random.default_rng(args.seed)
    mp.prec = PRECISION
    failures = check_derived_lag()

    cases = hard_cases()
    for function in ("exp", "log"):
        listed = [(x, y) for f, x, y in cases if f == function]
        xs = np.array([x for x, _ in listed])
        expected = np.array([y for _, y in listed])
        got = evaluate(function, xs)
        ref, _ = reference_chunk((function, xs, None))
        for x, e, g, r in zip(xs, expected, got, ref):
            if not same(np.array([g]), np.array([e]))[0] or not same(np.array([r]), np.array([e]))[0]:
                failures += 1
                print(
                    f"hard case {function}({float(x).hex()}): listed {float(e).hex()}, "
                    f"ours {float(g).hex()}, mpmath {float(r).hex()}"
                )
        print(f"{function}: {len(listed)} hard cases checked")

    generators = {"exp": exp_arguments, "log": log_arguments}
    with multiprocessing.Pool(args.jobs) as pool:
        for function in ("exp", "log"):
            xs = np.concatenate([generators[function](rng, args.count // 2), np.array(SPECIALS)])
            got = evaluate(function, xs)
            parts = evaluate_parts(function, xs)
            pieces = max(1, len(xs) // 20000)
            jobs = [
                (function, chunk, part)
                for chunk, part in zip(np.array_split(xs, pieces), np.array_split(parts, pieces))
            ]
            results = pool.map(reference_chunk, jobs)
            ref = np.concatenate([r for r, _ in results])
            ratio = np.concatenate([q for _, q in results])
            # The accurate path decides only rare arguments: run it on every
            # argument of its domain (the fast path's) against the same values.
            inside = np.flatnonzero(parts[:, 2] > 0)
            accurate = evaluate(f"{function}-accurate", xs[inside])
            wrong = inside[~same(accurate, ref[inside])]
            failures += len(wrong)
            for index in wrong[:20]:
                print(
                    f"{function}({float(xs[index]).hex()}): accurate path gives "
                    f"{float(accurate[list(inside).index(index)]).hex()}, correctly rounded {float(ref[index]).hex()}"
                )
            bad = np.flatnonzero(~same(got, ref))
            failures += len(bad)
            for index in bad[:20]:
                print(
                    f"{function}({float(xs[index]).hex()}): ours {float(got[index]).hex()}, "
                    f"correctly rounded {float(ref[index]).hex()}"
                )
            # The rounding test is only as sound as the fast path's error bound.
            over = np.flatnonzero(ratio > 1)
            failures += len(over)
            for index in over[:20]:
                print(f"{function}({float(xs[index]).hex()}): fast path error {ratio[index]:.3g} times its bound")
            print(
                f"{function}: {len(xs)} arguments, {len(bad)} misrounded; fast path error at most "
                f"{ratio.max():.3g} of its bound; accurate path alone: {len(wrong)} of {len(inside)} misrounded"
            )

    print(f"cr_check: {failures} failures, {time.monotonic() - start:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
