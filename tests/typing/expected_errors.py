"""Checked by mypy --strict, whose warn_unused_ignores makes every ignore
below an assertion: the line must be an error of exactly that code."""

from larkspur_tools import EscancianoLobato, by_column, el_many, el_tuple

from larkspur import statistical_tests

statistical_tests.EscancianoLobato("not data")  # type: ignore[arg-type]
statistical_tests.EscancianoLobato(None)  # type: ignore[arg-type]
statistical_tests.EscancianoLobato([1.0, 2.0], d=2.0)  # type: ignore[arg-type]
by_column({"a": [1.0, 2.0]}, nan="drop")  # type: ignore[arg-type]
el_tuple("not data")  # type: ignore[arg-type]
wrong: str = EscancianoLobato([1.0]).pvalue  # type: ignore[assignment]
el_many([[1.0, 2.0]], errors="ignore")  # type: ignore[call-overload]
el_many([[1.0, 2.0]]).message  # type: ignore[attr-defined]
