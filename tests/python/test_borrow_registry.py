"""The shared borrow registry, with a second native participant.

The registry is created once per process by whichever participant needs it
first, so every scenario runs in a fresh interpreter.
"""

import textwrap

import pytest
from conftest import needs_support_modules, run_python

pytestmark = needs_support_modules

PRELUDE = textwrap.dedent(
    """
    import sys
    import numpy as np
    import _borrow_participant as other
    from larkspur import statistical_tests
    EL = statistical_tests.EscancianoLobato
    import importlib
    CORE = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
    x = np.array([0.5, -1.25, 2.0, 3.75, -0.5, 1.0, 4.25, -2.0, 0.0, 1.5])

    def capsule():
        m = importlib.import_module(CORE + ".multiarray")
        return getattr(m, "_KELP_NUMPY_BORROW_CHECKING_API", None)

    def panic_text(call):
        try:
            call()
        except Exception as e:
            raise AssertionError(f"ordinary exception {e!r}")
        except BaseException as e:
            assert type(e).__name__ == "PanicException", type(e)
            return e.args[0]
        raise AssertionError("no PanicException")
    """
)


def scenario(body):
    result = run_python(PRELUDE + textwrap.dedent(body) + "\nprint('ok')\n")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith("ok")
    return result


def test_keys_of_views():
    scenario(
        """
        p = x.ctypes.data
        assert other.borrow_key(x) == (p, p + 80, p, 8)
        r = x[::-1]
        assert other.borrow_key(r) == (p, p + 80, p + 72, -8)
        m = np.zeros((3, 4)); q = m.ctypes.data
        assert other.borrow_key(m) == (q, q + 96, q, 8)
        import math
        e = np.zeros((0, 4)); s = e.ctypes.data
        assert other.borrow_key(e) == (s, s, s, math.gcd(*e.strides))
        e1 = x[3:3]; s1 = e1.ctypes.data
        assert other.borrow_key(e1) == (s1, s1, s1, e1.strides[0])
        z = np.array(5.0); t = z.ctypes.data
        assert other.borrow_key(z) == (t, t, t, 1)
        assert other.base_address(x[2:5]) is x and other.base_address(x[::2][1:]) is x
        b = np.frombuffer(b"\\0" * 16)
        assert type(other.base_address(b)) is bytes
        """
    )


def test_participant_created_registry_counts_and_conflicts():
    scenario(
        """
        assert capsule() is None
        assert other.set_up() == 1
        created = capsule()
        assert type(created).__name__ == "PyCapsule"
        assert other.contents() == []
        # two shared borrows of one view: one key, count 2; released: gone
        assert other.acquire(x) == 0 and other.acquire(x) == 0
        [(base, key, count)] = other.contents()
        assert base is x and key == other.borrow_key(x) and count == 2
        other.release(x); other.release(x)
        assert other.contents() == []
        # halves: two keys under one base; exclusive on a disjoint half is granted
        first, second = x[:5], x[5:]
        assert other.acquire(first) == 0 and other.acquire(second) == 0
        assert len(other.contents()) == 2
        assert other.acquire_mut(x[:3]) == -1
        other.release(second)
        assert other.acquire_mut(x[6:]) == 0
        other.release_mut(x[6:]); other.release(first)
        assert other.contents() == []
        # interleaved views never conflict
        assert other.acquire_mut(x[0::2]) == 0 and other.acquire_mut(x[1::2]) == 0
        assert other.acquire(x[0::2]) == -1
        other.release_mut(x[0::2]); other.release_mut(x[1::2])
        # many shared rows with exclusive keys among them: a shared request
        # still meets every exclusive key, and an exclusive release drops only its own
        X = np.zeros((50, 4)); rows = list(X)
        assert all(other.acquire(r) == 0 for r in rows[1:])
        assert other.acquire_mut(X[10:12]) == -1 and other.acquire_mut(rows[0]) == 0
        assert other.acquire(X[0, 1:3]) == -1 and other.acquire(rows[0]) == -1
        other.release(rows[1])
        assert other.acquire_mut(rows[1]) == 0 and other.acquire(X[1, :2]) == -1
        other.release_mut(rows[0])
        assert other.acquire(X[0, 1:3]) == 0 and other.acquire(X[1, :2]) == -1
        other.release(X[0, 1:3]); other.release_mut(rows[1])
        for r in rows[2:]: other.release(r)
        assert other.contents() == []
        # read-only: -2 even when nothing is borrowed
        ro = x.copy(); ro.setflags(write=False)
        assert other.acquire_mut(ro) == -2
        # larkspur adopts the existing capsule and leaves nothing behind
        EL(x); EL(list(x)); EL(x[::2])
        assert capsule() is created and other.contents() == []
        """
    )


@pytest.mark.parametrize("first", ["larkspur", "participant"])
def test_exclusive_borrow_blocks_the_constructor(first):
    scenario(
        f"""
        if {first!r} == "larkspur":
            EL(x)
            created = capsule()
            other.set_up()
            assert capsule() is created and other.contents() is None  # adopted, not ours
        else:
            other.set_up()
        assert other.acquire_mut(x) == 0
        expected = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
        assert panic_text(lambda: EL(x)) == expected
        assert panic_text(lambda: EL(x[2:8])) == expected  # overlapping view, no fall-through
        # interleaved: the strided view is borrowed without conflict, then copied
        other.release_mut(x)
        assert other.acquire_mut(x[0::2]) == 0
        EL(x[1::2])
        other.release_mut(x[0::2])
        # touching but not overlapping: the head held, then the tail held
        for held, read in ((x[:5], x[5:]), (x[5:], x[:5])):
            assert other.acquire_mut(held) == 0
            EL(read)
            other.release_mut(held)
        EL(x)
        # everything given back: an exclusive borrow of the whole array is possible
        assert other.acquire_mut(x) == 0
        other.release_mut(x)
        """
    )


def test_slice_container_arrays():
    scenario(
        """
        a = other.array_from_sequence([1, 2.5, 3])
        assert a.dtype == np.float64 and a.ndim == 1 and a.strides == (8,)
        assert a.flags.c_contiguous and a.flags.f_contiguous and a.flags.writeable
        assert a.tolist() == [1.0, 2.5, 3.0]
        container = a.base
        assert type(container).__name__ == "PySliceContainer"
        assert type(container).__module__ == "builtins"
        assert type(container).__doc__.startswith("Utility type that safely stores a native buffer")
        try:
            type(container)(1, 2)
        except TypeError as e:
            assert str(e) == "No constructor defined for PySliceContainer"
        else:
            raise AssertionError("constructor accepted")
        assert other.base_address(a[1:]) is container
        import larkspur
        assert not hasattr(larkspur, "PySliceContainer") and not hasattr(statistical_tests, "PySliceContainer")
        big = other.array_from_sequence(range(10000))
        assert big[-1] == 9999.0
        del a, big, container
        """
    )
