"""The companion package: column tables, rolling windows, many series on a
real Dask cluster with process workers, and the code blocks of the docs."""

import math
import re
import warnings

import larkspur_tools
import numpy as np
import pandas as pd
import pytest
from larkspur_tools.report import ReportError, log_returns
from test_examples_and_tools import ROOT, run

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato


def direct(values, q=None, d=None):
    result = EL(values, q, d)
    return result.p_tilde, result.statistic, result.pvalue


def test_imports_nothing_heavy_and_names_the_class():
    assert larkspur_tools.EscancianoLobato is EL
    result = run(
        "-c",
        "import sys, larkspur_tools\n"
        "print(sorted({'pandas', 'dask', 'distributed', 'matplotlib', 'pyarrow'} & set(sys.modules)))",
    )
    assert result.returncode == 0 and result.stdout.strip() == "[]", result.stderr


RNG = np.random.default_rng(11)
COLUMNS = {
    "a": RNG.standard_normal(300),
    "b": RNG.standard_normal(600)[::2] * 1e-3 + 0.5,
    "c": np.arange(300, dtype=np.int64) % 7,
}


@pytest.mark.parametrize("container", [pd.DataFrame, dict, lambda columns: {k: list(v) for k, v in columns.items()}])
@pytest.mark.parametrize(("q", "d", "level"), [(None, None, 0.05), (3.0, 2, 0.5)])
def test_by_column_matches_direct_calls(container, q, d, level):
    table = larkspur_tools.by_column(container(COLUMNS), q=q, d=d, level=level)
    assert list(table.index) == list(COLUMNS) and list(table.columns) == [
        "n",
        "d",
        "p_tilde",
        "statistic",
        "pvalue",
        "reject",
    ]
    for name, values in COLUMNS.items():
        row = table.loc[name]
        assert (row["n"], row["d"]) == (len(values), d or larkspur_tools.default_d(len(values)))
        assert (int(row["p_tilde"]), float(row["statistic"]), float(row["pvalue"])) == direct(values, q, d)
        assert row["reject"] == (row["pvalue"] < level)


@pytest.mark.filterwarnings("ignore::larkspur_tools.SmallSampleWarning")
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
    # A repeated label names two columns: each is tested, in its place.
    twice = larkspur_tools.by_column(frame.set_axis(["x", "x"], axis=1), nan="omit")
    assert list(twice.index) == ["x", "x"] and list(twice["n"]) == [6, 8]


@pytest.mark.parametrize(("length", "window", "step"), [(300, 250, 1), (300, 100, 7), (300, 300, 1), (50, 60, 1)])
def test_rolling_pvalues_keep_the_labels_of_window_ends(length, window, step):
    dates = pd.bdate_range("2020-01-01", periods=length)
    series = pd.Series(np.random.default_rng(length).standard_normal(length), index=dates)
    pvalues = larkspur_tools.rolling_pvalues(series, window, step, d=3)
    ends = list(range(window, length + 1, step))
    assert list(pvalues.index) == [dates[end - 1] for end in ends]
    assert [*pvalues] == [EL(series.to_numpy()[end - window : end], None, 3).pvalue for end in ends]
    on_array = larkspur_tools.rolling_pvalues(series.to_numpy(), window, step, d=3)
    assert [*on_array] == [*pvalues] and list(on_array.index) == [end - 1 for end in ends]


class Raises:
    """The expected outcome of a case that fails: type, message, and notes
    exactly (an interrupt must come back without any)."""

    def __init__(self, kind, match=None, notes=None):
        self.kind, self.match, self.notes = kind, match, notes


class LocalClient:
    """The part of a dask Client the companion uses, run in this process."""

    def scatter(self, data):
        return data

    def map(self, func, *iterables, pure=True, **kwargs):
        return [func(*args, **kwargs) for args in zip(*iterables)]

    def gather(self, futures):
        return futures


class Hostile:
    """A sequence whose length raises what a user's data may raise."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, index):
        return 1.0


def own_d(n, lag):
    """(default_d(n), by_column's d, the d among lag - 1 and lag whose bits
    the extension's own default gives, and whether el_tuple and by_column
    give those bits too) on a series whose strongest correlation is at
    `lag`, where d = lag - 1 and d = lag differ."""
    x = np.tile(np.r_[np.ones(lag), -np.ones(lag)], n)[:n] + np.random.default_rng(n).standard_normal(n)
    with warnings.catch_warnings(action="ignore", category=larkspur_tools.SmallSampleWarning):
        row = larkspur_tools.by_column({"x": x}).loc["x"]
    assert direct(x, d=lag - 1) != direct(x, d=lag)
    (used,) = [k for k in (lag - 1, lag) if direct(x) == direct(x, d=k)]
    same = larkspur_tools.el_tuple(x) == direct(x) == (row["p_tilde"], row["statistic"], row["pvalue"])
    return larkspur_tools.default_d(n), int(row["d"]), used, same


def warned(call, text=False):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return [str(warning.message) if text else type(warning.message).__name__ for warning in caught]


def by_column_outcome(table):
    """(the labels by_column tests, its warnings as 'Category: text')."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        index = list(larkspur_tools.by_column(table).index)
    return index, [f"{w.category.__name__}: {w.message}" for w in caught]


SKIPPED = "IndexColumnWarning: column {!r} not tested: {}; drop it or make it the index to silence this warning"


# Every entry point that tests a series, on one series.
ONE_SERIES = {
    "diagnose": lambda x: larkspur_tools.diagnose(x, bootstrap=9, seed=1),
    "lag_table": larkspur_tools.lag_table,
    "bootstrap_pvalue": lambda x: larkspur_tools.bootstrap_pvalue(x, 9, seed=1),
    "by_column": lambda x: larkspur_tools.by_column({"x": x}),
    "rolling_pvalues": lambda x: larkspur_tools.rolling_pvalues(x, len(x)),
}


def failing_load(part):
    if part == "b":
        raise FileNotFoundError(part)
    return [RNG.standard_normal(50)]


X = RNG.standard_normal(300)
DATES = pd.date_range("2020-01-01", periods=300)
NON_NUMERIC = {
    "Date": DATES,
    "wait": DATES - DATES[0],
    "month": DATES.to_period("M"),
    "name": pd.array(["a", "b", "c"] * 100, dtype="string"),
    "kind": pd.Categorical(["a", "b"] * 150),
    "z": X + 1j,
}
GAPPED = pd.Series(np.r_[X[:150], np.nan, X[150:]], index=pd.date_range("2020-01-01", periods=301))
CASES = {
    # The extension's own d at perfect fifth powers, where n ** 0.2 is an
    # integer, and one below them, where it is not yet.
    **{
        f"default d at n={n}": (lambda n=n, k=k: own_d(n, k), (d, d, d, True))
        for n, k, d in [(31, 2, 1), (32, 2, 2), (242, 3, 2), (243, 3, 3), (1023, 4, 3), (1024, 4, 4), (3125, 5, 5)]
    },
    "omit drops NaN, never infinity": (
        lambda: larkspur_tools.by_column({"x": np.r_[X, np.nan, np.inf]}, nan="omit"),
        Raises(ValueError, "data must not contain infinite values", ["in column 'x'"]),
    ),
    "rolling step=0": (lambda: larkspur_tools.rolling_pvalues(X, 100, 0), Raises(ValueError, "window and step")),
    "rolling window=0": (
        lambda: larkspur_tools.rolling_pvalues(pd.Series([1.0, 2.0]), 0),
        Raises(ValueError, "window and step"),
    ),
    "rolling NaN names its window": (
        lambda: larkspur_tools.rolling_pvalues(GAPPED, 100, 50),
        Raises(ValueError, "NaN", ["in the window ending at 2020-07-18 00:00:00"]),
    ),
    "rolling omit cuts windows after dropping": (
        lambda: [*larkspur_tools.rolling_pvalues(GAPPED, 100, 50, nan="omit").items()],
        [(GAPPED.index[end if end > 150 else end - 1], direct(X[end - 100 : end])[2]) for end in range(100, 301, 50)],
    ),
    # The sign of a log return is invisible to the statistic: checked directly
    # (NumPy's own log of e, which is 1 - 2**-53 on some builds).
    "log returns are ln P_t - ln P_t-1": (
        lambda: list(log_returns([1.0, math.e, 1.0])),
        [float(np.log(math.e)), -float(np.log(math.e))],
    ),
    "a zero price is refused": (lambda: log_returns([1.0, 0.0, 2.0]), Raises(ReportError, "price 1: price 0.0")),
    "dask batch_size=0": (
        lambda: larkspur_tools.dask_many(LocalClient(), [X], batch_size=0),
        Raises(ValueError, "batch_size must be positive"),
    ),
    "dask of nothing": (
        lambda: (
            larkspur_tools.dask_many(LocalClient(), []),
            larkspur_tools.dask_partitions(LocalClient(), failing_load, []),
        ),
        ([], []),
    ),
    "dask names the series": (
        lambda: larkspur_tools.dask_many(LocalClient(), [X, X, X, np.ones(9)], batch_size=2),
        Raises(OSError, "Zero", ["in series 3"]),
    ),
    "dask names the partition": (
        lambda: larkspur_tools.dask_partitions(LocalClient(), failing_load, ["a", "b"]),
        Raises(FileNotFoundError, "b", ["in partition 'b'"]),
    ),
    **{
        f"by_column refuses {dtype}": (
            lambda name=name, values=values: larkspur_tools.by_column(pd.DataFrame({"x": X, name: values})),
            Raises(TypeError, f"column '{name}' has dtype {dtype}", [f"in column '{name}'"]),
        )
        for (name, values), dtype in zip(
            NON_NUMERIC.items(), ["datetime64", "timedelta64", "period", "string", "category", "complex128"]
        )
    },
    # The command's rule: row names and regular integer indexes are not data.
    "by_column skips R's row names, as read by pandas": (
        lambda: by_column_outcome(np.log(pd.read_csv(ROOT / "data" / "EuStockMarkets.csv")).diff().dropna()),
        (["DAX", "SMI", "CAC", "FTSE"], [SKIPPED.format("rownames", "row names")]),
    ),
    "by_column skips a regular index": (
        lambda: by_column_outcome({"year": range(1700, 2000), "x": X, "name": X}),
        (["x", "name"], [SKIPPED.format("year", "an index: integers in a regular step, such as years")]),
    ),
    "by_column tests a row-names header past the first column": (
        lambda: by_column_outcome(pd.DataFrame({"x": X, "rownames": X})),
        (["x", "rownames"], []),
    ),
    "by_column refuses a table-like object that is neither": (
        lambda: larkspur_tools.by_column(type("Columns", (), {"columns": ["x"]})()),
        Raises(TypeError, "by_column takes a DataFrame or a mapping of names to series, not Columns", None),
    ),
    "by_column tests a constant integer column, which fails": (
        lambda: larkspur_tools.by_column({"k": np.full(300, 3), "x": X}),
        Raises(OSError, "Zero", ["in column 'k'"]),
    ),
    # A table of mixed dtypes is read column by column, each as read_series reads it.
    "el_many of a DataFrame of mixed dtypes": (
        lambda: [
            tuple(map(float, row))
            for row in zip(*larkspur_tools.el_many(pd.DataFrame({"x": X, "n": pd.array(np.round(X * 9), "Int64")})))
        ],
        [tuple(map(float, direct(values))) for values in (X, np.round(X * 9))],
    ),
    "numeric_only skips them": (
        lambda: list(larkspur_tools.by_column(pd.DataFrame({"x": X, **NON_NUMERIC}), numeric_only=True).index),
        ["x"],
    ),
    "text in a list names its column": (
        lambda: larkspur_tools.by_column({"x": X, "y": [1.0, "a"]}),
        Raises(TypeError, "column 'y' has dtype <U", ["in column 'y'"]),
    ),
    "a Series is not a table": (lambda: larkspur_tools.by_column(pd.Series(X)), Raises(TypeError, "el_tuple")),
    **{
        f"level {level!r}": (
            lambda level=level: larkspur_tools.by_column({"x": X}, level=level),
            Raises(ValueError, rf"^level must lie in \(0, 1\), e.g. 0.05 for 5%, not {re.escape(repr(level))}$"),
        )
        for level in (5, 1, 1.5, 0, "0.05", True, math.nan)
    },
    **{
        f"{name} refuses a mapping": (
            lambda call=call: call({"a": X}),
            Raises(TypeError, "not a mapping \\(dict\\); named columns are a table, which by_column tests"),
        )
        for name, call in {"el_many": larkspur_tools.el_many, "el_batch": larkspur_tools.el_batch}.items()
    },
    "rolling window beyond any array": (lambda: len(larkspur_tools.rolling_pvalues(X, 10**20)), 0),
    "rolling window 1.5": (
        lambda: larkspur_tools.rolling_pvalues(X, 1.5),
        Raises(TypeError, "^window and step must be positive integers, not float$"),
    ),
    "rolling a generator": (
        lambda: larkspur_tools.rolling_pvalues(iter(X), 10),
        Raises(TypeError, "^the series must be a 1-D array, a pandas or polars Series, or a sequence of numbers"),
    ),
    "labels as given": (
        lambda: [(type(label), label) for label in larkspur_tools.by_column({1: X, 2.5: X, ("a", 1): X}).index],
        [(int, 1), (float, 2.5), (tuple, ("a", 1))],
    ),
    "polars DataFrame": (
        lambda: larkspur_tools.by_column(pytest.importorskip("polars").DataFrame({"a": X})).loc["a", "statistic"],
        direct(X)[1],
    ),
    "few observations warn": (
        lambda: warned(lambda: larkspur_tools.by_column({"a": X[:99], "b": X[:100]})),
        ["SmallSampleWarning"],
    ),
    **{
        f"{name} warns below 100": (
            lambda call=call: warned(lambda: call(X[:99])) + warned(lambda: call(X[:100])),
            ["SmallSampleWarning"],
        )
        for name, call in ONE_SERIES.items()
    },
    **{
        f"el_many warns for a panel of {n} observations (axis {axis})": (
            lambda n=n, axis=axis: warned(
                lambda: larkspur_tools.el_many(np.stack([X[:n], X[1 : n + 1]], 1 - axis), axis=axis)
            ),
            ["SmallSampleWarning"] if n < 100 else [],
        )
        for n in (99, 100)
        for axis in (0, 1)
    },
    "el_many warns once, counting": (
        lambda: [text.split(":")[0] for text in warned(lambda: larkspur_tools.el_many([X[:5], X, X[:99]]), True)],
        ["2 of 3 series have fewer than 100 observations (the shortest 5)"],
    ),
    **{
        f"{error.__name__} from {name}": (
            lambda call=call, error=error: call(Hostile(error())),
            Raises(error, notes=[]),
        )
        for error in (KeyboardInterrupt, SystemExit, MemoryError)
        for name, call in {
            "by_column": lambda data: larkspur_tools.by_column({"x": data}),
            "rolling_pvalues": lambda data: larkspur_tools.rolling_pvalues(data, 2),
            "el_batch": lambda data: larkspur_tools.el_batch([data]),
            "dask_many": lambda data: larkspur_tools.dask_many(LocalClient(), [data]),
        }.items()
    },
}


@pytest.mark.parametrize(("call", "expected"), CASES.values(), ids=CASES.keys())
def test_companion_rules(call, expected):
    if not isinstance(expected, Raises):
        assert call() == expected
        return
    with pytest.raises(expected.kind, match=expected.match) as caught:
        call()
    if expected.notes is not None:
        assert getattr(caught.value, "__notes__", []) == expected.notes


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
        try:
            dask_many(client, [*load(1), np.ones(9)], batch_size=2)
        except OSError as error:  # the note crosses the process boundary with the exception
            print(error.__notes__ == ["in series 3"])
    print(repr(parts) == repr([[el_tuple(s, d=4) for s in load(seed)] for seed in (1, 2, 3)]))
    print(repr(shipped) == repr([el_tuple(s) for seed in (1, 2, 3) for s in load(seed)]))
"""


def test_dask_process_workers_give_the_bits_of_direct_calls(tmp_path):
    pytest.importorskip("distributed")
    script = tmp_path / "many.py"
    script.write_text(DASK_SCRIPT, encoding="utf-8")
    result = run(script, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["True", "True", "True"]


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


def test_the_companion_modules_import_without_a_cycle():
    """Every module's imports of its siblings, wherever they stand (top level
    or inside a function), form a graph without a cycle."""
    import ast
    import graphlib

    package = ROOT / "python" / "larkspur_tools"
    graph = {}
    for path in package.glob("*.py"):
        tree = ast.parse(path.read_text())
        graph[path.stem] = {
            node.module.split(".")[0] if node.module else alias.name
            for node in ast.walk(tree)
            if isinstance(node, ast.ImportFrom) and node.level == 1
            for alias in node.names
        } - {"_batch"}
    graphlib.TopologicalSorter(graph).static_order()  # raises CycleError on a cycle
