"""Run the Escanciano–Lobato serial-correlation test on columns of a CSV or Parquet file.

The test asks whether a series is serially uncorrelated (for returns: a
martingale difference), robust to conditional heteroscedasticity such as
volatility clustering. It chooses the number of lags itself, up to d. One
row per column. Without --column, every numeric data column is tested; row
names (a first column headed "rownames", "index" or nothing), the index
pandas stores in Parquet, date and time columns and integer sequences in a
regular step (years) are not, and each column left out is listed on stderr
with its reason. The separator (",", ";" or tab) is detected. A missing
value (empty, NA, NaN, null) is an error naming its line unless
--missing omit drops it. Parquet files (.parquet, .pq) need pyarrow.
Without --log-returns or --diff the values themselves (levels) are tested.
With --bootstrap the verdict follows the bootstrap p-value.

Examples:
  larkspur-csv data/EuStockMarkets.csv --log-returns
  larkspur-csv data/EuStockMarkets.csv --column DAX --column FTSE --log-returns
  larkspur-csv data/sunspot.year.csv --d 8 --format json
  larkspur-csv data/EuStockMarkets.csv --log-returns --bootstrap 999 --seed 1
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import warnings
from collections.abc import Callable
from typing import NoReturn, TextIO

import numpy as np
import numpy.typing as npt

from .config import ShowConfigAction
from .csv_input import read_csv_columns
from .parquet_input import read_parquet_columns
from .report import (
    ReportError,
    Row,
    differences,
    log_returns,
    print_table,
    run_test,
    without_missing,
    write_csv,
    write_json,
)
from .small_sample import BOOTSTRAP_OPTION, SmallSampleWarning, small_sample_message
from .table_columns import Column, Columns
from .wild_bootstrap import MAX_B, bootstrap

PROG = "larkspur-csv"
EXIT_USAGE = 2
#: As a shell reports a command ended by SIGINT (128 + 2).
EXIT_INTERRUPTED = 130
INTERRUPTED = "interrupted"
SEED_WITHOUT_BOOTSTRAP = "--seed needs --bootstrap B (it seeds the bootstrap, and nothing else is random)"
BOOTSTRAP_IN_TABLE = "the boot p column does not lean on that approximation"


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other user error (argparse would add the usage).
        self.exit(EXIT_USAGE, f"{PROG}: error: {message} (see --help)\n")


def separator(text: str) -> str:
    text = {"tab": "\t", "\\t": "\t"}.get(text, text)
    if len(text) != 1:
        raise argparse.ArgumentTypeError(f"a separator is one character (or 'tab'), not {text!r}")
    return text


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return value


def bootstrap_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_B:
        raise argparse.ArgumentTypeError(f"must be an integer from 1 to {MAX_B:,}, not {text!r}")
    return value


def seed_value(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a non-negative integer, not {text!r}")
    return value


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = Parser(
        prog=PROG,
        description=__doc__.split("\n\n")[0],
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", help="CSV file with a header row, or a Parquet file")
    parser.add_argument(
        "--show-config", action=ShowConfigAction, help="print versions and kernel variants (for bug reports) and exit"
    )
    parser.add_argument(
        "--column",
        action="append",
        default=None,
        help="name of a column to test (repeat for several; default: every numeric data column)",
    )
    parser.add_argument(
        "--index-col",
        action="append",
        default=[],
        metavar="COLUMN",
        help="a column that indexes the rows: never tested (repeat for several)",
    )
    parser.add_argument(
        "--sep",
        type=separator,
        default=None,
        help="field separator of a CSV file: ',', ';', 'tab' (default: detected from the header)",
    )
    parser.add_argument(
        "--missing",
        choices=("raise", "omit"),
        default="raise",
        help="a missing value is an error (raise, default), or is dropped from its column (omit; "
        "the observations around it are then tested as if adjacent)",
    )
    transform = parser.add_mutually_exclusive_group()
    transform.add_argument(
        "--log-returns",
        action="store_true",
        help="test r_t = ln P_t - ln P_{t-1} instead of the values (prices must be positive)",
    )
    transform.add_argument("--diff", action="store_true", help="test first differences x_t - x_{t-1}")
    parser.add_argument(
        "--q", type=float, default=None, help="constant of the penalty switch (default 2.4; must be positive)"
    )
    parser.add_argument(
        "--d", type=positive_int, default=None, help="largest lag considered (default floor(n ** 0.2); at most n)"
    )
    parser.add_argument(
        "--bootstrap",
        type=bootstrap_count,
        default=None,
        metavar="B",
        help=f"add a wild-bootstrap p-value from B Rademacher replicates, 1 <= B <= {MAX_B:,} "
        "(reliable in short series); the verdict then follows it",
    )
    parser.add_argument(
        "--seed",
        type=seed_value,
        default=None,
        metavar="S",
        help="seed of the bootstrap, a non-negative integer (default: a fresh one, printed)",
    )
    parser.add_argument(
        "--format",
        choices=("table", "csv", "json"),
        default="table",
        help="table for reading; csv or json (full precision) for programs",
    )
    arguments = parser.parse_args(argv)
    if arguments.seed is not None and arguments.bootstrap is None:
        parser.error(SEED_WITHOUT_BOOTSTRAP)
    return arguments


def read_table(arguments: argparse.Namespace) -> Columns:
    path = arguments.path
    if path.endswith((".parquet", ".pq")):
        return read_parquet_columns(path, arguments.column, index_cols=arguments.index_col)
    return read_csv_columns(path, arguments.column, sep=arguments.sep, index_cols=arguments.index_col)


def transform_name(arguments: argparse.Namespace) -> str:
    return "log-returns" if arguments.log_returns else "diff" if arguments.diff else "none"


def series_of(column: Column, arguments: argparse.Namespace, notes: list[str]) -> npt.NDArray[np.float64]:
    """The series tested for a column: missing values handled, then transformed."""
    values, kept = without_missing(column, arguments.missing)
    if kept is not None:
        omitted = len(column.values) - len(values)
        notes.append(f"note: column {column.name!r}: {omitted} missing value{'s' * (omitted > 1)} omitted")
    if arguments.log_returns:
        locate: Callable[[int], str] = column.locate if kept is None else lambda k: column.locate(int(kept[k]))
        return log_returns(values, lambda k: f"{locate(k)}: column {column.name!r}")
    return differences(values) if arguments.diff else values


def test_series(name: str, values: npt.NDArray[np.float64], arguments: argparse.Namespace) -> Row:
    try:
        row = run_test(name, values, arguments.q, arguments.d)
        if arguments.bootstrap is None:
            return row
        # The command says it itself, on one line, under the table.
        with warnings.catch_warnings(action="ignore", category=SmallSampleWarning):
            result = bootstrap(values, arguments.bootstrap, seed=arguments.seed, q=arguments.q, d=arguments.d)
        return dataclasses.replace(row, bootstrap_pvalue=result.pvalue)
    except (ValueError, TypeError, OSError, OverflowError) as error:
        # The test's own refusals: empty data, bad q or d, a constant series.
        raise ReportError(f"column {name!r}: {error}") from None


def run(arguments: argparse.Namespace, out: TextIO, notes: list[str]) -> None:
    """Tests the columns and writes the results; collects the notes for stderr."""
    columns = read_table(arguments)
    if arguments.bootstrap is not None and arguments.seed is None:
        arguments.seed = int(np.random.SeedSequence().generate_state(1, np.uint32)[0])
    notes += [f"note: column {name!r} not tested: {reason}" for name, reason in columns.skipped]
    rows = []
    for column in columns.tested:
        rows.append(test_series(column.name, series_of(column, arguments, notes), arguments))
        warning = small_sample_message(
            rows[-1].n,
            f"column {column.name!r}",
            BOOTSTRAP_OPTION if arguments.bootstrap is None else BOOTSTRAP_IN_TABLE,
        )
        if warning:
            notes.append(f"warning: {warning}")
    transform = transform_name(arguments)
    if arguments.format == "csv":
        write_csv(rows, out, transform)
    elif arguments.format == "json":
        write_json(rows, out, transform)
    else:
        print_table(rows, out, tested=transform)
        if arguments.bootstrap is not None:
            print(
                f"Bootstrap: {arguments.bootstrap} Rademacher replicates per column, seed {arguments.seed}.", file=out
            )
    if arguments.bootstrap is not None and arguments.format != "table":
        notes.append(f"note: bootstrap: {arguments.bootstrap} Rademacher replicates per column, seed {arguments.seed}")
    out.flush()


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    notes: list[str] = []
    status = 0
    try:
        run(arguments, sys.stdout, notes)
    except ReportError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        # Ctrl-C: one line, and the status a shell expects, not a traceback.
        print(f"{PROG}: {INTERRUPTED}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter's final flush from failing on the closed pipe again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    for note in notes:
        print(f"{PROG}: {note}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
