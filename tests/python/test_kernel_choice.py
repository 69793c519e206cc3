"""The kernel variant from the environment: each one the CPU supports gives
the same bits through both paths (one series at a time, and side by side in
el_many) and reports itself; a bad setting refuses to import, with its text."""

from importlib import metadata

import larkspur_tools
import pytest
from conftest import run_python
from larkspur_tools import _batch, cli

# Bits of both paths: el_many with d up to the side-by-side limit (32) and
# past it, over a panel with failures; single series across kernel blocks.
PROBE = """
import hashlib, io, numpy as np, larkspur, larkspur_tools
from larkspur_tools import _batch
rng = np.random.default_rng(26)
panel = rng.standard_normal((400, 21)) * np.exp(rng.standard_normal(21) * 20)
panel[:, 3] = 1.0
panel[:, 5] *= 2.0 ** -262 / np.abs(panel[:, 5]).max()  # tiny: the rescaling check
digest = hashlib.sha256()
for d in (None, 7, 32, 45):
    r = larkspur_tools.el_many(panel, d=d, errors="mask")
    digest.update(r.p_tilde.tobytes() + r.statistic.tobytes() + r.pvalue.tobytes() + repr(r.message).encode())
for d in (1, 8, 17, 33, 65, 300):
    r = larkspur.statistical_tests.EscancianoLobato(panel[:, 0], 2.4, d)
    digest.update(repr((r.p_tilde, r.statistic.hex(), r.pvalue.hex())).encode())
shown = io.StringIO()
larkspur_tools.show_config(shown)
running = [line.split()[-1] for line in shown.getvalue().splitlines() if line.startswith("kernel running:")]
print(_batch.kernel_info()["running"], running[0], digest.hexdigest())
"""


# The batch module imported without the package (whose import would fail
# first, on the extension's own check).
BATCH_ALONE = """
import glob, importlib.machinery, importlib.util, os
where = importlib.util.find_spec("larkspur_tools").submodule_search_locations[0]
path = [p for p in glob.glob(os.path.join(where, "_batch.*")) if not p.endswith(".pyi")][0]
loader = importlib.machinery.ExtensionFileLoader("larkspur_tools._batch", path)
importlib.util.module_from_spec(importlib.util.spec_from_loader("larkspur_tools._batch", loader))
"""

UNSET = {"LARKSPUR_KERNEL": "", "LARKSPUR_DISABLE_KERNELS": ""}  # empty is unset


def probe(env):
    result = run_python(PROBE, {**UNSET, **env})
    assert result.returncode == 0, result.stderr[-2000:]
    running, shown, digest = result.stdout.split()
    assert shown == running
    return running, digest


def test_every_supported_variant_gives_the_same_bits():
    info = _batch.kernel_info()
    assert {"scalar", "generic"} <= set(info["supported"]) <= set(info["compiled"])
    default = probe({})
    assert default[0] == info["supported"][-1]  # the widest
    for name in info["supported"]:
        assert probe({"LARKSPUR_KERNEL": name}) == (name, default[1])
    # Masking the default falls back to the next widest, with the same bits.
    assert probe({"LARKSPUR_DISABLE_KERNELS": default[0]}) == (info["supported"][-2], default[1])


@pytest.mark.parametrize(
    "env, message",
    [
        ({"LARKSPUR_KERNEL": "fast"}, "LARKSPUR_KERNEL='fast' is not a kernel variant of this build; it has: scalar, "),
        (
            {"LARKSPUR_DISABLE_KERNELS": "scalar,fast"},
            "LARKSPUR_DISABLE_KERNELS='scalar,fast': 'fast' is not a kernel variant of this build; it has: scalar, ",
        ),
        (
            {"LARKSPUR_KERNEL": "generic", "LARKSPUR_DISABLE_KERNELS": "generic"},
            "LARKSPUR_KERNEL='generic' is also disabled by LARKSPUR_DISABLE_KERNELS='generic'\n",
        ),
    ],
)
@pytest.mark.parametrize("importing", ["import larkspur", BATCH_ALONE], ids=["larkspur", "_batch"])
def test_a_bad_setting_refuses_to_import(env, message, importing):
    result = run_python(importing, {**UNSET, **env})
    assert result.returncode == 1
    assert f"RuntimeError: {message}" in result.stderr


def test_show_config_from_the_command(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--show-config"])
    assert exit_.value.code == 0
    shown = dict(line.split(":", 1) for line in capsys.readouterr().out.splitlines())
    assert list(shown) == [
        "larkspur",
        "NumPy",
        "Python",
        "platform",
        "kernel running",
        "kernels supported",
        "kernels compiled",
        "LARKSPUR_KERNEL",
        "LARKSPUR_DISABLE_KERNELS",
    ]
    # One version: the package's, the installed distribution's (absent when
    # the package runs from a build tree, as in the NumPy 1.x check) and the one shown.
    try:
        installed = metadata.version("larkspur")
    except metadata.PackageNotFoundError:
        installed = larkspur_tools.__version__
    assert shown["larkspur"].split()[0] == larkspur_tools.__version__ == installed
    assert shown["kernel running"].strip() == _batch.kernel_info()["running"]
    assert shown["kernels supported"].strip() == ", ".join(_batch.kernel_info()["supported"])
