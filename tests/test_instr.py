"""Compact instructions (Instr) and the Python form of qubit permutations."""
import os
import subprocess
import sys

import numpy as np
import pytest

from larkspan import Gate, Instr

H, X, S, CX = (Gate.from_name(n) for n in ("h", "x", "s", "cx"))
RZ = Gate.from_name("rz(pi/3)")
PH0 = Gate("ph0_instr", [], [[1j]])  # acts on no qubit
CCX = Gate("ccx_instr", [], np.eye(8, dtype=complex)[[0, 1, 2, 3, 4, 5, 7, 6]])


def fatal(fn, *args):
    with pytest.raises(BaseException) as e:
        fn(*args)
    assert not isinstance(e.value, Exception), repr(e.value)
    return str(e.value)


@pytest.mark.parametrize("gate, qargs, text, raw", [
    (H, [3], "h(3)", b"\x03"),
    (CX, [0, 1], "cx(0, 1)", b"\x00\x01"),
    (CX, (7, 2), "cx(7, 2)", b"\x07\x02"),
    (RZ, [2], "rz(pi/3)(2)", b"\x02"),
    (PH0, [], "ph0_instr()", b""),
    (H, [254], "h(254)", b"\xfe"),
    (H, b"\x05", "h(5)", b"\x05"),
    (H, range(4, 5), "h(4)", b"\x04"),
])
def test_construction_and_text(gate, qargs, text, raw):
    i = Instr(gate, qargs)
    assert str(i) == text and repr(i) == text
    assert i.qargs == raw and type(i.qargs) is bytes
    assert i.gate == gate


def test_keywords_and_properties_are_copies():
    i = Instr(qargs=[1, 0], gate=CX)
    assert str(i) == "cx(1, 0)"
    for attr in ("gate", "qargs"):
        with pytest.raises(AttributeError) as e:
            delattr(i, attr)
        assert str(e.value) == "can't delete attribute"
        with pytest.raises(AttributeError):
            setattr(i, attr, None)


@pytest.mark.parametrize("gate, qargs, message", [
    (CX, [0], "Number of qubit arguments does not match gate arity"),
    (CX, [0, 1, 2], "Number of qubit arguments does not match gate arity"),
    (H, [], "Number of qubit arguments does not match gate arity"),
    (PH0, [0], "Number of qubit arguments does not match gate arity"),
    (CX, [1, 1], "Qubit arguments must be unique"),
    # uniqueness is checked before the two-qubit capacity
    (CCX, [0, 1, 0], "Qubit arguments must be unique"),
    (CCX, [0, 1, 2], "index out of bounds: the len is 2 but the index is 2"),
    # 255 marks an absent position and would silently drop the qubit
    (H, [255], "Qubit index 255 is reserved for an absent qubit"),
    (CX, [0, 255], "Qubit index 255 is reserved for an absent qubit"),
])
def test_construction_fatal_errors(gate, qargs, message):
    assert fatal(Instr, gate, qargs) == message


def test_construction_conversion_errors():
    with pytest.raises(OverflowError) as e:
        Instr(H, [256])
    assert str(e.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError):
        Instr(H, [-1])
    # every item is converted before the arity is looked at
    with pytest.raises(OverflowError):
        Instr(H, range(300))
    with pytest.raises(TypeError) as e:
        Instr(H, "0")
    assert str(e.value).startswith("argument 'qargs': ") and "str" in str(e.value)
    with pytest.raises(TypeError) as e:
        Instr(H, 0)
    assert str(e.value) == "argument 'qargs': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as e:
        Instr(H, [0.5])
    assert str(e.value).startswith("argument 'qargs': ")
    with pytest.raises(TypeError) as e:
        Instr("h", [0])
    assert str(e.value) == "argument 'gate': 'str' object cannot be converted to 'Gate'"
    with pytest.raises(TypeError) as e:
        Instr(H)
    assert str(e.value) == "Instr.__new__() missing 1 required positional argument: 'qargs'"


def test_long_qargs_sequence_ends_in_arity_error():
    assert fatal(Instr, H, [0] * 10**6) == "Number of qubit arguments does not match gate arity"
    assert fatal(Instr, H, bytes(10**6)) == "Number of qubit arguments does not match gate arity"


def test_identity_comparison_but_value_hash():
    a, b = Instr(CX, [0, 1]), Instr(CX, [0, 1])
    assert a != b and not (a == b) and a == a
    assert hash(a) == hash(b)
    with pytest.raises(TypeError):
        a < b


HASH_SCRIPT = """
import numpy as np
from larkspan import Gate, Instr
h, cx, rz = Gate.from_name("h"), Gate.from_name("cx"), Gate.from_name("rz(pi/3)")
ph0 = Gate("ph0", [], [[1j]])                       # handle 23 in a fresh process
big = [Gate(f"g{k}", [], np.diag([1, np.exp(1j * (k + 1) / 1000)])) for k in range(300)]
assert hash(big[-1]) == hash((23 + 300).to_bytes(2, "little"))  # handle 323
cases = [(h, [3], 1, 3, 255), (cx, [0, 1], 9, 0, 1), (cx, [4, 2], 9, 4, 2),
         (rz, [7], 17, 7, 255), (h, [254], 1, 254, 255), (ph0, [], 23, 255, 255),
         (big[-1], [6], 323, 6, 255)]
for g, q, handle, q0, q1 in cases:
    feed = bytes([handle & 0xFF, handle >> 8, 2, 0, 0, 0, q0, q1])
    print(hash(Instr(g, q)), hash(feed))
"""


def test_hash_is_siphash13_of_the_eight_byte_feed():
    # CPython 3.11 hashes bytes with SipHash-1-3; PYTHONHASHSEED=0 makes its keys zero.
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run([sys.executable, "-c", HASH_SCRIPT], env=env, capture_output=True,
                         text=True, check=True).stdout
    pairs = [line.split() for line in out.splitlines()]
    assert len(pairs) == 7
    for ours, cpython in pairs:
        assert ours == cpython


@pytest.mark.parametrize("gate, qargs, mask, largest", [
    (H, [3], 8, 3),
    (CX, [0, 2], 5, 2),
    (H, [9], 2, 9),
    (CX, [4, 1], 0b10010, 4),
    (CX, [1, 4], 0b10010, 4),
    (CX, [8, 0], 1, 8),
    (PH0, [], 0, 0),
])
def test_arg_mask_and_largest_qubit(gate, qargs, mask, largest):
    i = Instr(gate, qargs)
    assert i.arg_mask() == mask
    assert i.largest_qubit() == largest


@pytest.mark.parametrize("gate, qargs, mask, result", [
    (H, [0], 0, 1),
    (H, [1], 0, None),
    (H, [1], 1, 3),
    (CX, [1, 0], 1, 3),
    (CX, [0, 2], 1, None),
    (CX, [0, 1], 0, 3),
    (CX, [1, 0], 0, None),
    (H, [3], 15, 15),
    (H, [7], 127, 255),
    (H, [8], 255, 255),     # bit 8 mod 8 = 0 is set
    (H, [9], 1, None),      # 9 is never the lowest free bit
    (PH0, [], 5, 5),
])
def test_pass_mask(gate, qargs, mask, result):
    assert Instr(gate, qargs).pass_mask(mask) == result


def test_pass_mask_argument():
    with pytest.raises(OverflowError):
        Instr(H, [0]).pass_mask(256)
    with pytest.raises(TypeError) as e:
        Instr(H, [0]).pass_mask("1")
    assert str(e.value).startswith("argument 'mask': ")
    assert Instr(H, [0]).pass_mask(mask=0) == 1


@pytest.mark.parametrize("a, b, result", [
    ((CX, [0, 1]), (H, [1]), False),
    ((CX, [0, 1]), (H, [2]), True),
    ((H, [0]), (H, [8]), False),  # masks use the qubit mod 8
    ((PH0, []), (H, [0]), True),
    ((H, [0]), (PH0, []), True),
])
def test_disjoint(a, b, result):
    assert Instr(*a).disjoint(Instr(*b)) is result


def test_disjoint_argument_and_self():
    i = Instr(H, [0])
    assert i.disjoint(i) is False
    with pytest.raises(TypeError) as e:
        i.disjoint(H)
    assert str(e.value) == "argument 'other': 'Gate' object cannot be converted to 'Instr'"


@pytest.mark.parametrize("qubit, result", [(4, 0), (1, 1), (2, None), (255, None)])
def test_position_of_qubit(qubit, result):
    assert Instr(CX, [4, 1]).position_of_qubit(qubit) == result


def test_position_of_qubit_absent_marker():
    assert Instr(H, [3]).position_of_qubit(255) is None
    assert Instr(PH0, []).position_of_qubit(255) is None
    with pytest.raises(OverflowError):
        Instr(H, [3]).position_of_qubit(256)


def test_adjoint():
    assert str(Instr(S, [0]).adjoint()) == "sdg(0)"
    assert str(Instr(H, [2]).adjoint()) == "h(2)"
    assert str(Instr(CX, [3, 1]).adjoint()) == "cx(3, 1)"


# ---------------------------------------------------------------- relabelling and permutations

@pytest.mark.parametrize("gate, qargs, perm, text", [
    (CX, [0, 2], (1, 2, 0), "cx(1, 0)"),
    (H, [1], (1, 2, 0), "h(2)"),
    (H, [1], [1, 2, 0], "h(2)"),
    (H, [1], b"\x01\x02\x00", "h(2)"),
    (H, [1], range(3), "h(1)"),
    (H, [7], (7, 6, 5, 4, 3, 2, 1, 0), "h(0)"),
    (H, [2], (1, 0), "h(0)"),   # beyond the permutation's length: the stored entry, 0
    (H, [2], (), "h(0)"),
    (H, [0], (5,), "h(5)"),     # values need not lie below the length
    (PH0, [], (1, 0), "ph0_instr()"),
    (PH0, [], (), "ph0_instr()"),
])
def test_apply_permutation(gate, qargs, perm, text):
    i = Instr(gate, qargs)
    assert str(i.apply_permutation(perm)) == text
    assert str(i.permut(perm)) == text
    assert str(i) == str(Instr(gate, qargs))  # the receiver is unchanged


def test_apply_permutation_qubit_beyond_eight():
    assert fatal(Instr(H, [8]).apply_permutation, (1, 0)) == "assertion failed: idx < 8"
    assert fatal(Instr(CX, [0, 9]).permut, (1, 0)) == "assertion failed: idx < 8"


@pytest.mark.parametrize("perm, message", [
    ((0, 0), "Permutation values must be unique"),
    ((0, 8), "Permutation values must be less than 8"),
    ((8, 8), "Permutation values must be less than 8"),
    ((0, 0, 8), "Permutation values must be unique"),   # value by value: the repeat comes first
    ((0, 9, 0), "Permutation values must be less than 8"),
    ((0, 1, 2, 3, 4, 5, 6, 7, 0), "Permutation values must be unique"),
    (tuple(range(8)) + (8,), "Permutation values must be less than 8"),
    (list(range(20)), "Permutation values must be less than 8"),
])
def test_permutation_fatal_errors(perm, message):
    assert fatal(Instr(H, [0]).apply_permutation, perm) == message


def test_permutation_conversion_errors():
    i = Instr(H, [0])
    with pytest.raises(TypeError) as e:
        i.apply_permutation("10")
    assert str(e.value).startswith("argument 'perm': ") and "str" in str(e.value)
    with pytest.raises(TypeError) as e:
        i.permut(3)
    assert str(e.value) == "argument 'perm': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as e:
        i.apply_permutation({0: 0})
    assert str(e.value).startswith("argument 'perm': ")
    # items are converted before any permutation check
    with pytest.raises(OverflowError):
        i.apply_permutation((0, 0, 256))
    with pytest.raises(OverflowError):
        i.apply_permutation(range(-1, 3))
    with pytest.raises(TypeError) as e:
        i.apply_permutation((0, None))
    assert str(e.value).startswith("argument 'perm': ")


def test_long_permutation_sequences():
    with pytest.raises(OverflowError):
        Instr(H, [0]).apply_permutation(range(10**6))
    assert fatal(Instr(H, [0]).apply_permutation, [0] * 10**6) == "Permutation values must be unique"


def test_docs():
    assert Instr.__text_signature__ == "(gate, qargs)"
    assert Instr.__doc__ == "A compact, index-only quantum instruction used internally by the search/prover."
    docs = {
        "apply_permutation": ("($self, perm)", "Applies a qubit permutation."),
        "permut": ("($self, perm)", "Alias of `apply_permutation`."),
        "arg_mask": ("($self)", "Bitmask of qubits touched by this instruction."),
        "pass_mask": ("($self, mask)", "Updates a frontier mask for left-to-right scheduling checks."),
        "largest_qubit": ("($self)", "Largest qubit index touched by this instruction."),
        "disjoint": ("($self, other)", "Returns `true` when this and `other` touch disjoint qubits."),
        "adjoint": ("($self)", "Returns the adjoint instruction."),
        "position_of_qubit": ("($self, qubit)", "Returns position of `qubit` in argument list, if present."),
    }
    for name, (sig, doc) in docs.items():
        m = getattr(Instr, name)
        assert (m.__text_signature__, m.__doc__) == (sig, doc), name
    assert Instr.gate.__doc__ == "Underlying gate."
    assert Instr.qargs.__doc__ == "Qubit arguments as dense integer indices."


def test_method_argument_count():
    with pytest.raises(TypeError) as e:
        Instr(H, [0]).arg_mask(1)
    assert str(e.value) == "Instr.arg_mask() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        Instr(H, [0]).apply_permutation(prem=(0,))
    assert str(e.value) == "Instr.apply_permutation() got an unexpected keyword argument 'prem'"
