"""Allocation failures swept over the Python allocations of a call: every
call ends in its result or MemoryError, and no borrow is left behind."""

import json
import textwrap

from conftest import needs_support_modules, run_python

SWEEP = textwrap.dedent(
    """
    import json, sys, _testcapi
    import numpy as np
    import _borrow_participant as other
    other.set_up()
    from larkspur import statistical_tests
    EL = statistical_tests.EscancianoLobato

    class ToNumpy:
        def __init__(self, a): self.a = a
        def to_numpy(self, copy): return self.a

    x = np.array([0.5, -1.25, 2.0, 3.75, -0.5, 1.0, 4.0, -2.0])
    inputs = {"array": x, "list": x.tolist(), "tuple": tuple(x.tolist()), "strided": np.repeat(x, 2)[::2],
              "to_numpy": ToNumpy(x), "int64": np.arange(8), "range": range(8)}
    expected = {}
    for name, data in inputs.items():
        r = EL(data, 2.4, 2)
        expected[name] = (r.p_tilde, r.statistic, r.pvalue)
    outcomes, calls, bad = {}, 0, []
    for name, data in inputs.items():
        for start in range(0, 80):
            for stop in (start + 1, start + 3, 0):
                calls += 1
                try:
                    _testcapi.set_nomemory(start, stop)
                    try:
                        r = EL(data, 2.4, 2)
                        got = (r.p_tilde, r.statistic, r.pvalue)
                    finally:
                        _testcapi.remove_mem_hooks()
                    outcome = "result" if got == expected[name] else "WRONG RESULT"
                except MemoryError:
                    outcome = "MemoryError"
                except BaseException as e:
                    outcome = type(e).__name__
                    bad.append((name, start, stop, repr(e)[:200]))
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
    print(json.dumps({"calls": calls, "outcomes": outcomes, "bad": bad, "registry": len(other.contents())}))
    """
)


@needs_support_modules
def test_every_call_ends_in_its_result_or_memory_error():
    result = run_python(SWEEP)
    assert result.returncode == 0, result.stderr[-3000:]
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    assert figures["bad"] == []
    assert set(figures["outcomes"]) <= {"result", "MemoryError"}
    assert figures["outcomes"].get("MemoryError", 0) > 0  # the sweep really hit allocations
    assert figures["registry"] == 0
