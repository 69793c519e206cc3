"""Internal faults as the caller meets them: PanicException, never a crash."""

import textwrap

from conftest import needs_support_modules, run_python


def test_numpy_unavailable_is_a_fault_and_retried():
    result = run_python(
        textwrap.dedent(
            """
            import sys
            sys.modules["numpy"] = None          # import numpy now raises ImportError
            from larkspur import statistical_tests
            try:
                statistical_tests.EscancianoLobato([1.0, 2.0, 4.0])
            except Exception:
                raise SystemExit("caught as Exception")
            except BaseException as e:
                print(type(e).__name__)
                print(e.args[0].split(":")[0])
            del sys.modules["numpy"]
            print(statistical_tests.EscancianoLobato([1.0, 2.0, 4.0]).p_tilde)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    name, text, p_tilde = result.stdout.split("\n")[:3]
    assert name == "PanicException"
    assert text == "Failed to access NumPy array API capsule"
    assert p_tilde == "1"


def test_numpy_fault_text_carries_the_rendered_error():
    result = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "from larkspur import statistical_tests\n"
        "try:\n"
        "    statistical_tests.EscancianoLobato(3.0)\n"
        "except BaseException as e:\n"
        "    print(e.args[0])\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "Failed to access NumPy array API capsule: PendingError { type: <class 'ModuleNotFoundError'>, "
    )


@needs_support_modules
def test_panic_exception_from_a_callback_is_resumed():
    result = run_python(
        textwrap.dedent(
            """
            import numpy as np
            import _borrow_participant as other
            from larkspur import statistical_tests
            EL = statistical_tests.EscancianoLobato
            x = np.arange(6.0)
            EL(x)
            other.set_up()
            other.acquire_mut(x)
            try:
                EL(x)
            except BaseException as e:
                PanicException = type(e)
            other.release_mut(x)

            class Q:
                def __float__(self):
                    raise PanicException("raised from __float__")

            try:
                EL(x, Q())
            except Exception:
                raise SystemExit("caught as Exception")
            except BaseException as e:
                assert type(e) is PanicException, type(e)
                print(e.args)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('raised from __float__',)"
    lines = result.stderr.splitlines()
    banner = next(i for i, line in enumerate(lines) if line.startswith("---") and "PanicException" in line)
    assert lines[banner + 1] == "Python stack trace below:"
    assert "__float__" in result.stderr
