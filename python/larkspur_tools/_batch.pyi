"""The native engine of the companion: `el_many` (see larkspur_tools/batch.py), the per-lag
profile behind `lag_table`, the exact chi-squared upper tail P(X > x) (the same bits on every
platform), the test's defaults and the lag kernels in use."""

from typing import Any

def el_many(
    values: Any, q: float | None, d: int | None, axis: int, threads: int, stop_at_first_failure: bool, /
) -> tuple[bytearray, bytearray, bytearray, list[tuple[int, type[Exception], str]]]: ...
def lag_profile(values: Any, q: float | None, d: int | None, /) -> dict[str, Any]: ...
def default_d(n: int, /) -> int: ...
def check_parameters(q: float | None, d: int | None, /) -> None: ...
def kernel_info() -> dict[str, Any]: ...  # {"running": str, "supported": tuple[str, ...], "compiled": tuple[str, ...]}

DEFAULT_Q: float

def chi2_upper_tail(x: float, df: int, /) -> float: ...
