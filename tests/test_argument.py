"""Argument: a register name and an index."""
import pytest

from cpython_hash import cpython_siphash13
from larkspan import Argument, Gate


def feed(regid, index):
    return regid.encode() + b"\xff" + index.to_bytes(8, "little")


@pytest.mark.parametrize("regid, index, shown, debug", [
    ("q", 0, "q[0]", 'Argument { regid: "q", index: 0 }'),
    ("c", 2, "c[2]", 'Argument { regid: "c", index: 2 }'),
    ("", 2**64 - 1, "[18446744073709551615]", 'Argument { regid: "", index: 18446744073709551615 }'),
    ('a"b\\c', 1, 'a"b\\c[1]', 'Argument { regid: "a\\"b\\\\c", index: 1 }'),
    ("x\ny\t\x1b", 3, "x\ny\t\x1b[3]", 'Argument { regid: "x\\ny\\t\\u{1b}", index: 3 }'),
    ("qubit_\u00e9", 4, "qubit_\u00e9[4]", 'Argument { regid: "qubit_\u00e9", index: 4 }'),
])
def test_text_forms(regid, index, shown, debug):
    a = Argument(regid, index)
    assert (a.regid, a.index) == (regid, index)
    assert str(a) == shown
    assert repr(a) == debug


def test_equality_and_hash():
    a = Argument("q", 0)
    assert a == Argument("q", 0) and not a != Argument("q", 0)
    assert hash(a) == hash(Argument("q", 0))
    assert a != Argument("q", 1) and a != Argument("r", 0) and a != Argument("q0", 0)
    assert a != ("q", 0) and not a == ("q", 0)  # other types: identity
    with pytest.raises(TypeError):
        a < Argument("q", 1)
    assert len({Argument("q", 0), Argument("q", 0), Argument("q", 1)}) == 2


def test_hash_is_siphash13_of_name_terminator_and_index():
    cases = [("q", 0), ("c", 2), ("", 7), ("reg\u00e9", 2**64 - 1), ("q1", 0), ("q", 10)]
    expected = cpython_siphash13([feed(r, i) for r, i in cases])
    assert [hash(Argument(r, i)) for r, i in cases] == expected


def test_constructor_conversions():
    assert Argument(regid="q", index=3) == Argument("q", 3)
    assert Argument("q", True).index == 1  # any integer index object
    with pytest.raises(OverflowError):
        Argument("q", -1)
    with pytest.raises(OverflowError):
        Argument("q", 2**64)
    with pytest.raises(TypeError, match="^argument 'index': "):
        Argument("q", 1.0)
    with pytest.raises(TypeError, match="^argument 'regid': "):
        Argument(b"q", 0)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'index'"):
        Argument("q")


def test_properties_are_writable_but_not_deletable():
    a = Argument("q", 0)
    a.regid = "anc"
    a.index = 7
    assert str(a) == "anc[7]" and a == Argument("anc", 7)
    with pytest.raises(TypeError, match="^argument 'regid': "):
        a.regid = 1
    with pytest.raises(OverflowError):
        a.index = -1
    with pytest.raises(TypeError, match="^argument 'index': "):
        a.index = "1"
    assert a == Argument("anc", 7)  # refused values leave it unchanged
    for name in ("regid", "index"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(a, name)


def test_class_doc():
    assert Argument.__text_signature__ == "(regid, index)"
    assert Argument.__doc__ == ("A named register argument (e.g., `q[0]`, `c[2]`) used by "
                                "high-level instructions.")


def test_interrupt_during_a_conversion_is_not_swallowed():
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    cx = Gate.from_name("cx")
    with pytest.raises(KeyboardInterrupt):
        cx(Interrupting(), 1)
