"""Same bits with and without the CPU's FMA/AVX2/AVX-512 math paths.

    python tools/hwcaps_check.py --series 100000   # make hwcaps-check
    python tools/hwcaps_check.py --series 2000     # make test

glibc picks FMA or plain code for its exp and log by CPU at load time;
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA,-AVX512F makes it behave as on a
CPU without them. This runs the test on the same random series (n from 50 to
400: white noise, AR(1) and heavy-tailed, so p-values span the whole range)
in two processes, one with that tunable, and requires identical bits for
p~, statistic, p-value, the default d and every column of the companion's
lag table (a digest of its bytes). For contrast it also counts the
p-values of the pure-Python transcription (tests/python/el_reference.py,
which uses Python's math.log/math.exp, i.e. glibc's) that differ between the
two processes: those are the differences the project's own exp and log
remove.
"""

from __future__ import annotations

import argparse
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


def child(path: str) -> None:
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    from el_reference import el_test as reference_el_test
    import hashlib

    from larkspur import statistical_tests
    from larkspur_tools import default_d, lag_table

    data = np.load(path)
    lengths, values = data["lengths"], data["values"]
    out = np.empty((len(lengths), 6), dtype=np.uint64)
    start = 0
    for i, n in enumerate(lengths):
        x = values[start:start + n]
        start += n
        result = statistical_tests.EscancianoLobato(x)
        reference = reference_el_test(x.tolist())
        table = lag_table(x).to_numpy(dtype=np.float64)
        digest = int.from_bytes(hashlib.blake2b(table.tobytes(), digest_size=8).digest(), "little")
        out[i] = (result.p_tilde, np.float64(result.statistic).view(np.uint64),
                  np.float64(result.pvalue).view(np.uint64), default_d(int(n)), digest,
                  np.float64(reference[2]).view(np.uint64))
    sys.stdout.buffer.write(out.tobytes())


def run(path: str, tunable: bool) -> np.ndarray:
    env = dict(os.environ)
    if tunable:
        env["GLIBC_TUNABLES"] = TUNABLE
    else:
        env.pop("GLIBC_TUNABLES", None)
    output = subprocess.run([sys.executable, __file__, "--child", path], env=env, capture_output=True,
                            check=True).stdout
    return np.frombuffer(output, dtype=np.uint64).reshape(-1, 6)


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
        default = run(path, tunable=False)
        restricted = run(path, tunable=True)
    ours = np.any(default[:, :5] != restricted[:, :5], axis=1)
    libm = default[:, 5] != restricted[:, 5]
    print(f"hwcaps: {args.series} series (n 50..400): {int(ours.sum())} differ in p~, statistic, p-value, d "
          "or the lag table "
          f"with {TUNABLE}; the libm-based transcription's p-value differs on {int(libm.sum())}; "
          f"{time.monotonic() - start:.1f} s")
    for index in np.flatnonzero(ours)[:10]:
        print(f"  series {index} (n = {lengths[index]}): {default[index, :5]} vs {restricted[index, :5]}")
    return 1 if ours.any() else 0


if __name__ == "__main__":
    sys.exit(main())
