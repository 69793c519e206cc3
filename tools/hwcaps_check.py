"""Same bits with and without the CPU's FMA/AVX2/AVX-512 math paths.

    python tools/hwcaps_check.py --series 100000   # make hwcaps-check
    python tools/hwcaps_check.py --series 2000     # make test

glibc picks FMA or plain code for its exp and log by CPU at load time;
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA,-AVX512F makes it behave as on a
CPU without them. This runs the test on the same random series (n from 50 to
400: white noise, AR(1) and heavy-tailed, so p-values span the whole range)
in two processes, one with that tunable, and requires identical bits for
p~, statistic, p-value, the default d and every column of the companion's
lag table (a digest of its bytes), and for the exact chi-squared tail of the
companion package (larkspur_tools._batch.chi2_upper_tail) on a grid of
df = 1..300 and statistics from the bulk to the subnormal tail (also
counting, for contrast, the tails of the math-library sum it replaces that
differ). For contrast it also counts the
p-values of the pure-Python transcription (tests/python/el_reference.py,
which uses Python's math.log/math.exp, i.e. glibc's) that differ between the
two processes: those are the differences the project's own exp and log
remove.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
TUNABLE = "glibc.cpu.hwcaps=-AVX2,-FMA,-AVX512F"


def make_series(count: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    lengths = rng.integers(50, 401, count)
    values = []
    for i, n in enumerate(lengths):
        kind = i % 3
        noise = rng.standard_normal(n) if kind != 2 else rng.standard_t(3, n)
        if kind == 1:
            phi = rng.uniform(-0.4, 0.4)
            for t in range(1, n):
                noise[t] += phi * noise[t - 1]
        values.append(noise)
    return lengths, np.concatenate(values)


def tail_points() -> tuple[np.ndarray, np.ndarray]:
    """(x, df) for the chi-squared tail: df = 1..300, x from well inside
    the bulk (a twentieth of the mean) to where the tail is subnormal."""
    df = np.repeat(np.arange(1, 301), 12)
    factors = np.tile([0.05, 0.5, 0.9, 1.0, 1.1, 1.5, 2.0, 3.0], 300)
    x = np.empty(len(df))
    x[np.arange(len(df)) % 12 < 8] = (np.arange(1, 301).repeat(8) * factors) + 0.37
    far = np.tile([70.2, 250.0, 900.0, 1480.0], 300) + np.arange(1, 301).repeat(4) * 2.5
    x[np.arange(len(df)) % 12 >= 8] = far
    return x, df


def libm_tail(x: float, df: int) -> float:
    """The same tail from the math library's erfc, exp and lgamma (the sum of
    DLMF 8.8.2 that the companion package used before): for contrast only."""
    y = x / 2.0
    total, a = (math.erfc(math.sqrt(y)), 0.5) if df % 2 else (0.0, 0.0)
    log_y = math.log(y)
    while a < df / 2.0:
        total += math.exp(a * log_y - y - math.lgamma(a + 1.0))
        a += 1.0
    return min(total, 1.0)


def child(path: str) -> None:
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    import hashlib

    from el_reference import el_test as reference_el_test
    from larkspur_tools import _batch, default_d, lag_table

    from larkspur import statistical_tests

    data = np.load(path)
    lengths, values = data["lengths"], data["values"]
    out = np.empty((len(lengths), 6), dtype=np.uint64)
    start = 0
    for i, n in enumerate(lengths):
        x = values[start : start + n]
        start += n
        result = statistical_tests.EscancianoLobato(x)
        reference = reference_el_test(x.tolist())
        table = lag_table(x).to_numpy(dtype=np.float64)
        digest = int.from_bytes(hashlib.blake2b(table.tobytes(), digest_size=8).digest(), "little")
        out[i] = (
            result.p_tilde,
            np.float64(result.statistic).view(np.uint64),
            np.float64(result.pvalue).view(np.uint64),
            default_d(int(n)),
            digest,
            np.float64(reference[2]).view(np.uint64),
        )
    x, df = tail_points()
    tails = np.array(
        [_batch.chi2_upper_tail(float(v), int(k)) for v, k in zip(x, df)]
        + [libm_tail(float(v), int(k)) for v, k in zip(x, df)]
    )
    sys.stdout.buffer.write(out.tobytes() + tails.view(np.uint64).tobytes())


def run(path: str, tunable: bool, series: int) -> tuple[np.ndarray, np.ndarray]:
    env = dict(os.environ)
    if tunable:
        env["GLIBC_TUNABLES"] = TUNABLE
    else:
        env.pop("GLIBC_TUNABLES", None)
    output = subprocess.run(
        [sys.executable, __file__, "--child", path], env=env, capture_output=True, check=True
    ).stdout
    words = np.frombuffer(output, dtype=np.uint64)
    return words[: 6 * series].reshape(-1, 6), words[6 * series :]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=18)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return 0
    start = time.monotonic()
    lengths, values = make_series(args.series, args.seed)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "series.npz")
        np.savez(path, lengths=lengths, values=values)
        default, default_tails = run(path, tunable=False, series=args.series)
        restricted, restricted_tails = run(path, tunable=True, series=args.series)
    ours = np.any(default[:, :5] != restricted[:, :5], axis=1)
    libm = default[:, 5] != restricted[:, 5]
    count = len(default_tails) // 2
    tails = np.flatnonzero(default_tails[:count] != restricted_tails[:count])
    libm_tails = int(np.sum(default_tails[count:] != restricted_tails[count:]))
    print(
        f"hwcaps: {args.series} series (n 50..400): {int(ours.sum())} differ in p~, statistic, p-value, d "
        "or the lag table "
        f"with {TUNABLE}; the libm-based transcription's p-value differs on {int(libm.sum())}; "
        f"chi-squared tail: {len(tails)} of {count} differ (libm-based: {libm_tails}); {time.monotonic() - start:.1f} s"
    )
    for index in np.flatnonzero(ours)[:10]:
        print(f"  series {index} (n = {lengths[index]}): {default[index, :5]} vs {restricted[index, :5]}")
    x, df = tail_points()
    for index in tails[:10]:
        print(
            f"  chi2_upper_tail({x[index]!r}, {df[index]}): {default_tails[index]:#x} vs {restricted_tails[index]:#x}"
        )
    return 1 if ours.any() or len(tails) else 0


if __name__ == "__main__":
    sys.exit(main())
