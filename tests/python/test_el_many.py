"""el_many: the class's bits and errors for every series of a panel, on any
number of threads, without the interpreter lock, and interruptible."""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest
from conftest import SIGINT_AS_IN_A_TERMINAL, TIMEOUT_SCALE, needs_support_modules, run_python
from larkspur_tools import _batch, el_many

from larkspur import statistical_tests

EL = statistical_tests.EscancianoLobato
# Short and failing series on purpose; the warning's count has its own test.
pytestmark = pytest.mark.filterwarnings("ignore::larkspur_tools.SmallSampleWarning")


def outcome(values, q=None, d=None):
    """What the class gives: (p_tilde, statistic, pvalue) or (exception type, message)."""
    try:
        result = EL(values, q, d)
    except (ValueError, OSError) as error:
        return type(error), str(error)
    return result.p_tilde, result.statistic, result.pvalue


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64)


def random_panel(rng, rows, columns):
    # Volatility clusters and a little correlation, so that p~ and the
    # penalty switch vary across series.
    scale = np.exp(np.cumsum(rng.normal(0, 0.2, (rows, columns)), axis=0) * 0.1)
    noise = rng.standard_normal((rows, columns)) * scale
    return noise + 0.3 * np.roll(noise, 1, axis=0) * rng.integers(0, 2, columns)


RNG = np.random.default_rng(20)
PANEL = random_panel(RNG, 300, 240)
# (name, values as given to el_many, axis, the series as 1-D arrays)
LAYOUTS = [
    ("C order, columns", PANEL, 0, list(PANEL.T)),
    ("Fortran order, columns", np.asfortranarray(PANEL), 0, list(PANEL.T)),
    ("rows", PANEL.T.copy(), 1, list(PANEL.T)),
    ("reversed, every other row", PANEL[::-1, ::2], 0, list(PANEL[::-1, ::2].T)),
    ("float32, converted once", PANEL.astype(np.float32), 0, list(PANEL.astype(np.float32).T)),
    ("bool, converted once", PANEL > 0.5, 0, list((PANEL > 0.5).T)),
    ("DataFrame", pd.DataFrame(PANEL[:, :50]), 0, list(PANEL[:, :50].T)),
    (
        "ragged, strided",
        [PANEL[: 2 + 7 * k : 1 + k % 3, k] for k in range(60)],
        0,
        [PANEL[: 2 + 7 * k : 1 + k % 3, k] for k in range(60)],
    ),
    # one length, so taken side by side, each with its own stride
    (
        "equal length, strides 1 to 4",
        [PANEL[: 60 * (1 + k % 4) : 1 + k % 4, k] for k in range(40)],
        0,
        [PANEL[: 60 * (1 + k % 4) : 1 + k % 4, k] for k in range(40)],
    ),
]


@pytest.mark.parametrize(("q", "d"), [(None, None), (3.5, 9)])
@pytest.mark.parametrize(("name", "values", "axis", "series"), LAYOUTS, ids=[layout[0] for layout in LAYOUTS])
def test_bits_of_the_class_on_any_layout_and_thread_count(name, values, axis, series, q, d):
    expected = [outcome(s, q, d) for s in series]
    assert sum(len(e) == 3 for e in expected) > len(expected) // 2  # short ragged ones may fail
    for threads in (1, 2, 4):
        got = el_many(values, q, d, axis=axis, threads=threads, errors="mask")
        for i, e in enumerate(expected):
            if len(e) == 3:
                assert got.message[i] is None
                assert (int(got.p_tilde[i]), bits(got.statistic[i]), bits(got.pvalue[i])) == (
                    e[0],
                    bits(e[1]),
                    bits(e[2]),
                ), (name, threads, i)
            else:
                assert got.message[i] == e[1] and got.p_tilde[i] == 0 and np.isnan(got.pvalue[i])


FAILING = [
    ("fine", RNG.standard_normal(50)),
    ("empty", np.empty(0)),
    ("NaN after an infinity", np.array([1.0, np.inf, 2.0, np.nan, 3.0])),
    ("infinity", np.array([1.0, -np.inf, 2.0, 0.5])),
    ("one value", np.array([1.5])),
    ("zero tau", np.zeros(30)),
    ("too large in magnitude", np.array([1e200, -1e200, 3e199, 2e200])),
    ("shorter than d", np.array([0.3, -1.0, 2.0])),
    ("fine again", RNG.standard_normal(80)),
    # a group of four of one length, taken side by side: the zero tau-hat at
    # lag 2 (lag 1 is fine) must come back as that error, not as a result
    ("group, fine", RNG.standard_normal(40)),
    ("group, zero tau at lag 2", np.tile([1.0, -1.0, 0.0, 0.0], 10)),
    ("group, fine too", RNG.standard_normal(40)),
    ("group, fine as well", RNG.standard_normal(40)),
]


@pytest.mark.parametrize("d", [None, 5, 0])
def test_errors_and_masks_are_the_class_errors_with_notes(d):
    series = [values for _, values in FAILING]
    expected = [outcome(values, None, d) for values in series]
    masked = el_many(series, d=d, errors="mask")
    assert masked.message == [None if len(e) == 3 else e[1] for e in expected]
    failed = [i for i, e in enumerate(expected) if len(e) == 2]
    assert np.all(masked.p_tilde[failed] == 0) and np.isnan(masked.statistic[failed]).all()
    first = failed[0]
    with pytest.raises(expected[first][0]) as raised:
        el_many(series, d=d)
    assert type(raised.value) is expected[first][0] and str(raised.value) == expected[first][1]
    assert raised.value.__notes__ == [f"in series {first}"]
    frame = pd.DataFrame(
        {name: np.resize(values, 4) if len(values) else np.full(4, np.nan) for name, values in FAILING[2:]}
    )
    with pytest.raises(ValueError) as raised:
        el_many(frame, d=d)
    assert raised.value.__notes__ == [f"in column {FAILING[2][0]!r}"]


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"q": "x"}, TypeError),
        ({"q": -1.0}, ValueError),
        ({"d": -1}, OverflowError),
        ({"d": 1.5}, TypeError),
        ({"threads": 0}, ValueError),
        ({"threads": -1}, ValueError),
        ({"threads": True}, ValueError),
        ({"threads": 1.0}, TypeError),
        ({"threads": "2"}, TypeError),
        ({"threads": 2**64}, OverflowError),
        ({"errors": "ignore"}, ValueError),
        ({"axis": 2}, ValueError),
        ({"axis": 1.0}, TypeError),
        ({"axis": True}, TypeError),
    ],
)
def test_refused_arguments(kwargs, error):
    values = RNG.standard_normal((40, 3))
    with pytest.raises(error) as raised:
        el_many(values, **kwargs)
    if "q" in kwargs or "d" in kwargs:
        # The class's own error, as for the first series.
        with pytest.raises(error) as direct:
            EL(values[:, 0], kwargs.get("q"), kwargs.get("d"))
        assert str(raised.value) == str(direct.value) and raised.value.__notes__ == ["in series 0"]
    elif "threads" in kwargs:
        # An argument's error names the argument, never a series.
        assert "threads" in str(raised.value) and not hasattr(raised.value, "__notes__")
    elif "axis" in kwargs:
        assert str(raised.value) == f"axis must be 0 or 1, not {kwargs['axis']!r}"


@pytest.mark.parametrize("message", ["", "std::bad_alloc"])
def test_errors_mask_never_masks_a_series_memory_error(monkeypatch, message):
    """The native batch reports a series whose buffer could not be had as a
    MemoryError failure: it is raised, named, beside failures that are masked."""
    real = _batch.el_many

    def short_of_memory(values, q, d, axis, threads, stop):
        *columns, failures = real(values, q, d, axis, threads, stop)
        return (*columns, sorted([*failures, (2, MemoryError, message)]))

    monkeypatch.setattr(_batch, "el_many", short_of_memory)
    series = [np.ones(30), RNG.standard_normal(50), RNG.standard_normal(50)]
    with pytest.raises(MemoryError) as raised:
        el_many(series, errors="mask")
    assert str(raised.value) == message and raised.value.__notes__ == ["in series 2"]


def test_threads_0_is_refused_by_the_companion_and_by_the_native_batch_alone():
    values = RNG.standard_normal((40, 3))
    with pytest.raises(ValueError, match=r"^threads must be a positive integer, not 0$"):
        el_many(values, threads=0)
    with pytest.raises(ValueError, match=r"^threads must be positive$"):
        _batch.el_many(values, None, None, 0, 0, True)


@pytest.mark.parametrize(
    "values",
    [
        RNG.standard_normal(10),
        RNG.standard_normal((2, 2, 2)),
        "abc",
        np.array([["a", "b"]]),
        [RNG.standard_normal((3, 3))],
    ],
)
def test_refused_panels(values):
    with pytest.raises(TypeError):
        el_many(values)


# Zero-stride rows of one series: a long batch made in no time.
LONG_BATCH = "np.broadcast_to(np.random.default_rng(0).standard_normal(2500), ({count}, 2500))"


def test_other_threads_run_during_a_batch():
    panel = eval(LONG_BATCH.format(count=4000))
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        before = ticks
        el_many(panel, d=60, axis=1, threads=1)
        during = ticks - before
    finally:
        stop.set()
        counter.join()
    assert during > 1000, during


@pytest.mark.parametrize(
    ("setup", "call"),
    [
        (LONG_BATCH.format(count=400_000), "el_many(panel, d=60, axis=1, threads=2)"),
        # A long bootstrap of the generalized spectral test (hours if let run).
        ("np.random.default_rng(1).standard_normal(20_000)", "gen_spectral(panel, 10**7, seed=1, threads=2)"),
    ],
    ids=["el_many", "gen_spectral"],
)
def test_ctrl_c_stops_a_long_batch(setup, call):
    code = textwrap.dedent(f"""
        import sys, time
        import numpy as np
        from larkspur_tools import el_many, gen_spectral
        panel = {setup}
        print("start", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print(time.monotonic(), flush=True)
            sys.exit(0)
        sys.exit("the batch ran to the end")
    """)
    import os

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen(
        [sys.executable, "-c", SIGINT_AS_IN_A_TERMINAL + code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert child.stdout.readline().strip() == "start"
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60 * TIMEOUT_SCALE)
    assert child.returncode == 0, err
    # About 100 ms at most; a loaded shared machine gets some slack.
    assert float(out.strip()) - sent < 0.5


@needs_support_modules
def test_borrows_are_taken_and_given_back():
    result = run_python(
        textwrap.dedent("""
        import numpy as np
        import _borrow_participant as other
        from larkspur_tools import el_many
        x = np.random.default_rng(1).standard_normal((100, 4))
        other.set_up()
        assert other.acquire_mut(x[:, 1]) == 0
        try:
            el_many(x)
        except BaseException as e:
            assert type(e).__name__ == "PanicException", e
        else:
            raise AssertionError("an exclusively borrowed array was read")
        other.release_mut(x[:, 1])
        x[0, 2] = np.nan
        el_many(x, errors="mask")
        el_many([x[:, 0], x[:, 2]], errors="mask")
        try:
            el_many(x)
        except ValueError:
            pass
        assert other.acquire_mut(x) == 0
        print("ok")
    """)
    )
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stdout + result.stderr
