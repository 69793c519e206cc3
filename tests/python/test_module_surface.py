"""The module layout and the result class as Python sees them."""

import gc
import sys
import weakref

import numpy as np
import pytest
from conftest import import_in_legacy_subinterpreter, needs_subinterpreters, reimport_gives_same_module

import larkspur
from larkspur import statistical_tests

EscancianoLobato = statistical_tests.EscancianoLobato
DOC = (
    "Result of the Escanciano\u2013Lobato heteroscedasticity proxy \\(EL\\) test.\n"
    "\n"
    "Returned by [`statistical_tests.escanciano_lobato`].  \n"
    "The statistic is asymptotically \u03c7\u00b2(1) under the null."
)


def test_module_layout():
    assert larkspur.__all__ == ["statistical_tests"]
    assert larkspur.__doc__ == ""
    assert statistical_tests.__all__ == ["EscancianoLobato"]
    assert statistical_tests.__name__ == "statistical_tests"
    assert statistical_tests.__doc__ is None
    assert not hasattr(statistical_tests, "escanciano_lobato")
    assert not hasattr(larkspur, "EscancianoLobato")
    assert not hasattr(larkspur, "__path__")
    assert "statistical_tests" not in sys.modules and "larkspur.statistical_tests" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("larkspur.statistical_tests")


def test_class_identity_and_documentation():
    assert EscancianoLobato.__doc__ == DOC
    assert EscancianoLobato.__text_signature__ == "(data, /, q=2.4, d=None)"
    assert EscancianoLobato.__module__ == "builtins"
    assert EscancianoLobato.__name__ == EscancianoLobato.__qualname__ == "EscancianoLobato"
    # The object header, then four 8-byte fields (the header is larger on free-threaded builds).
    assert EscancianoLobato.__basicsize__ == object.__basicsize__ + 32
    assert EscancianoLobato.__bases__ == (object,)
    docs = {name: EscancianoLobato.__dict__[name].__doc__ for name in ("p_tilde", "statistic", "pvalue")}
    assert docs == {
        "p_tilde": "The selected lag \\(p\\) that maximizes the penalized statistic.",
        "statistic": "The EL test statistic.",
        "pvalue": "The p-value of the EL test.",
    }


def test_result_attributes():
    result = EscancianoLobato([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    assert type(result.p_tilde) is int and type(result.statistic) is float and type(result.pvalue) is float
    assert (result.p_tilde, result.statistic, result.pvalue) == (1, 3.134328358208956, 0.07665995627301825)
    assert result.statistic == result.statistic and result.pvalue == result.pvalue


@pytest.mark.parametrize("name", ["p_tilde", "statistic", "pvalue"])
def test_attributes_are_read_only(name):
    result = EscancianoLobato([1.0, 3.0, 2.0, 5.0])
    with pytest.raises(AttributeError):
        setattr(result, name, 1)
    with pytest.raises(AttributeError):
        delattr(result, name)


def test_instances_are_plain_objects():
    a = EscancianoLobato([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    b = EscancianoLobato([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(a)
    assert a != b and a == a and hash(a) != hash(b)
    with pytest.raises(TypeError):

        class Derived(EscancianoLobato):
            pass

    EscancianoLobato.note = "class attributes can be set"
    try:
        assert a.note == "class attributes can be set"
    finally:
        del EscancianoLobato.note


def test_results_do_not_hold_the_class_or_the_data():
    data = np.linspace(0.0, 1.0, 50) ** 2
    gc.collect()
    before_class, before_data = sys.getrefcount(EscancianoLobato), sys.getrefcount(data)
    results = [EscancianoLobato(data) for _ in range(1000)]
    del results
    gc.collect()
    assert sys.getrefcount(EscancianoLobato) == before_class
    assert sys.getrefcount(data) == before_data


def test_reimport_yields_the_same_module():
    assert reimport_gives_same_module("larkspur", also="a.statistical_tests is b.statistical_tests")


@needs_subinterpreters
def test_legacy_subinterpreter_is_refused():
    name, message, main = import_in_legacy_subinterpreter("larkspur")
    assert name == "ImportError" and "subinterpreter" in message and main == "larkspur"
