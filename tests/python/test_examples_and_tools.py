"""The demo, the installed command and the examples, run as a newcomer would."""

import csv
import io
import json
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import sys

import larkspur_tools
import numpy as np
import pandas as pd
import pytest
from larkspur_tools import cli, csv_input, report

from larkspur import statistical_tests

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
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert result.stdout == re.search(r"`make demo` sets.*?prints:\n\n```text\n(.*?)```", readme, re.S).group(1)


def test_command_is_installed():
    if os.environ.get("LARKSPUR_MODULE_DIR"):
        pytest.skip("the package is not installed in build-tree runs")
    assert SCRIPT is not None and pathlib.Path(larkspur_tools.__file__).parent.parent.name == "site-packages"


def parquet(tmp_path, frame):
    pytest.importorskip("pyarrow")
    frame.to_parquet(tmp_path / "table.parquet")
    return tmp_path / "table.parquet"


@pytest.mark.parametrize("kind", ["csv", "parquet"])
@pytest.mark.parametrize(
    ("columns", "expected"),
    [
        (["--column", "DAX"], ["DAX"]),
        (["--column", "FTSE", "--column", "DAX"], ["FTSE", "DAX"]),
        ([], ["DAX", "SMI", "CAC", "FTSE"]),
    ],
)
def test_cli_prints_a_row_per_column(tmp_path, kind, columns, expected):
    prices = pd.read_csv(ROOT / "data" / "EuStockMarkets.csv", index_col=0)
    path = ROOT / "data" / "EuStockMarkets.csv" if kind == "csv" else parquet(tmp_path, prices)
    result = run(*CLI, path, *columns, "--log-returns")
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[2 : 2 + len(expected)]]
    assert [row[0] for row in rows] == expected and "Tested: the log returns of each column." in result.stdout
    for row in rows:
        r = statistical_tests.EscancianoLobato(np.diff(np.log(prices[row[0]].to_numpy())))
        assert row[1:5] == ["1859", "4", str(r.p_tilde), f"{r.statistic:.6g}"]


def test_cli_help_explains_itself():
    result = run(*CLI, "--help")
    assert result.returncode == 0
    for word in ("--column", "--log-returns", "--diff", "--q", "--d", "heteroscedasticity"):
        assert word in result.stdout


def csv_text(header, rows, sep=","):
    return sep.join(header) + "\n" + "".join(sep.join(map(str, row)) + "\n" for row in rows)


PRICES = np.exp(np.cumsum(np.random.default_rng(5).standard_normal((150, 2)) * 0.01, axis=0)) * 100
# Row names, a year column, two price columns.
CLEAN = [(i + 1, 1900 + i, repr(a), repr(b)) for i, (a, b) in enumerate(PRICES.tolist())]
WITH_NA = [row if i != 39 else (*row[:3], "NA") for i, row in enumerate(CLEAN)]  # on file line 41
EXTREME = np.tile([1e300, 1e-300, 3e299, 7e-301], 30) * PRICES[:120, 0]


def direct_log_returns(prices):
    result = statistical_tests.EscancianoLobato(np.diff(np.log(prices)))
    return [result.statistic, result.pvalue]


def bits(expected):
    """A check of CSV or JSON output: every row's statistic and p-value."""

    def check(out):
        rows = json.loads(out) if out.startswith("[") else list(csv.DictReader(io.StringIO(out)))
        return [[float(row["statistic"]), float(row["pvalue"])] for row in rows] == expected

    return check


def aligned(out):
    """Every row of the table ends its numbers where the header does."""
    lines = out.splitlines()
    end = lines[0].index("verdict")
    rows = lines[2 : lines.index("")]
    return rows and all(line[end - 3] != " " and line[end - 2 :] in ("  reject", "  do not reject") for line in rows)


def levels_only(out):
    """On levels: said so, six digits in every statistic, no word of returns."""
    words = " ".join(out.split())
    return (
        "CAC 1860 4 4 1182.00 0.00000 reject" in words
        and "Tested: the values of each column as given (levels)." in words
        and "returns" not in out
    )


# 50 white-noise values whose asymptotic p-value is below 5% and bootstrap
# p-value above; a random walk's levels, whose 19 replicates all fall below T.
WHITE_NOISE = [[v] for v in np.round(np.random.default_rng(0).standard_normal(50), 3).tolist()]
WALK = [[v] for v in (np.round(np.cumsum(np.random.default_rng(1).standard_normal(150)), 3) + 50).tolist()]
BOOTSTRAP_RANGE = "argument --bootstrap: must be an integer from 1 to 100,000,000"


def pandas_parquet(tmp_path):
    pytest.importorskip("pyarrow")
    frame = pd.DataFrame(PRICES, columns=["A", "B"], index=np.arange(150) * 10 + 7)  # not a RangeIndex
    frame.to_parquet(tmp_path / "input.parquet")
    return tmp_path / "input.parquet"


# (content of input.csv, or a function making the file; arguments; exit
# status; what stdout shows, or a check of it; what stderr shows). A failure
# is exactly one line on stderr with status 2.
CLI_CASES = {
    "no file": (None, ["--column", "x"], 2, (), ["no such file"]),
    "unknown column": ("a,b\n1,2\n", ["--column", "c"], 2, (), ["no column 'c'"]),
    "unknown second column": ("a,b\n1,2\n3,4\n", ["--column", "a", "--column", "c"], 2, (), ["no column 'c'"]),
    # A quoted field over two lines and a blank line: messages count file lines.
    "text in numbers": (
        'a,n\n1,"x\ny"\n\n2,z\nabc,w\n',
        ["--column", "a"],
        2,
        (),
        ["input.csv:6: column 'a' holds 'abc', not a number"],
    ),
    "CRLF and a blank line": ("a,b\r\n1,2\r\n\r\n3,x\r\n", ["--column", "b"], 2, (), [":4: column 'b' holds 'x',"]),
    "one column, blank line": ("a\r\n1\r\n\r\n2\r\n4\r\n", ["--format", "csv"], 0, ["a,none,3,"], []),
    "thousands separator": ('a\n1\n"1,234"\n', ["--column", "a"], 2, (), [":3: column 'a' holds '1,234'"]),
    "negative price": (
        "a\n1\n-2\n",
        ["--column", "a", "--log-returns"],
        2,
        (),
        [":3: column 'a': price -2.0 is not positive"],
    ),
    "zero price": ("a\n1\n0\n2\n", ["--log-returns"], 2, (), [":3: column 'a': price 0.0 is not positive"]),
    "constant": ("a\n3\n3\n3\n", ["--column", "a"], 2, (), ["column 'a': the series is constant, or no two"]),
    # Integers in a step of 0 are data, not an index: tested, and refused.
    "constant integers, no column named": ("k\n3\n3\n3\n3\n", [], 2, (), ["column 'k': the series is constant"]),
    "d beyond n": ("a\n1\n2\n", ["--column", "a", "--d", "5"], 2, (), ["d must not exceed the length of data"]),
    # Flags are checked as flags, by the test's own rules, before any file is read.
    "q zero": (None, ["--column", "a", "--q", "0"], 2, (), ["argument --q: q must be positive, not '0'"]),
    "d negative": (None, ["--d", "-1"], 2, (), ["argument --d: must be a positive integer"]),
    "d overflows": (None, ["--d", str(2**64)], 2, (), ["argument --d: int too big to convert"]),
    "tested and an index": (None, ["--column", "a", "--index-col", "a"], 2, (), ["'a' is also named by --column"]),
    # --test chooses the test; each test's options are its own.
    "gst": (
        "a\n" + "\n".join(str((k * 37 % 101) / 7.0) for k in range(120)) + "\n",
        ["--test", "gst", "--bootstrap", "99", "--seed", "3", "--format", "csv"],
        0,
        [
            "series,transform,test,form,n,statistic,error_bound,rank,pvalue,bootstrap_B,bootstrap_seed,weights,reject",
            "a,none,gst,ev,120,",
        ],
        [],
    ),
    "gst table": (
        "a\n" + "\n".join(str((k * 37 % 101) / 7.0) for k in range(120)) + "\n",
        ["--test", "gst", "--seed", "3"],
        0,
        ["Bootstrap: 999 Mammen replicates per column, seed 3; form 'ev'."],
        [],
    ),
    "gst constant": ("a\n3\n3\n3\n", ["--test", "gst"], 2, (), ["column 'a': the series is constant"]),
    "q with gst": (None, ["--test", "gst", "--q", "2"], 2, (), ["argument --q: belongs to --test el"]),
    "form with el": (None, ["--form", "vrtest"], 2, (), ["argument --form: belongs to --test gst"]),
    "unknown test": (None, ["--test", "lb"], 2, (), ["argument --test: invalid choice: 'lb'"]),
    **{
        f"--sep {sep!r}": (None, ["--sep", sep], 2, (), [f"argument --sep: {sep!r} cannot separate fields"])
        for sep in ('"', "\n")
    },
    "only a regular index": ("a\n1\n2\n3\n4\n", ["--format", "json"], 2, (), ["no column to test", "'a' (an index"]),
    # A line of white space is skipped by every reader, quoted fields or not,
    # and the lines below it keep their numbers.
    "white space line, then NA": ("a,b\n1,2\n  \n3,4\nNA,5\n", [], 2, (), [":5: column 'a' has a missing value"]),
    "white space line, then inf": ("a\n1\n \t\n3\ninf\n", [], 2, (), [":5: column 'a' holds an infinite value"]),
    "white space line, quotes, bad price": (
        'a,b\n"1",2\n  \n3,4\n-1,5\n',
        ["--log-returns"],
        2,
        (),
        [":5: column 'a': price -1.0 is not positive"],
    ),
    "white space line, quotes": ('a,b\n"1.5",2\n  \n3,4\n2,5\n', ["--format", "csv"], 0, ["a,none,3,"], []),
    "difference overflows": (
        "x\n1e308\n-1e308\n1\n",
        ["--diff"],
        2,
        (),
        [":3: column 'x': the difference from the value above (-1e+308 - 1e+308) overflows"],
    ),
    "header only": ("a\n", ["--column", "a"], 2, (), ["no data below the header line"]),
    "no numeric column": ("name,label\nx,y\n", [], 2, (), ["no column to test", "'name' (not numeric: 'x')"]),
    "duplicate header": ("A,A\n1,2\n", [], 2, (), ["duplicate column name 'A' (columns 1 and 2)"]),
    "ragged row": ("a,b\n1,2\n3\n", [], 2, (), [":3: 1 fields where the header has 2"]),
    "infinity": ("a\n1\ninf\n2\n", ["--missing", "omit"], 2, (), [":3: column 'a' holds an infinite value"]),
    "missing value": (
        csv_text(["rownames", "year", "A", "B"], WITH_NA),
        [],
        2,
        (),
        [":41: column 'B' has a missing value", "--missing omit"],
    ),
    "omit, skipped columns listed": (
        csv_text(["rownames", "year", "A", "B"], WITH_NA),
        ["--missing", "omit", "--format", "csv"],
        0,
        ["A,none,150,", "B,none,149,"],
        [
            "'rownames' not tested: row names",
            "'year' not tested: a date or time column",
            "'B': 1 missing value omitted",
        ],
    ),
    "BOM, regular index": (
        "\ufeff" + csv_text(["rownames", "t", "A"], [row[:3] for row in CLEAN]),
        [],
        0,
        ["A    150"],
        ["'t' not tested: an index"],
    ),
    "semicolons, dates and text": (
        csv_text(
            ["date", "ticker", "close"],
            [(f"2020-01-{i % 28 + 1:02d}", "X", a) for i, a in enumerate(PRICES[:, 0].tolist())],
            sep=";",
        ),
        ["--diff"],
        0,
        ["close  149", "first differences"],
        ["'date' not tested: a date or time column", "'ticker' not tested: not numeric: 'X'"],
    ),
    "dates under another name": (
        csv_text(["when", "A"], [(f"1991-07-{i % 28 + 1:02d}", a) for i, a in enumerate(PRICES[:, 0].tolist())]),
        [],
        0,
        ["A  150"],
        ["'when' not tested: dates or times: '1991-07-01'"],
    ),
    "tab, --index-col": (
        csv_text(["A", "B"], PRICES.tolist(), sep="\t"),
        ["--index-col", "A", "--sep", "tab"],
        0,
        ["B  150"],
        ["'A' not tested: named by --index-col"],
    ),
    "long text field": ("a,b\n1," + "x" * 200_000 + "\n2,y\n4,z\n", ["--column", "a"], 0, ["a   3"], []),
    "log returns, json": (
        csv_text(["rownames", "year", "A", "B"], CLEAN),
        ["--log-returns", "--format", "json"],
        0,
        bits([direct_log_returns(PRICES[:, 0]), direct_log_returns(PRICES[:, 1])]),
        None,
    ),
    "extreme prices, csv": (
        csv_text(["E"], [[repr(p)] for p in EXTREME.tolist()]),
        ["--log-returns", "--format", "csv"],
        0,
        bits([direct_log_returns(EXTREME)]),
        None,
    ),
    "table alignment": (
        csv_text(["A"], [[v] for v in np.random.default_rng(2).standard_normal(1200).tolist()]),
        ["--d", "1000"],
        0,
        aligned,
        [],
    ),
    "levels": (lambda tmp_path: ROOT / "data" / "EuStockMarkets.csv", [], 0, levels_only, []),
    "the bootstrap decides": (
        csv_text(["x"], WHITE_NOISE),
        ["--bootstrap", "99", "--seed", "1"],
        0,
        [
            "verdict at 5% (boot p)",
            "x 50 2 1 4.15731 0.04146 0.09000 do not reject",
            "The verdict follows the bootstrap p-value (boot p).",
            "seed 1.",
        ],
        ["the boot p column does not lean"],
    ),
    # (B + 1) 5% = 1: no replicate reaching T gives p = 0.05 exactly, a rejection.
    "boot p at the level rejects": (
        csv_text(["x"], WALK),
        ["--bootstrap", "19", "--seed", "0"],
        0,
        ["0.05000 reject", "seed 0."],
        [],
    ),
    "bootstrap's B and seed, csv": (
        csv_text(["x"], WHITE_NOISE),
        ["--bootstrap", "99", "--seed", "1", "--format", "csv"],
        0,
        ["bootstrap_pvalue,bootstrap_B,bootstrap_seed", ",false,0.09,99,1"],
        [],
    ),
    "seed without bootstrap": (csv_text(["x"], WALK), ["--seed", "1"], 2, (), ["--seed needs --bootstrap"]),
    **{
        f"--bootstrap {B}": (csv_text(["x"], WALK), ["--bootstrap", B], 2, (), [BOOTSTRAP_RANGE])
        for B in ("0", "-1", "10000000000", "1e3")
    },
    "omit, then a bad price names its line": (
        "a\n1\nNA\n2\n-3\n4\n",
        ["--missing", "omit", "--log-returns"],
        2,
        (),
        ["input.csv:5: column 'a': price -3.0 is not positive"],
    ),
    "pandas index in Parquet": (
        pandas_parquet,
        ["--log-returns", "--format", "json"],
        0,
        bits([direct_log_returns(PRICES[:, 0]), direct_log_returns(PRICES[:, 1])]),
        ["'__index_level_0__' not tested: the index pandas stored"],
    ),
}


@pytest.mark.filterwarnings("error")  # NumPy's overflow warnings included: the command says it in its line
@pytest.mark.parametrize("engine", ["streaming", "pyarrow"])
@pytest.mark.parametrize(("content", "args", "status", "shown", "noted"), CLI_CASES.values(), ids=CLI_CASES.keys())
def test_cli_cases(tmp_path, capsys, monkeypatch, engine, content, args, status, shown, noted):
    if engine == "streaming":
        monkeypatch.setattr(csv_input, "arrow_csv", lambda: None)
    elif csv_input.arrow_csv() is None:
        pytest.skip("needs pyarrow")
    path = tmp_path / "input.csv"
    if callable(content):
        path = content(tmp_path)
    elif content is not None:
        path.write_text(content, encoding="utf-8")
    try:
        code = cli.main([str(path), *args])
    except SystemExit as exit:  # argparse
        code = exit.code
    out, err = capsys.readouterr()
    assert code == status, err
    assert "Traceback" not in err
    if status:
        assert len(err.strip().splitlines()) == 1 and out == ""
    words = " ".join(out.split())  # table cells compared without their padding
    assert shown(out) if callable(shown) else all(" ".join(text.split()) in words for text in shown), out
    for text in noted or []:
        assert text in err


def test_cli_interrupted_says_one_line(monkeypatch, capsys):
    def interrupted(arguments):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "read_table", interrupted)
    assert cli.main([str(ROOT / "data" / "EuStockMarkets.csv")]) == 130
    assert capsys.readouterr() == ("", "larkspur-csv: interrupted\n")


def test_cli_stops_quietly_on_a_closed_pipe(tmp_path):
    reader, writer = os.pipe()
    os.close(reader)
    command = [SCRIPT] if SCRIPT else [sys.executable, *CLI]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(
        [*command, ROOT / "data" / "EuStockMarkets.csv"],
        stdout=writer,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        timeout=120,
    )
    os.close(writer)
    assert result.returncode == 1 and result.stderr == "larkspur-csv: note: column 'rownames' not tested: row names\n"


# The command on a file with its output failing as a shell sets it up (the
# exit itself is the point, so a process of its own): one line, status 1, and
# nothing from the interpreter after it. Out of memory: the address space
# capped a little above what the imports took, and the streaming reader's
# arrays grow until they pass it.
MEMORY_CAPPED = """
import resource, sys
from larkspur_tools import cli, csv_input
csv_input.arrow_csv = lambda: None
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), resource.RLIM_INFINITY))
sys.exit(cli.main(sys.argv[1:]))
"""
WRITE_FAILED = "larkspur-csv: error: cannot write the results: No space left on device\n"
OUTPUT_FAILURES = {
    "stdout closed": (
        ["sh", "-c", 'exec "$@" >&-', "sh"],
        [],
        "larkspur-csv: error: standard output is closed: there is nowhere to write the results\n",
    ),
    "disk full": (["sh", "-c", 'exec "$@" >/dev/full', "sh"], [], WRITE_FAILED),
    "disk full, --help": (["sh", "-c", 'exec "$@" >/dev/full', "sh"], ["--help"], WRITE_FAILED),
    "out of memory": (
        None,
        [],
        "larkspur-csv: error: out of memory (the columns tested are held in memory, 8 bytes a value: "
        "--column tests fewer)\n",
    ),
}


@pytest.mark.parametrize(("shell", "args", "said"), OUTPUT_FAILURES.values(), ids=OUTPUT_FAILURES.keys())
def test_cli_output_failures_say_one_line(tmp_path, shell, args, said):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    path = ROOT / "data" / "EuStockMarkets.csv"
    if shell is None:
        if "asan" in os.environ.get("LD_PRELOAD", ""):
            pytest.skip("a sanitizer's shadow memory does not fit under a capped address space")
        path = tmp_path / "long.csv"
        path.write_bytes(b"x\n" + b"1.5\n2.5\n" * 2_000_000)  # 32 MB of float64 when read
        command = [sys.executable, "-c", MEMORY_CAPPED]
    else:
        command = [*shell, *([SCRIPT] if SCRIPT else [sys.executable, *CLI])]
    result = subprocess.run([*command, path, *args], capture_output=True, text=True, env=env, timeout=120)
    assert (result.returncode, result.stderr) == (1, said)


def test_cli_bootstrap_is_reproducible(tmp_path, capsys):
    """Each run without --seed draws a seed of its own and reports it with B
    in the output, and that seed repeats its p-values; --d reaches every
    replicate (here the original statistic is the same at every d, so only
    the replicates tell d = 30 from the default)."""
    x = np.round(np.random.default_rng(15).standard_normal(120), 3)
    path = tmp_path / "x.csv"
    path.write_text(csv_text(["x"], [[v] for v in x.tolist()]))

    def run_json(*args):
        assert cli.main([str(path), "--bootstrap", "99", "--d", "30", "--format", "json", *args]) == 0
        return json.loads(capsys.readouterr().out)

    first, second = run_json(), run_json()
    assert first[0]["bootstrap_B"] == 99 and first[0]["bootstrap_seed"] != second[0]["bootstrap_seed"]
    assert run_json("--seed", str(first[0]["bootstrap_seed"])) == first
    [row] = run_json("--seed", "1")
    assert larkspur_tools.el_tuple(x, d=30) == larkspur_tools.el_tuple(x)
    boot = larkspur_tools.bootstrap
    assert row["bootstrap_pvalue"] == boot(x, 99, d=30, seed=1).pvalue != boot(x, 99, seed=1).pvalue


def test_cli_rejects_at_the_level(tmp_path, capsys, monkeypatch):
    """p = level rejects, the asymptotic p-value as the bootstrap's (above:
    "boot p at the level rejects"); NaN, where nothing was tested, never does."""
    path = tmp_path / "x.csv"
    path.write_text(csv_text(["x"], WHITE_NOISE))
    pvalue = larkspur_tools.el_tuple([v for (v,) in WHITE_NOISE])[2]
    for level, verdict in ((pvalue, True), (np.nextafter(pvalue, 0), False)):
        monkeypatch.setattr(report, "SIGNIFICANCE", level)
        assert cli.main([str(path), "--format", "json"]) == 0
        assert json.loads(capsys.readouterr().out)[0]["reject"] is verdict
    assert not report.rejects(float("nan"), 0.05)


def test_cli_differences_and_bootstrap(tmp_path):
    path = tmp_path / "levels.csv"
    levels = np.cumsum(np.random.default_rng(3).standard_normal(300))
    path.write_text("x\n" + "\n".join(repr(float(v)) for v in levels) + "\n")
    result = run(*CLI, path, "--column", "x", "--diff", "--d", "6")
    assert result.returncode == 0, result.stderr
    expected = statistical_tests.EscancianoLobato(np.diff(levels), d=6)
    assert f"{expected.statistic:.6g}" in result.stdout and "boot p" not in result.stdout
    result = run(*CLI, path, "--column", "x", "--diff", "--d", "6", "--bootstrap", "49", "--seed", "7")
    assert result.returncode == 0, result.stderr
    row = result.stdout.splitlines()[2].split()
    assert "boot p" in result.stdout and "seed 7" in result.stdout
    assert float(row[6]) == round(larkspur_tools.bootstrap_pvalue(np.diff(levels), 49, seed=7, d=6), 5)
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


@pytest.mark.parametrize(
    ("script", "args", "needs", "labels"),
    [
        (
            "size_and_power.py",
            ["--reps", "20", "--boot", "19"],
            "numpy",
            [
                f"{model} {n}"
                for model in ("white noise (size)", "GARCH(1,1) (size)", "AR(1), phi = 0.2 (power)")
                for n in ("100", "250", "1,000")
            ],
        ),
        (
            "ljung_box_garch.py",
            ["--reps", "40"],
            "statsmodels",
            ["white noise", "GARCH(1,1), alpha 0.10, beta 0.85", "GARCH(1,1), alpha 0.20, beta 0.75"],
        ),
    ],
)
def test_monte_carlo_studies_print_their_tables(script, args, needs, labels):
    pytest.importorskip(needs)
    result = run(ROOT / "examples" / script, *args)
    assert result.returncode == 0, result.stderr
    rows = [
        [cell.strip() for cell in line.split("|")[1:-1]] for line in result.stdout.splitlines() if line.startswith("| ")
    ]
    # Each row: its label cells, then rejection rates in percent.
    assert [" ".join(cell for cell in row if not cell.endswith("%")) for row in rows[1:]] == labels
    assert all(0 <= float(cell.strip(" %")) <= 100 for row in rows[1:] for cell in row if cell.endswith("%"))


def test_companion_functions_pickle_by_reference():
    for function in (larkspur_tools.el_tuple, larkspur_tools.el_batch, larkspur_tools.el_partition):
        assert pickle.loads(pickle.dumps(function)) is function
    row = larkspur_tools.el_tuple(np.random.default_rng(7).standard_normal(500))
    assert type(row) is tuple and pickle.loads(pickle.dumps(row)) == row


def test_results_are_not_picklable():
    with pytest.raises(TypeError):
        pickle.dumps(statistical_tests.EscancianoLobato([1.0, 2.0, 4.0]))
