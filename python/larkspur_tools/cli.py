"""Test columns of a CSV or Parquet file for serial dependence.

--test el (the default), the Escanciano–Lobato test, asks whether a series
is serially uncorrelated (for returns: a martingale difference), robust to
conditional heteroscedasticity such as volatility clustering. It chooses the
number of lags itself, up to d. --test gst, the generalized spectral test,
asks more: whether any single lag predicts the series in any way, not only
linearly; its p-value is a wild bootstrap's (--bootstrap B, default 999,
Mammen weights). One row per column. Without --column, every numeric data column is tested; row
names (a first column headed "rownames", "index" or nothing), the index
pandas stores in Parquet, date and time columns and integer sequences in a
regular step (years) are not, and each column left out is listed on stderr
with its reason. The separator (",", ";" or tab) is detected. A missing
value (empty, NA, NaN, null) is an error naming its line unless
--missing omit drops it. Parquet files (.parquet, .pq) need pyarrow.
Without --log-returns or --diff the values themselves (levels) are tested.
With --bootstrap the verdict follows the bootstrap p-value.

In the output, n is the number of observations tested, d the largest lag
the test could use, p~ the number of lags it chose to sum (from 1 to d;
1 unless some autocorrelation stands out, see --q), then the statistic,
its p-value and the verdict: a p-value at most 0.05 rejects. --format csv
and json add the bootstrap's B and seed, which repeat its p-value.

Exit status: 0 when the results were written; 1 when they could not be
(output closed or full) or memory ran out; 2 for a mistake in the
command line or the file; 130 when interrupted. Every error is one line
on stderr.

Examples:
  larkspur-csv data/EuStockMarkets.csv --log-returns
  larkspur-csv data/EuStockMarkets.csv --log-returns --test gst --seed 1
  larkspur-csv data/EuStockMarkets.csv --column DAX --column FTSE --log-returns
  larkspur-csv data/sunspot.year.csv --d 8 --format json
  larkspur-csv data/EuStockMarkets.csv --log-returns --bootstrap 999 --seed 1
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, NoReturn, TextIO

import numpy as np
import numpy.typing as npt

from . import _many
from ._batch import check_parameters
from ._core import default_d
from ._shared import checked_threads, failure_text, stream
from .config import ShowConfigAction
from .csv_input import read_csv_columns
from .escanciano_lobato import RECORD as EL_RECORD
from .escanciano_lobato import ElOptions, Prepared
from .generalized_spectral import DEFAULT_B as DEFAULT_SPECTRAL_B
from .generalized_spectral import FORMS, spectral_of
from .generalized_spectral import RECORD as SPECTRAL
from .parquet_input import read_parquet_columns
from .reading import Panel
from .report import (
    ReportError,
    Row,
    SpectralRow,
    differences,
    log_returns,
    print_spectral_table,
    print_table,
    without_missing,
    write_csv,
    write_json,
)
from .small_sample import BOOTSTRAP_OPTION, small_sample_message
from .table_columns import Column, Columns
from .wild_bootstrap import MAX_B, bootstrap_result

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

PROG = "larkspur-csv"
#: The run could not finish for a reason outside the command line and the
#: file: the output could not be written, memory ran out.
EXIT_FAILED = 1
#: A mistake in the command line or the file, as argparse reports its own.
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

    def print_help(self, file: SupportsWrite[str] | None = None) -> None:
        # argparse would swallow a failed write (--help > /dev/full): let it reach main.
        (file or sys.stdout).write(self.format_help())


def separator(text: str) -> str:
    text = {"tab": "\t", "\\t": "\t"}.get(text, text)
    if len(text) != 1:
        raise argparse.ArgumentTypeError(f"a separator is one character (or 'tab'), not {text!r}")
    try:  # the csv module's own rule: not the quote, not a line end
        csv.reader((), delimiter=text)
    except (ValueError, TypeError, csv.Error):
        raise argparse.ArgumentTypeError(f"{text!r} cannot separate fields (it quotes them or ends lines)") from None
    return text


def penalty_constant(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, not {text!r}") from None
    try:  # the test's own check and message, before any column is read
        check_parameters(value, None)
    except (ValueError, OverflowError) as error:
        raise argparse.ArgumentTypeError(f"{error}, not {text!r}") from None
    return value


def largest_lag(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    # d >= 1 is the class's rule, but it checks it series by series (after
    # an empty series' own error) and the batch module's check does not, so
    # a flag has it here; the rest of d's rules are the test's own, below.
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    try:
        check_parameters(None, value)
    except (ValueError, OverflowError) as error:
        raise argparse.ArgumentTypeError(f"{error}, not {text!r}") from None
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
        "--test",
        choices=("el", "gst"),
        default="el",
        help="el: the Escanciano-Lobato test (linear autocorrelation, default); gst: the generalized "
        "spectral test (any predictability from a single lag, a bootstrap p-value)",
    )
    parser.add_argument(
        "--q",
        type=penalty_constant,
        default=None,
        help="how strong an autocorrelation must be before the test sums more lags than the first: "
        "the larger q, the more often p~ stays 1 (default 2.4; must be positive)",
    )
    parser.add_argument(
        "--d",
        type=largest_lag,
        default=None,
        help="the largest lag the test may use, so the most lags p~ can be (default floor(n ** 0.2); at most n)",
    )
    parser.add_argument(
        "--form",
        choices=tuple(FORMS),
        default=None,
        help="--test gst only: ev, standardised and free of units (default); vrtest, the R package vrtest's "
        "raw form, to reproduce published statistics",
    )
    parser.add_argument(
        "--bootstrap",
        type=bootstrap_count,
        default=None,
        metavar="B",
        help=f"el: add a wild-bootstrap p-value from B Rademacher replicates, 1 <= B <= {MAX_B:,} "
        "(reliable in short series), and the verdict then follows it; gst: its B Mammen replicates "
        f"(default {DEFAULT_SPECTRAL_B})",
    )
    parser.add_argument(
        "--seed",
        type=seed_value,
        default=None,
        metavar="S",
        help="seed of the bootstrap, a non-negative integer (default: a fresh one, reported with the results)",
    )
    parser.add_argument(
        "--format",
        choices=("table", "csv", "json"),
        default="table",
        help="table for reading; csv or json (full precision) for programs",
    )
    arguments = parser.parse_args(argv)
    # Each test's options are its own: one given to the other test is a mistake, not ignored.
    if arguments.test == "gst":
        for flag in ("q", "d"):
            if getattr(arguments, flag) is not None:
                parser.error(f"argument --{flag}: belongs to --test el, not --test gst")
        if arguments.bootstrap is None:
            arguments.bootstrap = DEFAULT_SPECTRAL_B  # the test's own default
        arguments.form = arguments.form or "ev"
    elif arguments.form is not None:
        parser.error("argument --form: belongs to --test gst, not --test el")
    if arguments.seed is not None and arguments.bootstrap is None:
        parser.error(SEED_WITHOUT_BOOTSTRAP)
    both = [name for name in arguments.column or () if name in arguments.index_col]
    if both:
        parser.error(
            f"argument --index-col: {both[0]!r} is also named by --column; a column is either tested "
            "or indexes the rows"
        )
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
    locate: Callable[[int], str] = column.locate if kept is None else lambda k: column.locate(int(kept[k]))
    if arguments.log_returns:
        return log_returns(values, lambda k: f"{locate(k)}: column {column.name!r}")
    if arguments.diff:
        return differences(values, lambda k: f"{locate(k)}: column {column.name!r}")
    return values


def el_rows(series: list[tuple[str, npt.NDArray[np.float64]]], arguments: argparse.Namespace) -> list[Row]:
    """Every column through the many-series engine in one native call; with
    --bootstrap, each column's bootstrap from the statistic already made
    (no column is tested twice)."""
    options = ElOptions(arguments.q, arguments.d)
    panel = Panel([values for _, values in series], 0, len(series))
    outcome = _many.run_many(EL_RECORD, panel, options, None, "mask", None)
    p_tilde, statistic, pvalue = outcome.columns
    failures = {index: (kind, message) for index, kind, message in outcome.failures}
    rows = []
    for index, (name, values) in enumerate(series):
        if index in failures:
            kind, message = failures[index]
            # The test's own refusals of a column: d beyond its length, a constant series.
            raise ReportError(f"column {name!r}: {failure_text(_many.failure_error(kind, message))}")
        n = len(values)
        row = Row(
            name,
            n,
            arguments.d if arguments.d is not None else default_d(n),
            int(p_tilde[index]),
            float(statistic[index]),
            float(pvalue[index]),
        )
        if arguments.bootstrap is not None:
            prepared = Prepared(values, options, checked_threads(None), float(statistic[index]))
            used, generator = stream(arguments.seed)
            result = bootstrap_result(
                EL_RECORD,
                values,
                prepared,
                arguments.bootstrap,
                "rademacher",
                used,
                generator,
                options,
                checked_threads(None),
            )
            row = dataclasses.replace(
                row, bootstrap_pvalue=result.pvalue, bootstrap_B=arguments.bootstrap, bootstrap_seed=arguments.seed
            )
        rows.append(row)
    return rows


def spectral_rows(
    series: list[tuple[str, npt.NDArray[np.float64]]], arguments: argparse.Namespace
) -> list[SpectralRow]:
    rows = []
    for name, values in series:
        try:
            result = spectral_of(
                values, arguments.bootstrap, arguments.seed, SPECTRAL.default_weights, arguments.form, None, warn=False
            )
        except (ValueError, TypeError) as error:
            raise ReportError(f"column {name!r}: {failure_text(error)}") from None
        rows.append(
            SpectralRow(
                name,
                len(values),
                result.statistic,
                result.error_bound,
                result.rank,
                result.pvalue,
                result.B,
                arguments.seed,
                result.form,
                result.weights,
            )
        )
    return rows


def run(arguments: argparse.Namespace, notes: list[str]) -> list[Row] | list[SpectralRow]:
    """Tests the columns; collects the notes for stderr."""
    columns = read_table(arguments)
    if arguments.bootstrap is not None and arguments.seed is None:
        arguments.seed = int(np.random.SeedSequence().generate_state(1, np.uint32)[0])
    notes += [f"note: column {name!r} not tested: {reason}" for name, reason in columns.skipped]
    test = spectral_rows if arguments.test == "gst" else el_rows
    series: list[tuple[str, npt.NDArray[np.float64]]] = []
    for column in columns.tested:
        try:
            series.append((column.name, series_of(column, arguments, notes)))
        except ReportError:
            test(series, arguments)  # a column before it that the test refuses is reported first
            raise
    if arguments.test == "gst":
        return spectral_rows(series, arguments)
    rows = el_rows(series, arguments)
    for row in rows:
        warning = small_sample_message(
            row.n,
            f"column {row.name!r}",
            BOOTSTRAP_OPTION if arguments.bootstrap is None else BOOTSTRAP_IN_TABLE,
        )
        if warning:
            notes.append(f"warning: {warning}")
    return rows


def write(rows: list[Row] | list[SpectralRow], arguments: argparse.Namespace, out: TextIO) -> None:
    transform = transform_name(arguments)
    if arguments.test == "gst" and arguments.format == "table":
        print_spectral_table([row for row in rows if isinstance(row, SpectralRow)], out, tested=transform)
    elif arguments.format == "csv":
        write_csv(rows, out, transform)
    elif arguments.format == "json":
        write_json(rows, out, transform)
    else:
        print_table([row for row in rows if isinstance(row, Row)], out, tested=transform)
        if arguments.bootstrap is not None:
            print(
                f"Bootstrap: {arguments.bootstrap} Rademacher replicates per column, seed {arguments.seed}.", file=out
            )
    out.flush()


def say(text: str) -> None:
    """One line on stderr, if there is a stderr to write it to."""
    if sys.stderr is None:
        return
    try:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
    except OSError:
        pass  # stderr itself closed or full: nothing left to tell the user with


def output_failed(error: OSError) -> int:
    """The results could not be written (the status, after one line saying why)."""
    # What stdout still buffers would fail again in the interpreter's final
    # flush, with a second message and status 120: it goes to /dev/null.
    try:
        stdout = sys.stdout.fileno()
    except (OSError, ValueError):
        stdout = None  # a stdout without a file descriptor (captured)
    if stdout is not None:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stdout)
        os.close(devnull)
    if not isinstance(error, BrokenPipeError):  # the reader went away (`| head`): nothing to tell
        say(f"error: cannot write the results: {error.strerror or error}")
    return EXIT_FAILED


def main(argv: list[str] | None = None) -> int:
    if sys.stdout is None:  # started with stdout closed (`>&-`)
        say("error: standard output is closed: there is nowhere to write the results")
        return EXIT_FAILED
    try:
        return _main(sys.argv[1:] if argv is None else argv)
    except KeyboardInterrupt:
        # Ctrl-C: one line, and the status a shell expects, not a traceback.
        say(INTERRUPTED)
        return EXIT_INTERRUPTED
    except MemoryError:  # raised anywhere: reading, testing, writing; what it held is freed by now
        say("error: out of memory (the columns tested are held in memory, 8 bytes a value: --column tests fewer)")
        return EXIT_FAILED
    except Exception as error:  # a fault of the command itself: still one line, and a way to report it
        say(f"error: internal fault ({type(error).__name__}: {error}); please report it with --show-config's output")
        return EXIT_FAILED


def _main(argv: list[str]) -> int:
    try:
        arguments = parse_arguments(argv)
    except OSError as error:  # --help or --show-config could not print
        return output_failed(error)
    except SystemExit:
        # --help and --show-config have printed (still buffered); a usage
        # error has said its line.
        try:
            sys.stdout.flush()
        except OSError as error:
            raise SystemExit(output_failed(error)) from None
        raise
    notes: list[str] = []
    try:
        rows = run(arguments, notes)
    except ReportError as error:
        say(f"error: {error}")
        return EXIT_USAGE
    status = 0
    try:
        write(rows, arguments, sys.stdout)
    except BrokenPipeError as error:  # the reader went away (`| head`): the notes still hold
        status = output_failed(error)
    except OSError as error:
        return output_failed(error)
    for note in notes:
        say(note)
    return status


if __name__ == "__main__":
    sys.exit(main())
