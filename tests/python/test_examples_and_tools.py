"""The demo, the installed command and the examples, run as a newcomer would."""

import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from larkspur import statistical_tests

import larkspur_tools

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

import rolling_pvalue  # noqa: E402

# pip puts the command beside the interpreter; runs against a build tree
# (sanitizers, NumPy 1.x) use the package's entry point from the source tree.
SCRIPT = shutil.which("larkspur-csv", path=str(pathlib.Path(sys.executable).parent))
CLI = [SCRIPT] if SCRIPT else ["-m", "larkspur_tools.cli"]


def run(*args, cwd=ROOT):
    # The scripts see the same larkspur as the tests (a sanitizer or 3.12 build included).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    command = [str(args[0]), *map(str, args[1:])] if args[0] == SCRIPT else [sys.executable, *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=120, env=env)


def test_demo_prints_the_table():
    result = run(ROOT / "examples" / "demo.py")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].split()[:7] == ["series", "n", "d", "p~", "statistic", "p-value", "verdict"]
    dax = next(line for line in lines if line.startswith("DAX"))
    assert dax.split()[2:5] == ["1859", "4", "1"] and "0.98836" in dax and dax.endswith("do not reject")
    assert next(line for line in lines if line.startswith("sunspots")).endswith("reject")
    assert any("5% level" in line for line in lines)


def test_command_is_installed():
    if os.environ.get("LARKSPUR_MODULE_DIR"):
        pytest.skip("the package is not installed in build-tree runs")
    assert SCRIPT is not None and pathlib.Path(larkspur_tools.__file__).parent.parent.name == "site-packages"


def parquet(tmp_path, frame):
    pytest.importorskip("pyarrow")
    frame.to_parquet(tmp_path / "table.parquet")
    return tmp_path / "table.parquet"


@pytest.mark.parametrize("kind", ["csv", "parquet"])
@pytest.mark.parametrize(("columns", "expected"), [(["--column", "DAX"], ["DAX"]),
                                                  (["--column", "FTSE", "--column", "DAX"], ["FTSE", "DAX"]),
                                                  ([], ["DAX", "SMI", "CAC", "FTSE"])])
def test_cli_prints_a_row_per_column(tmp_path, kind, columns, expected):
    prices = pd.read_csv(ROOT / "data" / "EuStockMarkets.csv", index_col=0)
    path = ROOT / "data" / "EuStockMarkets.csv" if kind == "csv" else parquet(tmp_path, prices)
    result = run(*CLI, path, *columns, "--log-returns")
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[2:2 + len(expected)]]
    assert [row[0] for row in rows] == expected and all(row[1:3] == ["log", "returns"] for row in rows)
    for row in rows:
        r = statistical_tests.EscancianoLobato(np.diff(np.log(prices[row[0]].to_numpy())))
        assert row[3:6] == ["1859", "4", str(r.p_tilde)] and row[6] == f"{r.statistic:.5f}"


def test_cli_help_explains_itself():
    result = run(*CLI, "--help")
    assert result.returncode == 0
    for word in ("--column", "--log-returns", "--diff", "--q", "--d", "heteroscedasticity"):
        assert word in result.stdout


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        (None, ["--column", "x"], "no such file"),
        ("a,b\n1,2\n", ["--column", "c"], "no column 'c'"),
        ("a\n1\nabc\n", ["--column", "a"], "non-numeric value 'abc'"),
        ("a\n1\n-2\n", ["--column", "a", "--log-returns"], "strictly positive"),
        ("a\n3\n3\n3\n", ["--column", "a"], "Zero \u03c4\u0302 value at lag 1"),
        ("a\n1\n2\n", ["--column", "a", "--d", "5"], "d must not exceed the length of data"),
        ("a\n1\n2\n", ["--column", "a", "--q", "0"], "q must be positive"),
        ("a\n", ["--column", "a"], "data must not be empty"),
        ("name,label\nx,y\n", [], "no numeric column"),
        ("a,b\n1,2\n3,4\n", ["--column", "a", "--column", "c"], "no column 'c'"),
    ],
)
def test_cli_user_mistakes_are_one_line_errors(tmp_path, content, args, message):
    path = tmp_path / "input.csv"
    if content is not None:
        path.write_text(content)
    result = run(*CLI, path, *args)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1 and message in result.stderr


def test_cli_differences_and_bootstrap(tmp_path):
    path = tmp_path / "levels.csv"
    levels = np.cumsum(np.random.default_rng(3).standard_normal(300))
    path.write_text("x\n" + "\n".join(repr(float(v)) for v in levels) + "\n")
    result = run(*CLI, path, "--column", "x", "--diff", "--d", "6")
    assert result.returncode == 0, result.stderr
    expected = statistical_tests.EscancianoLobato(np.diff(levels), d=6)
    assert f"{expected.statistic:.5f}" in result.stdout and "boot p" not in result.stdout
    result = run(*CLI, path, "--column", "x", "--diff", "--d", "6", "--bootstrap", "49", "--seed", "7")
    assert result.returncode == 0, result.stderr
    row = result.stdout.splitlines()[2].split()
    assert "boot p" in result.stdout and "seed 7" in result.stdout
    assert row[7] == f"{larkspur_tools.bootstrap_pvalue(np.diff(levels), 49, seed=7, d=6):.4f}"
    assert run(*CLI, path, "--bootstrap", "-1").returncode == 2


def test_rolling_example_has_dates_and_counts_full_windows(tmp_path):
    pytest.importorskip("matplotlib")
    returns = rolling_pvalue.dax_log_returns()
    assert len(returns) == 1859 and str(returns.index[0].date()) == "1991-07-02"
    output = tmp_path / "picture.png"
    tracked = (ROOT / "docs" / "dax_rolling_pvalue.png").stat().st_mtime_ns
    result = run(ROOT / "examples" / "rolling_pvalue.py", "--output", output, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "10 of 1610 full windows (0.62%) reject" in result.stdout
    result = run(ROOT / "examples" / "rolling_pvalue.py", cwd=tmp_path)
    assert (tmp_path / "rolling_pvalue.png").exists()
    assert (ROOT / "docs" / "dax_rolling_pvalue.png").stat().st_mtime_ns == tracked


def test_which_lags_example_draws_both_pictures(tmp_path):
    pytest.importorskip("matplotlib")
    tracked = {name: (ROOT / "docs" / name).read_bytes() for name in ("ftse_lags.png", "sunspots_lags.png")}
    result = run(ROOT / "examples" / "which_lags.py", "--output-dir", tmp_path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    for name, before in tracked.items():
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert (ROOT / "docs" / name).read_bytes() == before


def test_size_and_power_study_prints_its_table():
    result = run(ROOT / "examples" / "size_and_power.py", "--reps", "20", "--boot", "19")
    assert result.returncode == 0, result.stderr
    rows = [line.split("|")[1:-1] for line in result.stdout.splitlines() if line.startswith("| ")]
    assert [cell.strip() for cell in rows[0][2:]] == ["asymptotic", "Rademacher", "Mammen", "Ljung-Box 5",
                                                     "Ljung-Box 10"]
    assert [(row[0].strip(), row[1].strip()) for row in rows[1:]] == [
        (model, n) for model in ("white noise (size)", "GARCH(1,1) (size)", "AR(1), phi = 0.2 (power)")
        for n in ("100", "250", "1,000")]
    assert all(0 <= float(cell.strip(" %")) <= 100 for row in rows[1:] for cell in row[2:])


def test_companion_functions_pickle_by_reference():
    for function in (larkspur_tools.el_tuple, larkspur_tools.el_batch, larkspur_tools.el_partition):
        assert pickle.loads(pickle.dumps(function)) is function
    row = larkspur_tools.el_tuple(np.random.default_rng(7).standard_normal(500))
    assert type(row) is tuple and pickle.loads(pickle.dumps(row)) == row


def test_results_are_not_picklable():
    with pytest.raises(TypeError):
        pickle.dumps(statistical_tests.EscancianoLobato([1.0, 2.0, 4.0]))
