"""Instruction and binding a Gate to qubits or register arguments."""
import numpy as np
import pytest

from larkspan import Argument, Gate, Instr, Instruction

from cpython_hash import cpython_siphash13
from test_argument import feed

H = Gate.from_name("h")
CX = Gate.from_name("cx")
RZ = Gate.from_name("rz(pi/3)")


@pytest.fixture(scope="module")
def ph():
    """A gate without qubit arguments."""
    return Gate("ph", [], [[1j]])


def q(i):
    return Argument("q", i)


@pytest.mark.parametrize("gate, qargs, cargs, shown", [
    (CX, [q(0), ("q", 1)], [], "cx q[0], q[1];"),
    (CX, [q(0), ("q", 1)], [("c", 0)], "cx q[0], q[1], c[0];"),
    (H, [], [], "h ;"),
    (CX, [("q", 0)], [], "cx q[0];"),  # no arity check
    (H, [q(0), q(0)], [], "h q[0], q[0];"),  # repeats allowed
    (RZ, [("anc", 12)], [Argument("c", 1), ("m", 0)], "rz(pi/3) anc[12], c[1], m[0];"),
])
def test_display(gate, qargs, cargs, shown):
    assert str(Instruction(gate, qargs, cargs)) == shown


def test_debug_form():
    inst = Instruction(H, [("q", 0)])
    assert repr(inst) == ('Instruction { gate: Gate(1 -> h), qargs: [Argument { regid: "q", index: 0 }], '
                          'cargs: [] }')
    inst = Instruction(CX, [q(0), q(1)], [("c", 0)])
    assert repr(inst) == ('Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: "q", index: 0 }, '
                          'Argument { regid: "q", index: 1 }], cargs: [Argument { regid: "c", index: 0 }] }')


def test_constructor_copies_arguments_and_takes_keywords():
    a = q(0)
    inst = Instruction(gate=H, qargs=(a,), cargs=[])
    a.index = 5
    assert str(inst) == "h q[0];"
    assert inst.gate == H and inst.cargs == []


@pytest.mark.parametrize("args, name, message", [
    ((H, [["q", 0]]), "qargs", "failed to convert the value to 'Union["),
    ((H, [("q", 0, 1)]), "qargs", "failed to convert the value to 'Union["),
    ((H, [("q", -1)]), "qargs", "failed to convert the value to 'Union["),
    ((H, [(0, "q")]), "qargs", "failed to convert the value to 'Union["),
    ((H, [q(0), "q[1]"]), "qargs", "failed to convert the value to 'Union["),
    ((H, [("q", 0)], None), "cargs", ""),
    ((H, [("q", 0)], [("c", 0), 3]), "cargs", "failed to convert the value to 'Union["),
    ((H, "q0"), "qargs", ""),
    ((H, 5), "qargs", ""),
    (("h", []), "gate", "'str' object cannot be converted to 'Gate'"),
])
def test_constructor_refusals(args, name, message):
    with pytest.raises(TypeError) as e:
        Instruction(*args)
    assert type(e.value) is TypeError
    assert str(e.value).startswith(f"argument '{name}': {message}")


def test_properties():
    inst = Instruction(CX, [q(0), q(1)])
    got = inst.qargs
    assert got == [q(0), q(1)]
    got[0].index = 5  # copies: the instruction is unchanged
    assert str(inst) == "cx q[0], q[1];"
    assert inst.qargs[0] is not inst.qargs[0]

    inst.qargs = [Argument("q", 3)]
    inst.cargs = (Argument("c", 0),)
    inst.gate = H
    assert str(inst) == "h q[3], c[0];"
    assert inst.gate == H and inst.cargs == [Argument("c", 0)]

    with pytest.raises(TypeError, match="^argument 'qargs': "):
        inst.qargs = [("q", 0)]  # tuples only in the constructor
    with pytest.raises(TypeError, match="^argument 'cargs': "):
        inst.cargs = None
    with pytest.raises(TypeError, match="^argument 'gate': "):
        inst.gate = "cx"
    assert str(inst) == "h q[3], c[0];"
    for name in ("gate", "qargs", "cargs"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(inst, name)


def test_equality_and_hash():
    a = Instruction(CX, [q(0), q(1)], [("c", 0)])
    b = Instruction(CX, [("q", 0), ("q", 1)], [Argument("c", 0)])
    assert a == b and not a != b and hash(a) == hash(b)
    b.cargs = [Argument("c", 1)]
    assert a != b
    assert Instruction(CX, [q(0), q(1)]) != Instruction(CX, [q(0)], [q(1)])  # the split matters
    assert Instruction(CX, [q(0)]) != Instruction(H, [q(0)])
    assert Instruction(H, [q(0)]) != Instruction(H, [q(0), q(0)])
    assert a != "cx q[0], q[1], c[0];"
    with pytest.raises(TypeError):
        a <= b


def test_hash_is_siphash13_of_gate_and_argument_lists():
    def lst(args):
        return len(args).to_bytes(8, "little") + b"".join(feed(r, i) for r, i in args)

    cases = [(H, [], []), (H, [("q", 0)], []), (CX, [("q", 0), ("q", 1)], [("c", 0)]),
             (RZ, [], [("c", 2**64 - 1)])]
    payloads = [g_idx.to_bytes(2, "little") + lst(qa) + lst(ca)
                for g_idx, (_, qa, ca) in zip([1, 1, 9, 17], cases)]
    assert [hash(Instruction(g, qa, ca)) for g, qa, ca in cases] == cpython_siphash13(payloads)


def test_class_doc():
    assert Instruction.__text_signature__ == "(gate, qargs, cargs=...)"
    assert Instruction.__doc__ == ("A high-level instruction with gate + explicit quantum/classical "
                                   "register arguments.")


# ---------------------------------------------------------------- Gate.__call__

def fatal_message(call):
    with pytest.raises(BaseException) as e:
        call()
    assert not isinstance(e.value, Exception)
    return str(e.value)


def test_call_with_qubits_gives_instr(ph):
    i = CX(0, 1)
    assert isinstance(i, Instr) and str(i) == "cx(0, 1)" and i.qargs == b"\x00\x01"
    assert str(CX(1, 1)) == "cx(1, 1)"  # no uniqueness check here
    assert str(H(254)) == "h(254)" and RZ(3).gate == RZ
    assert str(ph()) == f"{ph}()" and ph().qargs == b""  # ph may be registered under another name
    assert hash(CX(4, 2)) == hash(Instr(CX, [4, 2]))


@pytest.mark.parametrize("call, message", [
    (lambda: CX(0), "Number of arguments not match for gate cx"),
    (lambda: CX(0, 1, 2), "Number of arguments not match for gate cx"),
    (lambda: H(), "Number of arguments not match for gate h"),
    (lambda: RZ(0, 1), "Number of arguments not match for gate rz(pi/3)"),
    (lambda: H(255), "Qubit index 255 is reserved for an absent qubit"),
    (lambda: CX(0, 255), "Qubit index 255 is reserved for an absent qubit"),
    (lambda: Gate("ccz_t", [], np.diag([1] * 7 + [-1]).astype(complex))(0, 1, 2),
     "index out of bounds: the len is 2 but the index is 2"),
    (lambda: CX(q(0)), "index out of bounds: the len is 1 but the index is 1"),
    (lambda: Gate("a\0b", [], np.diag([1, 1j ** 0.3]))(), "Number of arguments not match for gate a\0b"),
])
def test_call_fatal_errors(call, message):
    assert fatal_message(call) == message


def test_call_with_arguments_gives_instruction(ph):
    inst = H(Argument("q", 0), Argument("c", 1))
    assert isinstance(inst, Instruction)
    assert inst.qargs == [Argument("q", 0)] and inst.cargs == [Argument("c", 1)]
    assert str(CX(q(0), q(1))) == "cx q[0], q[1];"
    assert ph(q(0)) == Instruction(ph, [], [q(0)])
    a = q(2)
    inst = H(a)
    a.index = 9
    assert str(inst) == "h q[2];"


@pytest.mark.parametrize("args", [(0, q(0)), (q(0), 0), (256,), (-1,), ("0",), (("q", 0),), (None,)])
def test_call_refuses_mixed_or_foreign_arguments(args):
    with pytest.raises(TypeError) as e:
        H(*args)
    assert str(e.value).startswith("argument 'args': failed to convert the value to 'Union[")


def test_call_refuses_keywords():
    with pytest.raises(TypeError, match=r"^Gate.__call__\(\) got an unexpected keyword argument 'q'$"):
        H(q=0)
