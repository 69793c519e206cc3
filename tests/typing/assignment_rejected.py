"""Must FAIL mypy --strict: results are read-only and the dotted import does not exist."""

from larkspur import statistical_tests

result = statistical_tests.EscancianoLobato([1.0, 2.0, 4.0])
result.pvalue = 0.5
wrong: str = result.statistic
