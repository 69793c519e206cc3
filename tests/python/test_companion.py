"""The companion package: column tables, rolling windows, many series on a
real Dask cluster with process workers, and the code blocks of the docs."""

import pathlib
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import larkspur_tools
from larkspur import statistical_tests
from test_examples_and_tools import ROOT, run

EL = statistical_tests.EscancianoLobato


def direct(values, q=None, d=None):
    result = EL(values, q, d)
    return result.p_tilde, result.statistic, result.pvalue


def test_imports_nothing_heavy_and_names_the_class():
    assert larkspur_tools.EscancianoLobato is EL
    result = run("-c", "import sys, larkspur_tools\n"
                       "print(sorted({'pandas', 'dask', 'distributed', 'matplotlib', 'pyarrow'} & set(sys.modules)))")
    assert result.returncode == 0 and result.stdout.strip() == "[]", result.stderr


RNG = np.random.default_rng(11)
COLUMNS = {"a": RNG.standard_normal(300), "b": RNG.standard_normal(600)[::2] * 1e-3 + 0.5,
           "c": np.arange(300, dtype=np.int64) % 7}


@pytest.mark.parametrize("container", [pd.DataFrame, dict, lambda columns: {k: list(v) for k, v in columns.items()}])
@pytest.mark.parametrize(("q", "d", "level"), [(None, None, 0.05), (3.0, 2, 0.5)])
def test_by_column_matches_direct_calls(container, q, d, level):
    table = larkspur_tools.by_column(container(COLUMNS), q=q, d=d, level=level)
    assert list(table.index) == list(COLUMNS) and list(table.columns) == ["n", "d", "p_tilde", "statistic",
                                                                          "pvalue", "reject"]
    for name, values in COLUMNS.items():
        row = table.loc[name]
        assert (row["n"], row["d"]) == (len(values), d or larkspur_tools.default_d(len(values)))
        assert (int(row["p_tilde"]), float(row["statistic"]), float(row["pvalue"])) == direct(values, q, d)
        assert row["reject"] == (row["pvalue"] < level)


def test_by_column_nan_policy():
    frame = pd.DataFrame({"x": [0.3, np.nan, -1.0, 2.0, np.nan, 0.5, -0.25, 1.5], "y": np.linspace(-1, 1, 8) ** 3})
    with pytest.raises(ValueError, match="data must not contain NaN values") as caught:
        larkspur_tools.by_column(frame)
    assert "in column 'x'" in caught.value.__notes__
    table = larkspur_tools.by_column(frame, nan="omit")
    assert table.loc["x", "n"] == 6 and table.loc["y", "n"] == 8
    assert float(table.loc["x", "statistic"]) == direct(frame["x"].dropna().to_numpy())[1]
    with pytest.raises(ValueError, match="nan must be"):
        larkspur_tools.by_column(frame, nan="drop")
    with pytest.raises(ValueError, match=r"shape \(8, 2\)"):
        larkspur_tools.by_column(frame.set_axis(["x", "x"], axis=1))


@pytest.mark.parametrize(("length", "window", "step"), [(300, 250, 1), (300, 100, 7), (50, 60, 1)])
def test_rolling_pvalues_keep_the_labels_of_window_ends(length, window, step):
    dates = pd.bdate_range("2020-01-01", periods=length)
    series = pd.Series(np.random.default_rng(length).standard_normal(length), index=dates)
    pvalues = larkspur_tools.rolling_pvalues(series, window, step, d=3)
    ends = list(range(window, length + 1, step))
    assert list(pvalues.index) == [dates[end - 1] for end in ends]
    assert [*pvalues] == [EL(series.to_numpy()[end - window:end], None, 3).pvalue for end in ends]
    on_array = larkspur_tools.rolling_pvalues(series.to_numpy(), window, step, d=3)
    assert [*on_array] == [*pvalues] and list(on_array.index) == [end - 1 for end in ends]


def test_rolling_refuses_empty_windows():
    with pytest.raises(ValueError, match="window and step"):
        larkspur_tools.rolling_pvalues(pd.Series([1.0, 2.0]), 0)


# A user's script: functions defined in __main__, process workers. The load
# function travels by value, the companion's functions by reference. repr()
# of the tuples compares every bit with direct calls in the script itself.
DASK_SCRIPT = """
import numpy as np
from dask.distributed import Client, LocalCluster
from larkspur_tools import dask_many, dask_partitions, el_tuple

def load(seed):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal(n) for n in (40, 300, 2500)]

if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \\
            Client(cluster) as client:
        parts = dask_partitions(client, load, [1, 2, 3], d=4)
        shipped = dask_many(client, [s for seed in (1, 2, 3) for s in load(seed)], batch_size=4)
    print(repr(parts) == repr([[el_tuple(s, d=4) for s in load(seed)] for seed in (1, 2, 3)]))
    print(repr(shipped) == repr([el_tuple(s) for seed in (1, 2, 3) for s in load(seed)]))
"""


def test_dask_process_workers_give_the_bits_of_direct_calls(tmp_path):
    pytest.importorskip("distributed")
    script = tmp_path / "many.py"
    script.write_text(DASK_SCRIPT, encoding="utf-8")
    result = run(script, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["True", "True"]


def doc_blocks():
    """(file, line, code, shown output or None) for every Python block."""
    blocks = []
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        text = path.read_text(encoding="utf-8")
        for match in re.finditer(r"^```python\n(.*?)^```\n(?:\n?```text\n(.*?)^```\n)?", text, re.S | re.M):
            line = text.count("\n", 0, match.start()) + 1
            blocks.append(pytest.param(match.group(1), match.group(2), id=f"{path.name}:{line}"))
    return blocks


@pytest.mark.parametrize(("code", "shown"), doc_blocks())
def test_doc_blocks_run_as_pasted(tmp_path, code, shown):
    for module in re.findall(r"^(?:from|import) (\w+)", code, re.M):
        pytest.importorskip(module)  # the wheel's own test venv has no dask or joblib
    script = tmp_path / "pasted.py"
    script.write_text(code, encoding="utf-8")
    # Run where a reader would, beside the data, but where the files a block
    # writes (pictures) land outside the repository.
    (tmp_path / "data").symlink_to(ROOT / "data", target_is_directory=True)
    result = run(script, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    if shown is not None:
        assert result.stdout == shown
