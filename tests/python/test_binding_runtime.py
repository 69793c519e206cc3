"""The binding runtime through the test-only _binding_probe module."""

import ctypes
import gc
import sys
import threading
import weakref

import _binding_probe as probe
import pytest
from conftest import import_in_legacy_subinterpreter, needs_subinterpreters, reimport_gives_same_module, run_python

NEW = "EscancianoLobato.__new__()"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: probe.bind_ctor(), f"{NEW} missing 1 required positional argument: 'raw_data'"),
        (lambda: probe.bind_ctor(1, 2, 3, 4), f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
        # too many positionals is decided before keywords are looked at
        (lambda: probe.bind_ctor(1, 2, 3, 4, zz=1), f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: probe.bind_ctor(1, raw_data=1), f"{NEW} got multiple values for argument 'raw_data'"),
        (lambda: probe.bind_ctor(1, 2.4, q=3.0), f"{NEW} got multiple values for argument 'q'"),
        # keywords are examined before missing arguments
        (lambda: probe.bind_ctor(data=1), f"{NEW} got an unexpected keyword argument 'data'"),
        (lambda: probe.bind_one(1, 2), "Probe.one() takes 1 positional arguments but 2 were given"),
        (lambda: probe.bind_one(), "Probe.one() missing 1 required positional argument: 'x'"),
        (lambda: probe.bind_four(1), "four() missing 3 required positional arguments: 'b', 'c', and 'd'"),
        (lambda: probe.bind_four(), "four() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'"),
        (lambda: probe.bind_four(1, 2, d=4), "four() missing 1 required positional argument: 'c'"),
        (
            lambda: probe.bind_posonly(a=1, b=2, k=0),
            "posonly() got some positional-only arguments passed as keyword arguments: 'a' and 'b'",
        ),
        (
            lambda: probe.bind_posonly(1, b=2, k=0),
            "posonly() got some positional-only arguments passed as keyword arguments: 'b'",
        ),
        # an unexpected key wins over positional-only misuse collected before it
        (lambda: probe.bind_posonly(a=1, zz=2), "posonly() got an unexpected keyword argument 'zz'"),
        (lambda: probe.bind_posonly(1, 2), "posonly() missing 1 required keyword argument: 'k'"),
        (lambda: probe.bind_keywords(1), "keywords() missing 3 required keyword arguments: 'p', 'r', and 's'"),
        (lambda: probe.bind_keywords(p=1, s=2), "keywords() missing 1 required keyword argument: 'r'"),
        (lambda: probe.bind_keywords(p=1, p2=2), "keywords() got an unexpected keyword argument 'p2'"),
        (
            lambda: probe.bind_one(**{"x\udcff": 1}),
            "Probe.one() got an unexpected keyword argument 'x\ufffd\ufffd\ufffd'",
        ),
    ],
)
def test_binding_failures_carry_exact_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    ("call", "bound"),
    [
        (lambda: probe.bind_ctor([1], q=3.0, d=4), {"raw_data": [1], "q": 3.0, "d": 4}),
        (lambda: probe.bind_ctor(raw_data=5), {"raw_data": 5}),
        (lambda: probe.bind_ctor(1, None), {"raw_data": 1, "q": None}),
        (lambda: probe.bind_posonly(1, 2, 3, k=4, m=5), {"a": 1, "b": 2, "c": 3, "k": 4, "m": 5}),
        (lambda: probe.bind_posonly(1, 2, c=3, k=4), {"a": 1, "b": 2, "c": 3, "k": 4}),
        (lambda: probe.bind_keywords(s=1, r=2, p=3), {"p": 3, "r": 2, "s": 1}),
    ],
)
def test_binding_fills_slots(call, bound):
    assert call() == bound


def test_non_string_keyword_key_is_unexpected():
    # Python's own call syntax refuses such keys; the C API does not.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    with pytest.raises(TypeError, match=r"^Probe\.one\(\) got an unexpected keyword argument '1'$"):
        call(probe.bind_one, (), {1: 2})


class StrRaises:
    def __str__(self):
        raise KeyError("no text")


def test_object_text(unraisable):
    assert probe.object_text("plain") == "plain"
    assert probe.object_text(12) == "12"
    assert probe.object_text("a\ud800b") == "a\ufffd\ufffd\ufffdb"
    obj = StrRaises()
    assert probe.object_text(obj) == "<unprintable StrRaises object>"
    assert len(unraisable) == 1
    assert unraisable[0].object is obj
    assert isinstance(unraisable[0].exc_value, KeyError)


def test_fetching_with_nothing_pending_is_a_system_error():
    with pytest.raises(SystemError, match="^attempted to fetch exception but none was set$"):
        probe.fetch_nothing()


@pytest.mark.parametrize("not_an_exception", [int, 3, None, object])
def test_deferred_error_of_a_non_exception_type(not_an_exception):
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        probe.raise_deferred(not_an_exception, "text")


def test_deferred_error_argument_shapes():
    with pytest.raises(KeyError) as caught:
        probe.raise_deferred(KeyError, ("k",))
    assert caught.value.args == ("k",)
    with pytest.raises(MemoryError) as caught:
        probe.raise_deferred(MemoryError, None)
    assert caught.value.args == ()


def panic_type():
    try:
        probe.fault("x")
    except BaseException as error:  # noqa: BLE001 - fishing out the type on purpose
        return type(error)
    raise AssertionError("no PanicException raised")


def test_internal_fault_becomes_panic_exception():
    with pytest.raises(BaseException) as caught:
        try:
            probe.fault("broken invariant")
        except Exception:  # noqa: BLE001
            pytest.fail("PanicException must not be an Exception")
    panic = caught.value
    assert panic.args == ("broken invariant",)
    assert type(panic).__module__ == "larkspur_runtime"
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    doc = type(panic).__doc__
    assert doc.startswith("\n") and doc.endswith("\n") and doc.count("\n\n") == 1
    assert "BaseException" in doc
    assert panic_type() is type(panic)  # one type per process


def test_bad_alloc_becomes_memory_error():
    with pytest.raises(MemoryError):
        probe.out_of_memory()


def test_fault_resumption(capfd):
    PanicException = panic_type()

    def raises_panic():
        raise PanicException("resumed text")

    capfd.readouterr()
    with pytest.raises(BaseException) as caught:
        probe.call_and_fetch(raises_panic)
    assert type(caught.value) is PanicException
    assert caught.value.args == ("resumed text",)
    assert caught.value.__context__ is None or caught.value.__context__ is not caught.value
    err = capfd.readouterr().err
    lines = err.splitlines()
    banner = next(i for i, line in enumerate(lines) if line.startswith("---"))
    assert lines[banner].endswith("---") and "PanicException" in lines[banner]
    assert lines[banner + 1] == "Python stack trace below:"
    assert "raises_panic" in err and "resumed text" in err


def test_foreign_panic_exception_passes_through(capfd):
    class PanicException(BaseException):
        pass

    def raises():
        raise PanicException("foreign")

    capfd.readouterr()
    with pytest.raises(PanicException):
        probe.call_and_fetch(raises)
    assert "Python stack trace below:" not in capfd.readouterr().err


def test_debug_rendering_with_and_without_traceback():
    def fails():
        raise ValueError('quote " backslash \\ end')

    text = probe.debug_rendering(fails)
    assert text.startswith("PendingError { type: <class 'ValueError'>, value: ValueError(")
    assert ', traceback: Some("Traceback (most recent call last):\\n' in text
    assert "line " in text and "in fails\\n" in text and text.endswith('") }')
    assert probe.debug_rendering_deferred("bad") == (
        "PendingError { type: <class 'ValueError'>, value: ValueError('bad'), traceback: None }"
    )


def test_fault_with_error_text():
    with pytest.raises(BaseException) as caught:
        probe.fault_with_error(lambda: 1 / 0)
    (text,) = caught.value.args
    assert text.startswith(
        "probe operation failed: PendingError { type: <class 'ZeroDivisionError'>, "
        "value: ZeroDivisionError('division by zero'), traceback: Some("
    )


def test_cause_of_a_fetched_error():
    def chained():
        raise ValueError("outer") from KeyError("inner")

    with pytest.raises(KeyError, match="inner"):
        probe.cause_of(chained)
    assert probe.cause_of(lambda: 1 / 0) is None


class FloatsTo:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexes:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    ("convert", "value", "expected"),
    [
        (probe.extract_f64, 1.5, 1.5),
        (probe.extract_f64, 3, 3.0),
        (probe.extract_f64, FloatsTo(-1.0), -1.0),
        (probe.extract_f64, True, 1.0),
        (probe.extract_u64, 0, 0),
        (probe.extract_u64, True, 1),
        (probe.extract_u64, 2**64 - 1, 18446744073709551615),
        (probe.extract_u64, Indexes(), 7),
        (probe.extract_u8, 0, 0),
        (probe.extract_u8, 255, 255),
        (probe.extract_u8, True, 1),
    ],
)
def test_scalar_conversions(convert, value, expected):
    result = convert(value)
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize(
    ("convert", "value", "error", "message"),
    [
        (probe.extract_f64, "1.0", TypeError, "must be real number, not str"),
        (probe.extract_u64, -1, OverflowError, "can't convert negative int to unsigned"),
        (probe.extract_u64, 2**64, OverflowError, "int too big to convert"),
        (probe.extract_u64, 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (probe.extract_u8, 256, OverflowError, "out of range integral type conversion attempted"),
        (probe.extract_u8, -1, OverflowError, "out of range integral type conversion attempted"),
        (probe.extract_u8, 2**70, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_scalar_conversion_failures(convert, value, error, message):
    with pytest.raises(error) as caught:
        convert(value)
    assert str(caught.value) == message


class TypeErrorSubclass(TypeError):
    pass


def raising(error):
    def call():
        raise error

    return call


def test_wrap_argument_error_rewrites_plain_type_errors():
    with pytest.raises(TypeError) as caught:
        probe.wrap("q", raising(TypeError("must be real number, not str")))
    assert caught.value.args == ("argument 'q': must be real number, not str",)
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__ is True


def test_wrap_argument_error_keeps_the_cause():
    def with_cause():
        raise TypeError("outer") from KeyError("root")

    with pytest.raises(TypeError) as caught:
        probe.wrap("d", with_cause)
    assert str(caught.value) == "argument 'd': outer"
    assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize("error", [TypeErrorSubclass("sub"), OverflowError("big"), ValueError("bad")])
def test_wrap_argument_error_passes_other_errors_unchanged(error):
    with pytest.raises(type(error)) as caught:
        probe.wrap("q", raising(error))
    assert caught.value is error


def test_wrap_argument_error_with_unprintable_message(unraisable):
    error = TypeError(StrRaises())
    with pytest.raises(TypeError) as caught:
        probe.wrap("q", raising(error))
    assert str(caught.value) == "argument 'q': <unprintable TypeError object>"
    assert unraisable and unraisable[0].object is error


def test_conversion_error_message():
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyList'$"):
        probe.conversion_error(5, "PyList")
    with pytest.raises(
        TypeError, match=r"^'test_conversion_error_message.<locals>.Local' object cannot be converted to 'X'$"
    ):

        class Local:
            pass

        probe.conversion_error(Local(), "X")


def test_class_documentation_and_names():
    cls = probe.make_class("Signed", "First line.\n\nSecond.", "(data, /, q=2.4, d=None)")
    assert cls.__doc__ == "First line.\n\nSecond."
    assert cls.__text_signature__ == "(data, /, q=2.4, d=None)"
    assert cls.__module__ == "builtins" and cls.__qualname__ == "Signed"
    plain = probe.make_class("Plain", "Just text.", None)
    assert plain.__doc__ == "Just text." and plain.__text_signature__ is None


def test_class_documentation_with_nul_fails_with_cause():
    with pytest.raises(RuntimeError) as caught:
        probe.make_class("Nul", "a\x00b", None)
    assert str(caught.value) == "An error occurred while initializing class Nul"
    assert type(caught.value.__cause__) is ValueError
    assert str(caught.value.__cause__) == "class doc cannot contain nul bytes"


def test_class_without_constructor():
    instance = probe.new_instance("opaque", 2.5)
    cls = type(instance)
    assert cls.__module__ == "larkspur_probe"
    for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
        with pytest.raises(TypeError, match="^No constructor defined for Opaque$"):
            cls(*args, **kwargs)
    with pytest.raises(TypeError):

        class Derived(cls):
            pass

    with pytest.raises(AttributeError):
        instance.other = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    cls.extra = 1  # not an immutable type
    assert cls.value.__doc__ == "The stored value."


def test_receiver_check_and_shared_borrow():
    instance = probe.new_instance("opaque", -0.0)
    value = instance.value
    assert str(value) == "-0.0"
    assert probe.borrow_counter(instance) == 0
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'Opaque'$"):
        probe.read_opaque(5)
    probe.set_borrow_counter(instance, 2**64 - 1)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        instance.value
    probe.set_borrow_counter(instance, 3)
    assert instance.value == 0.0 and probe.borrow_counter(instance) == 3
    probe.set_borrow_counter(instance, 0)


def test_setter_runs_in_the_int_boundary():
    instance = probe.new_instance("opaque", 1.0)
    instance.settable = 2.5
    assert instance.value == 2.5
    with pytest.raises(TypeError, match="must be real number"):
        instance.settable = "x"
    with pytest.raises(AttributeError, match="^value cannot be deleted$"):
        del instance.settable
    with pytest.raises(BaseException) as caught:
        instance.settable = -1.0
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("negative values are refused by a fault",)
    assert instance.value == 2.5 and probe.lock_depth() == 1


def test_instances_do_not_leak_their_class():
    cls = type(probe.new_instance("opaque", 1.0))
    gc.collect()
    before = sys.getrefcount(cls)
    for i in range(10_000):
        probe.new_instance("opaque", float(i))
    gc.collect()
    assert sys.getrefcount(cls) == before


def test_fault_in_dealloc_is_unraisable(unraisable):
    probe.new_instance("faulty", 0.0)
    assert len(unraisable) == 1
    assert unraisable[0].object is None
    assert unraisable[0].exc_value.args == ("fault while releasing fields",)
    assert type(unraisable[0].exc_value).__name__ == "PanicException"


def test_threads_racing_for_a_type_get_the_same_object():
    barrier = threading.Barrier(8)
    seen = []

    def worker():
        barrier.wait()
        seen.append(probe.shared_type())

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(seen) == 8 and all(t is seen[0] for t in seen)


def test_lock_depth_inside_a_boundary():
    assert probe.lock_depth() == 1


@pytest.mark.parametrize(
    ("depth", "message"),
    [
        (-1, "Access to the GIL is prohibited while a __traverse__ implmentation is running."),
        (-2, "Access to the GIL is currently prohibited."),
    ],
)
def test_acquiring_the_lock_with_a_negative_depth_is_a_fault(depth, message):
    with pytest.raises(BaseException) as caught:
        probe.acquire_with_depth(depth)
    assert caught.value.args == (message,)
    assert probe.lock_depth() == 1


def test_fault_in_the_boundary_itself_terminates_the_process():
    result = run_python("import _binding_probe; _binding_probe.enter_with_depth(-1)")
    assert result.returncode != 0
    assert "uncaught panic at ffi boundary" in result.stderr


def test_reimport_returns_the_same_module():
    assert reimport_gives_same_module("_binding_probe")


def test_failed_initialisation_can_be_retried():
    result = run_python(
        "try:\n"
        "    import _binding_probe\n"
        "except ValueError as e:\n"
        "    print('first:', e)\n"
        "import _binding_probe\n"
        "print('second: ok')",
        env={"LARKSPUR_PROBE_FAIL_FIRST_INIT": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["first: probe initialisation failed on purpose", "second: ok"]


@needs_subinterpreters
def test_subinterpreter_import_is_refused():
    # CPython 3.13 runs a single-phase init in the main interpreter first,
    # so the main interpreter always holds the claim.
    name, message, main = import_in_legacy_subinterpreter("_binding_probe")
    assert name == "ImportError" and "subinterpreter" in message and main == "_binding_probe"
