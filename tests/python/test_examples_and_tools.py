"""The demo, the CSV tool and the examples, run as a newcomer would."""

import math
import os
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from larkspur import statistical_tests

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

import many_series  # noqa: E402
import rolling_pvalue  # noqa: E402


def run(*args, cwd=ROOT):
    # The scripts see the same larkspur as the tests (a sanitizer or 3.12 build included).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120,
                          env=env)


def test_demo_prints_the_table():
    result = run(ROOT / "examples" / "demo.py")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].split()[:7] == ["series", "n", "d", "p~", "statistic", "p-value", "verdict"]
    dax = next(line for line in lines if line.startswith("DAX"))
    assert dax.split()[2:5] == ["1859", "4", "1"] and "0.98836" in dax and dax.endswith("do not reject")
    assert next(line for line in lines if line.startswith("sunspots")).endswith("reject")
    assert any("5% level" in line for line in lines)


def test_cli_on_a_column():
    result = run(ROOT / "tools" / "larkspur_csv.py", ROOT / "data" / "EuStockMarkets.csv", "--column", "DAX",
                 "--log-returns")
    assert result.returncode == 0, result.stderr
    assert "DAX log returns" in result.stdout and "0.98836" in result.stdout


def test_cli_help_explains_itself():
    result = run(ROOT / "tools" / "larkspur_csv.py", "--help")
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
    ],
)
def test_cli_user_mistakes_are_one_line_errors(tmp_path, content, args, message):
    path = tmp_path / "input.csv"
    if content is not None:
        path.write_text(content)
    result = run(ROOT / "tools" / "larkspur_csv.py", path, *args)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1 and message in result.stderr


def test_cli_differences(tmp_path):
    path = tmp_path / "levels.csv"
    levels = np.cumsum(np.random.default_rng(3).standard_normal(300))
    path.write_text("x\n" + "\n".join(repr(float(v)) for v in levels) + "\n")
    result = run(ROOT / "tools" / "larkspur_csv.py", path, "--column", "x", "--diff", "--d", "6")
    assert result.returncode == 0, result.stderr
    expected = statistical_tests.EscancianoLobato(np.diff(levels), d=6)
    assert f"{expected.statistic:.5f}" in result.stdout


def test_rolling_pvalues_use_full_windows():
    returns = rolling_pvalue.dax_log_returns()
    assert len(returns) == 1859
    pvalues = rolling_pvalue.rolling_pvalues(returns[:300], window=250)
    assert np.isnan(pvalues[:249]).all() and not np.isnan(pvalues[249:]).any()
    assert pvalues[-1] == statistical_tests.EscancianoLobato(returns[50:300]).pvalue


def test_rolling_picture_is_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "picture.png"
    result = run(ROOT / "examples" / "rolling_pvalue.py", output)
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_many_series_recipe_returns_plain_tuples():
    frame = pd.DataFrame(np.random.default_rng(7).standard_normal((500, 3)), columns=["a", "b", "c"])
    table = many_series.el_by_column(frame)
    assert list(table.index) == ["a", "b", "c"]
    for name in frame.columns:
        row = many_series.el_tuple(frame[name].to_numpy())
        assert pickle.loads(pickle.dumps(row)) == row
        assert tuple(table.loc[name]) == pytest.approx(row, abs=0) and not math.isnan(row[2])


def test_results_are_not_picklable():
    with pytest.raises(TypeError):
        pickle.dumps(statistical_tests.EscancianoLobato([1.0, 2.0, 4.0]))
