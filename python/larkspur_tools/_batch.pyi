"""The native engine of the companion: `el_many` (see larkspur_tools/batch.py), the per-lag
profile behind `lag_table`, and the test's defaults."""

from typing import Any

def el_many(values: Any, q: float | None, d: int | None, axis: int, threads: int,
            stop_at_first_failure: bool, /) -> tuple[bytearray, bytearray, bytearray,
                                                     list[tuple[int, type[Exception], str]]]: ...
def lag_profile(values: Any, q: float | None, d: int | None, /) -> dict[str, Any]: ...
def default_d(n: int, /) -> int: ...
def check_parameters(q: float | None, d: int | None, /) -> None: ...
def kernel_info() -> dict[str, Any]: ...  # {"running": str, "supported": tuple[str, ...], "compiled": tuple[str, ...]}

DEFAULT_Q: float
