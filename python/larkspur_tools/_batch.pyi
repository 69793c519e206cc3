"""The native engine of `larkspur_tools.el_many` (see larkspur_tools/batch.py), and the exact
chi-squared upper tail P(X > x), the same bits on every platform."""

from typing import Any

def el_many(values: Any, q: float | None, d: int | None, axis: int, threads: int,
            stop_at_first_failure: bool, /) -> tuple[bytearray, bytearray, bytearray,
                                                     list[tuple[int, type[Exception], str]]]: ...

def chi2_upper_tail(x: float, df: int, /) -> float: ...
