"""The native engine of `larkspur_tools.el_many` (see larkspur_tools/batch.py)."""

from typing import Any

def el_many(values: Any, q: float | None, d: int | None, axis: int, threads: int,
            stop_at_first_failure: bool, /) -> tuple[bytearray, bytearray, bytearray,
                                                     list[tuple[int, type[Exception], str]]]: ...
def kernel_info() -> dict[str, Any]: ...  # {"running": str, "supported": tuple[str, ...], "compiled": tuple[str, ...]}
