"""The optional dependencies are optional: without pandas and matplotlib the
test, el_many and the bootstrap run, and the calls that need them raise
ImportError naming the extra to install. And the installed package holds
every file of the source tree's companion. The wheel check runs this file
in an environment with none of the extras."""

import importlib.resources
import pathlib

import pytest
from conftest import run_python

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "python" / "larkspur_tools"

CALLS = {
    "el_tuple": ("larkspur_tools.el_tuple(x)[0]", "1"),
    "el_many": ("int(larkspur_tools.el_many([x, x]).p_tilde.sum())", "2"),
    "bootstrap": ("larkspur_tools.bootstrap(x, 19, seed=1).tested", "19"),
    "diagnose": (
        "larkspur_tools.diagnose(x)",
        'diagnose needs pandas, an optional dependency: pip install "larkspur[pandas]"',
    ),
    "lag_table": (
        "larkspur_tools.lag_table(x)",
        'lag_table needs pandas, an optional dependency: pip install "larkspur[pandas]"',
    ),
    "by_column": ("larkspur_tools.by_column({'a': x})", "by_column needs pandas, an optional dependency"),
    "rolling_pvalues": (
        "larkspur_tools.rolling_pvalues(x, 250)",
        "rolling_pvalues needs pandas, an optional dependency",
    ),
}

CHILD = """
import sys
sys.modules["pandas"] = None  # as if not installed: importing it raises ModuleNotFoundError
sys.modules["matplotlib"] = None
import numpy as np
import larkspur_tools
x = np.random.default_rng(0).standard_normal(300)
for call in {calls!r}:
    try:
        print(eval(call))
    except ImportError as error:
        print(error)
"""


def test_calls_without_pandas_run_or_name_the_extra():
    expressions = [call for call, _ in CALLS.values()]
    completed = run_python(CHILD.format(calls=expressions))
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    for (name, (_, expected)), line in zip(CALLS.items(), lines, strict=True):
        assert line.startswith(expected), (name, line)


@pytest.mark.parametrize("suffix", ["*.py", "*.pyi", "py.typed"])
def test_the_installed_package_holds_every_source_file(suffix):
    installed = importlib.resources.files("larkspur_tools")
    for path in SOURCE.glob(suffix):
        assert installed.joinpath(path.name).is_file(), path.name
