import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Test-only extension modules are built into the native build tree.
SUPPORT_DIR = pathlib.Path(os.environ.get("LARKSPUR_SUPPORT_DIR", ROOT / "build" / "native" / "python_support"))
sys.path.insert(0, str(SUPPORT_DIR))
# A sanitizer build of the extension itself is tested from its build tree.
# The companion package comes from there too: a build tree holds it complete
# (its Python files linked from the source tree, the batch module built in).
if os.environ.get("LARKSPUR_MODULE_DIR"):
    sys.path.insert(0, os.environ["LARKSPUR_MODULE_DIR"])


import importlib.util

# A wheel tested on its own (the CI wheel builds) has no native build tree and
# so none of the test-only extension modules: their tests are skipped there.
# Everywhere else a missing module is a failure.
WITHOUT_SUPPORT_MODULES = os.environ.get("LARKSPUR_NO_SUPPORT_MODULES") == "1"
needs_support_modules = pytest.mark.skipif(WITHOUT_SUPPORT_MODULES, reason="needs the test-only extension modules")
collect_ignore = ["test_binding_runtime.py"] if WITHOUT_SUPPORT_MODULES else []

# CPython 3.13's private subinterpreter module; absent on the 3.12 build of
# the NumPy 1.x check.
needs_subinterpreters = pytest.mark.skipif(
    importlib.util.find_spec("_interpreters") is None, reason="needs CPython 3.13's _interpreters"
)


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


# The first line of a child that is sent Ctrl-C: SIGINT as a fresh
# interpreter in a terminal has it, whatever the test runner's process or
# thread passed on (an ignored SIGINT and a blocked signal mask both survive
# exec, and a worker of pytest-xdist or a thread pool may leave either).
SIGINT_AS_IN_A_TERMINAL = (
    "import signal; signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT}); "
    "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
)

# Seconds a child interpreter may take; emulated runs (qemu) scale it up with
# LARKSPUR_TIMEOUT_SCALE, their instructions being several times slower.
TIMEOUT_SCALE = float(os.environ.get("LARKSPUR_TIMEOUT_SCALE", "1"))


def run_python(code, env=None):
    """Runs code in a fresh interpreter that sees the support modules."""
    import subprocess

    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SUPPORT_DIR), *sys.path]))
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env, timeout=120 * TIMEOUT_SCALE
    )


def import_in_legacy_subinterpreter(module):
    """Imports `module` in the main interpreter's legacy subinterpreter, then
    in the main interpreter; returns (exception name in the subinterpreter,
    its message, the main interpreter's module)."""
    result = run_python(
        "import sys, _interpreters\n"
        "interp = _interpreters.create('legacy')\n"
        f"failure = _interpreters.run_string(interp, 'import sys; sys.path[:0] = %r\\nimport {module}' % (sys.path,))\n"
        "print(failure.type.__name__)\n"
        "print(failure.msg)\n"
        f"import {module}\n"
        f"print({module}.__name__)"
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def reimport_gives_same_module(module, also=""):
    """Imports `module`, drops it from sys.modules, imports it again; True
    when both imports gave the very same object (and `also` holds for a, b)."""
    result = run_python(
        f"import sys, {module} as a\n"
        f"del sys.modules['{module}']\n"
        f"import {module} as b\n"
        f"print(a is b {'and ' + also if also else ''})"
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip() == "True"
