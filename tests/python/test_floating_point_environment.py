"""The caller's floating-point mode changes no bit and comes back unchanged.

Each mode is set in a fresh interpreter: a directed rounding mode through
libm's fesetround, or flush-to-zero with denormals-are-zero by loading a
library built with -Ofast (its start-up code sets them for the whole
process, as any such library a user loads would)."""

import json
import os
import platform
import shlex
import subprocess
import sysconfig

import pytest
from conftest import run_python

FAST_MATH_SOURCE = r"""
#include <stdint.h>
/* The control register with flush-to-zero (and DAZ on x86-64), flags masked off. */
uint64_t read_control(void) {
#if defined(__x86_64__)
    uint32_t csr;
    __asm__ __volatile__("stmxcsr %0" : "=m"(csr));
    return csr & ~0x3Fu;
#elif defined(__aarch64__)
    uint64_t fpcr;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
#else
    return 0;
#endif
}
double flushed(double x) { return x + 0.0; } /* 0 for a subnormal x when flushing */
"""

# fesetround's argument differs between architectures.
ROUNDING = {
    "x86_64": {"upward": 0x800, "downward": 0x400, "toward_zero": 0xC00},
    "aarch64": {"upward": 0x400000, "downward": 0x800000, "toward_zero": 0xC00000},
}[platform.machine()]

CHILD = r"""
import ctypes, ctypes.util, json, math, sys
import numpy as np
from larkspur import statistical_tests
from larkspur_tools import bootstrap, el_many, gen_spectral

mode, library = sys.argv[1], sys.argv[2]

def ar(seed, n, scale):
    z = np.random.default_rng(seed).standard_normal(n + 1)
    return (z[1:] + 0.3 * z[:-1]) * scale

corpus = [[1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [1.0, -1.0] * 4]
corpus += [ar(seed, n, scale) for seed, n in enumerate((9, 250, 1000, 4096))
           for scale in (1.0, 1e-78, 2.0**-255, 1e-300, 1e70)]
panel = np.stack([ar(seed, 250, 1.0) for seed in range(16)])
short = ar(99, 100, 1.0)  # made before the mode is set: NumPy's normals depend on it

def outcomes():
    found = []
    for x in corpus:
        for d in (None, 3):
            try:
                r = statistical_tests.EscancianoLobato(x, d=d)
                found.append([r.p_tilde, r.statistic.hex(), r.pvalue.hex()])
            except (ValueError, OSError) as error:
                found.append([type(error).__name__, str(error)])
    # Series of one length side by side, on this thread (so in its mode).
    many = el_many(panel, axis=1, threads=1)
    found.append([many.p_tilde.tolist(), many.statistic.tobytes().hex(), many.pvalue.tobytes().hex()])
    # The bootstrap's count and its final division (13 / 100 rounds down under FE_DOWNWARD).
    for weights in ("rademacher", "mammen"):
        boot = bootstrap(short, 99, seed=1, weights=weights)
        found.append([boot.exceedances, boot.tested, boot.pvalue.hex(), boot.sample.tobytes().hex()])
    # The second test's statistic, bound and replicates.
    spectral = gen_spectral(panel[0], 49, seed=2)
    found.append([spectral.statistic.hex(), spectral.error_bound.hex(), spectral.sample.tobytes().hex()])
    return found

libm = ctypes.CDLL(ctypes.util.find_library("m"))
probe = ctypes.CDLL(library)
probe.read_control.restype = ctypes.c_uint64
probe.flushed.restype, probe.flushed.argtypes = ctypes.c_double, [ctypes.c_double]
expected = outcomes()
if mode == "flush_to_zero":
    ctypes.CDLL(library.replace("probe", "fast"))
else:
    assert libm.fesetround(int(mode)) == 0
rounding, control, flushes = libm.fegetround(), probe.read_control(), probe.flushed(5e-324) == 0.0
actual = outcomes()
print(json.dumps({"same": actual == expected, "changed": [i for i, (a, b) in enumerate(zip(actual, expected)) if a != b],
                  "mode_kept": (rounding, control, flushes) == (libm.fegetround(), probe.read_control(), probe.flushed(5e-324) == 0.0),
                  "rounding": rounding, "flushes": flushes}))
"""


@pytest.fixture(scope="module")
def libraries(tmp_path_factory):
    """A probe built without -Ofast (reads the modes) and the same code with it."""
    directory = tmp_path_factory.mktemp("fast_math")
    source = directory / "fast_math.c"
    source.write_text(FAST_MATH_SOURCE)
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")[0]
    # GCC 13 and newer link the start-up code that sets the modes into a
    # shared library only when asked (-mdaz-ftz, x86); older ones refuse the flag.
    ask = subprocess.run([compiler, "-mdaz-ftz", "-E", "-x", "c", os.devnull], capture_output=True).returncode == 0
    for name, flags in (("probe", ["-O2"]), ("fast", ["-Ofast", *(["-mdaz-ftz"] if ask else [])])):
        subprocess.run(
            [compiler, *flags, "-shared", "-fPIC", "-o", str(directory / f"lib{name}.so"), str(source)],
            check=True,
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
    return directory / "libprobe.so"


@pytest.mark.parametrize("mode", ["upward", "downward", "toward_zero", "flush_to_zero"])
def test_callers_mode_changes_no_bit(libraries, mode):
    argument = "flush_to_zero" if mode == "flush_to_zero" else str(ROUNDING[mode])
    result = run_python(CHILD.replace("sys.argv[1], sys.argv[2]", f"{argument!r}, {str(libraries)!r}"))
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    # The mode really was in force around the calls, and is still.
    if mode == "flush_to_zero":
        assert report["flushes"]
    else:
        assert report["rounding"] == ROUNDING[mode]
    assert report["mode_kept"]
    assert report["same"], report["changed"]
