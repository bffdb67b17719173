"""Module object, class registration and the binding conventions shared by every class."""
import importlib
import sys

import pytest

import larkspan
from larkspan import larkspan as native

NAMES = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs",
         "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]


def test_module_object_and_all():
    assert native.__name__ == "larkspan.larkspan" or native.__name__ == "larkspan"
    assert native.__doc__.startswith("Python extension module entrypoint.\n\n")
    assert native.__all__ == NAMES
    assert larkspan.__all__ == NAMES
    public = {k for k in vars(native) if not k.startswith("__")}
    assert public == set(NAMES)
    for name in NAMES:
        assert getattr(larkspan, name) is getattr(native, name)


def test_reimport_gives_same_module():
    again = importlib.import_module("larkspan.larkspan")
    assert again is native
    del sys.modules["larkspan.larkspan"]
    try:
        fresh = importlib.import_module("larkspan.larkspan")
        assert fresh is native
    finally:
        sys.modules["larkspan.larkspan"] = native


@pytest.mark.parametrize("name", NAMES)
def test_classes_are_final_and_slotless(name):
    cls = getattr(larkspan, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__weakrefoffset__ == 0
    assert (cls.__dictoffset__ != 0) == (name == "IdentityCirc")


@pytest.mark.parametrize("name", ["ECC", "ECCs", "IdentityProver"])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError):
        getattr(larkspan, name)()


@pytest.mark.parametrize("name, signature", [
    ("Argument", "(regid, index)"),
    ("Instruction", "(gate, qargs, cargs=...)"),
    ("Gate", "(name, params, matrix)"),
    ("Instr", "(gate, qargs)"),
    ("StateVec", "(re, im)"),
    ("RawECCs", "(evaluator)"),
    ("Evaluator", "(nqubits)"),
    ("Circ", "(instrs, perm=None)"),
    ("IdentityCirc", "(circuit)"),
    ("Proof", "(data)"),
])
def test_constructor_signatures(name, signature):
    cls = getattr(larkspan, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ and not cls.__doc__.startswith(name + "(")


def test_docs_without_signature():
    assert larkspan.ECC.__doc__ == "One equivalence class of circuits."
    assert larkspan.IdentityProver.__doc__.startswith("Rule-based prover for circuit identities.\n\n")


class TestArgumentParsing:
    """The parser is shared by every member; Gate exercises it."""

    @pytest.mark.parametrize("call, message", [
        (lambda G: G("g", []), "Gate.__new__() missing 1 required positional argument: 'matrix'"),
        (lambda G: G("g"), "Gate.__new__() missing 2 required positional arguments: 'params' and 'matrix'"),
        (lambda G: G(), "Gate.__new__() missing 3 required positional arguments: 'name', 'params', and 'matrix'"),
        (lambda G: G.from_name(nam="h"), "Gate.from_name() got an unexpected keyword argument 'nam'"),
        (lambda G: G.from_name(**{"name\0x": "h"}), "Gate.from_name() got an unexpected keyword argument 'name\0x'"),
        (lambda G: G.from_name("h", name="h"), "Gate.from_name() got multiple values for argument 'name'"),
        (lambda G: G.from_name("h", "x"), "Gate.from_name() takes 1 positional arguments but 2 were given"),
        (lambda G: G.from_name("h").adjoint(1), "Gate.adjoint() takes 0 positional arguments but 1 was given"),
    ])
    def test_count_and_keyword_errors(self, call, message):
        with pytest.raises(TypeError) as e:
            call(larkspan.Gate)
        assert str(e.value) == message

    def test_keyword_arguments_accepted(self):
        assert str(larkspan.Gate.from_name(name="cx")) == "cx"

    @pytest.mark.parametrize("value, message", [
        (1, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (b"h", "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    ])
    def test_type_refusal_names_the_argument(self, value, message):
        with pytest.raises(TypeError) as e:
            larkspan.Gate.from_name(name=value)
        assert str(e.value) == message

    @pytest.mark.parametrize("params, fragment", [
        ("ab", "Can't extract `str` to `Vec`"),
        (3, "'int' object cannot be converted to 'Sequence'"),
        ([1], "'int' object cannot be converted to 'PyString'"),
    ])
    def test_list_conversion(self, params, fragment):
        import numpy as np
        with pytest.raises(TypeError) as e:
            larkspan.Gate("g", params, np.eye(2, dtype=complex))
        assert str(e.value) == "argument 'params': " + fragment

    @pytest.mark.parametrize("claimed", [2**40, 2**62])
    def test_sequence_length_is_not_trusted(self, claimed):
        # A __len__ is only a claim: conversion must read the items (and
        # meet their own error) rather than allocate for the claim.
        class Liar:
            def __len__(self):
                return claimed

            def __getitem__(self, i):
                if i < 2:
                    return "pi"
                raise IndexError("only two items")
        import numpy as np
        with pytest.raises(IndexError, match="^only two items$"):
            larkspan.Gate("g", Liar(), np.eye(2, dtype=complex))


def test_fatal_error_is_base_exception():
    import numpy as np
    with pytest.raises(BaseException) as e:
        try:
            larkspan.Gate("g", [], np.eye(3, dtype=complex))
        except Exception:  # must not catch it
            pytest.fail("fatal error caught as Exception")
    assert not isinstance(e.value, Exception)
    assert type(e.value).__bases__ == (BaseException,)
    assert e.value.args == ("Matrix must have a number of rows that is a power of two",)


def test_sub_interpreter_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        with pytest.raises(si.RunFailedError) as e:
            si.run_string(interp, "import larkspan")
        assert "ImportError" in str(e.value)
    finally:
        si.destroy(interp)
