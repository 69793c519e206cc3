"""Wall time and peak memory of `larkspur-csv` on a large file: 2,000,000 rows
of 5 price columns (about 170 MB of CSV), against the whole-file reader the
command used before it streamed (kept below as the baseline), in the same run.

Each case runs in its own child process, best wall time of --repeat runs
(the machine is shared); its peak resident set comes from
getrusage(RUSAGE_CHILDREN) read in a wrapper process that starts only that
child. Targets: --column A at most a third of the baseline's time and at most
300 MB; with pyarrow, at most 3 s.
"""

from __future__ import annotations

import argparse
import importlib.util
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

# Runs one command and prints its wall time (s) and its peak RSS (MB).
MEASURE = """
import resource, subprocess, sys, time
start = time.perf_counter()
result = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
wall = time.perf_counter() - start
if result.returncode:
    sys.exit(result.stderr.decode()[-2000:])
print(wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024)
"""

# The command as it was: every record of the file kept as a dict of strings,
# then each column converted to a list of floats, log returns as ln(P_t/P_{t-1}).
BASELINE = """
import csv, math, sys
from larkspur import statistical_tests
path, columns, log = sys.argv[1], sys.argv[2].split(",") if sys.argv[2] else None, sys.argv[3] == "1"
with open(path, newline="", encoding="utf-8") as handle:
    reader = csv.DictReader(handle)
    fields = list(reader.fieldnames)
    records = list(enumerate(reader, start=2))
if columns is None:
    def number(text):
        try:
            float(text or "")
        except ValueError:
            return False
        return True
    columns = [name for name in fields if all(number(record[name]) for _, record in records)]
for column in columns:
    values = [float((record[column] or "").strip()) for _, record in records]
    if log:
        values = [math.log(b / a) for a, b in zip(values, values[1:])]
    print(column, statistical_tests.EscancianoLobato(values).pvalue)
"""

# The new command, with pyarrow's CSV reader hidden (the streaming reader) or not.
NEW = """
import sys
import larkspur_tools.csv_input as csv_input
if sys.argv[1] == "stream":
    csv_input.arrow_csv = lambda: None
from larkspur_tools.cli import main
sys.exit(main(sys.argv[2:]))
"""


def measure(command: list[str]) -> tuple[float, float]:
    output = subprocess.run([sys.executable, "-c", MEASURE, *command], capture_output=True, text=True, check=True)
    wall, rss = output.stdout.split()
    return float(wall), float(rss)


def write_prices(path: pathlib.Path, rows: int) -> None:
    rng = np.random.default_rng(2026)
    prices = 100.0 * np.exp(np.cumsum(rng.standard_normal((rows, 5)) * 0.01, axis=0))
    with path.open("w", encoding="utf-8") as handle:
        handle.write("A,B,C,D,E\n")
        for start in range(0, rows, 100_000):
            block = prices[start : start + 100_000]
            handle.write("\n".join(",".join(map(repr, row)) for row in block.tolist()) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs per case; the best wall time counts")
    parser.add_argument("--quick", action="store_true", help="tiny file: keeps the script working in make test")
    args = parser.parse_args()
    rows = 2_000 if args.quick else args.rows
    arrow = importlib.util.find_spec("pyarrow") is not None
    with tempfile.TemporaryDirectory() as directory:
        csv_path = pathlib.Path(directory) / "prices.csv"
        write_prices(csv_path, rows)
        size = csv_path.stat().st_size / 1e6
        cases: list[tuple[str, list[str]]] = []
        for label, columns, extra in (
            ("--column A", "A", ["--column", "A"]),
            ("--log-returns, all columns", "", ["--log-returns"]),
        ):
            log = "1" if "--log-returns" in extra else "0"
            cases.append(
                (f"{label}: before (whole-file reader)", [sys.executable, "-c", BASELINE, str(csv_path), columns, log])
            )
            cases.append((f"{label}: streaming reader", [sys.executable, "-c", NEW, "stream", str(csv_path), *extra]))
            if arrow:
                cases.append((f"{label}: with pyarrow", [sys.executable, "-c", NEW, "arrow", str(csv_path), *extra]))
        if arrow:
            import pandas as pd

            parquet_path = pathlib.Path(directory) / "prices.parquet"
            pd.read_csv(csv_path).to_parquet(parquet_path)
            cases.append(
                ("--column A: Parquet", [sys.executable, "-c", NEW, "arrow", str(parquet_path), "--column", "A"])
            )
        print(f"{rows:,} rows x 5 columns, {size:.0f} MB of CSV")
        print("| case | wall time | peak RSS |\n|---|---:|---:|")
        results = {}
        for label, command in cases:
            runs = [measure(command) for _ in range(1 if args.quick else args.repeat)]
            wall, rss = results[label] = min(run[0] for run in runs), max(run[1] for run in runs)
            print(f"| {label} | {wall:.2f} s | {rss:.0f} MB |", flush=True)
        for label in ("--column A", "--log-returns, all columns"):
            before = results[f"{label}: before (whole-file reader)"][0]
            print(
                f"{label}: streaming at {results[f'{label}: streaming reader'][0] / before:.2f} of the time before"
                + (f", with pyarrow at {results[f'{label}: with pyarrow'][0] / before:.2f}" if arrow else "")
            )


if __name__ == "__main__":
    main()
