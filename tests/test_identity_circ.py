"""IdentityCirc: the identity check, canonical rotations, wire neighbours, the
Python-object form and the subcircuit splits."""
import collections
import collections.abc
import os
import subprocess
import sys
import types

import numpy as np
import pytest

from larkspan import Circ, IdentityCirc, Instr

from circ_sim import (cx, gate, h, ins, is_identity_up_to_phase,
                      python_hash, random_identity, random_perm, s, seeded, siphash13, swap, t, text,
                      unitary, x)


def fatal(excinfo):
    assert not isinstance(excinfo.value, Exception)
    return str(excinfo.value)


def ident(instrs, perm=None):
    return IdentityCirc(Circ(instrs, perm))


HH = [h(0), h(0)]


# ---------------------------------------------------------------- construction and check

def test_construction_keeps_the_circuit():
    i = ident(HH)
    assert i.inner == Circ(HH) and i.check() is True
    assert i.nqubits() == 1 and len(i) == 2
    empty = IdentityCirc(Circ([], ()))
    assert empty.check() is True and len(empty) == 0
    # Not canonicalised: the x gates stay on qubit 1.
    assert ident([x(1), x(1)], (0, 1)).inner == Circ([x(1), x(1)], (0, 1))


@pytest.mark.parametrize("instrs, perm", [
    ([h(0)], None),
    ([h(0), x(0)], None),
    ([cx(0, 1), cx(1, 0)], None),
    ([h(0), h(0)], (1, 0)),
    ([], (1, 0)),
    ([t(0), h(1), s(2)], (1, 2, 0)),
])
def test_non_identities_are_refused(instrs, perm):
    c = Circ(instrs, perm)
    with pytest.raises(BaseException) as e:
        IdentityCirc(c)
    msg = fatal(e)
    head = "IdentityCirc: circuit is not identity " + str(c) + " "
    assert msg.startswith(head)
    # The two states met in the middle: a = first half applied to a random
    # state, b = the second half undone from the permuted state.
    a, b = (np.array([complex(v) for v in part.split(", ")]) for part in msg[len(head) + 1:-1].split("] ["))
    n, half = len(c.perm), len(instrs) // 2
    ident_perm = tuple(range(n))
    first = unitary(Circ(instrs[:half], ident_perm))
    second = unitary(Circ(instrs[half:], ident_perm))
    want = second.conj().T @ unitary(Circ([], c.perm)).conj().T @ first.conj().T @ a
    assert len(a) == len(b) == 2 ** n
    assert abs(np.vdot(want, b)) == pytest.approx(1, abs=1e-3)


@pytest.mark.parametrize("instrs, perm", [
    ([swap(0, 1)], (1, 0)),
    ([cx(0, 1), cx(1, 0), cx(0, 1)], (1, 0)),
    ([t(0), t(0), t(0), t(0), s(0), s(0)], None),
    ([h(2), h(2)], (0, 1, 2)),
])
def test_identities_with_permutations_and_phases(instrs, perm):
    assert ident(instrs, perm).check()


def test_text_forms_and_values():
    i = ident(HH)
    assert str(i) == "Identity { h(0) h(0) (0) }"
    assert repr(i) == "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })"
    assert str(IdentityCirc(Circ([]))) == "Identity { () }"
    assert hash(i) == hash(Circ(HH)) and i == ident(HH) and not i != ident(HH)
    assert ident([x(0), x(0)]) > i and ident(HH + HH) > ident([x(0), x(0)])
    assert (i == Circ(HH)) is False
    assert [str(i[k]) for k in (0, 1, 2, -1)] == ["h(0)"] * 4
    assert text(list(i)) == ["h(0)", "h(0)"]


def test_hash_value_is_the_circuit_hash():
    data = (b"\x02\x00\x00\x00" + (b"\x01\x00\x02\x00\x00\x00\x00\xff") * 2 + (1 << 24).to_bytes(4, "little"))
    assert ident(HH).hash_value() == siphash13(data)
    assert hash(ident(HH)) == python_hash(siphash13(data))
    empty = siphash13(b"\x00" * 8)
    assert IdentityCirc(Circ([], ())).hash_value() == empty


def test_attribute_dictionary():
    i = ident(HH)
    i.note = "kept"
    assert i.note == "kept" and i.__dict__ == {"note": "kept"}
    with pytest.raises(AttributeError):
        Circ([]).note = 1


def test_indexing_empty_identity_is_fatal():
    with pytest.raises(BaseException) as e:
        IdentityCirc(Circ([]))[0]
    assert "divisor of zero" in fatal(e)


# ---------------------------------------------------------------- rotate_representative

def test_rotate_representative_examples():
    assert Circ(HH, (0,)).rotate_representative() == ident(HH)
    assert Circ([x(1), x(1)], (0, 1)).rotate_representative() == ident([x(0), x(0)], (0,))
    assert Circ([], (1, 0)).remove_swaps().perm == (1, 0)
    assert isinstance(Circ(HH).rotate_representative(), IdentityCirc)
    with pytest.raises(BaseException) as e:
        Circ([h(0)], (0,)).rotate_representative()
    assert fatal(e).startswith("IdentityCirc: circuit is not identity")


def test_rotate_representative_without_qubits_is_fatal():
    # The identity gate touches qubit 0: a valid candidate.
    assert len(Circ([Instr(gate("i"), [0])]).rotate_representative()) == 1
    body = IdentityCirc.from_python({"instrs": [("i", (255, 255))], "perm": {"raw": 1 << 24}})
    with pytest.raises(BaseException) as e:
        body.inner.rotate_representative()
    assert "none acts on a qubit" in fatal(e)


def test_rotate_representative_of_x_plus_inverse():
    rng = seeded(11)
    for _ in range(10):
        c = random_identity(rng, rng.randint(1, 3), rng.randint(1, 4))
        rep = c.rotate_representative()
        assert is_identity_up_to_phase(unitary(rep.inner))


def test_rotate_representative_is_invariant_under_rotation_and_relabelling():
    rng = seeded(5)
    for _ in range(12):
        n = rng.randint(1, 3)
        c = random_identity(rng, n, rng.randint(2, 4))
        rep = c.rotate_representative()
        for k in range(-c.len(), c.len() + 1):
            assert c.rotate(k).rotate_representative() == rep
        for _ in range(3):
            assert c.permut(random_perm(rng, n)).rotate_representative() == rep


# ---------------------------------------------------------------- wire neighbours

@pytest.mark.parametrize("instrs, perm, gate_id, forward, backward", [
    ([h(0), x(1), h(0), x(1)], (0, 1), 0, [2], [2]),
    ([h(0), x(1), h(0), x(1)], (0, 1), 1, [3], [3]),
    ([cx(0, 1), cx(0, 1)], (0, 1), 0, [1, 1], [1, 1]),
    (HH, (0,), 1, [0], [0]),
    ([swap(0, 1)], (1, 0), 0, [0, 0], [0, 0]),
    ([cx(0, 1), h(1), h(1), cx(0, 1)], None, 0, [3, 1], [3, 3]),
])
def test_qargs_neighbours(instrs, perm, gate_id, forward, backward):
    i = ident(instrs, perm)
    assert i.qargs_forward(gate_id) == forward
    assert i.qargs_backward(gate_id) == backward


def test_qargs_neighbours_follow_the_permutation():
    # h(0) x(1) swap(0, 1) h(1) x(0) is a swap, undone by the permutation:
    # around the cycle, the wire of x(0) comes back as qubit 1 and meets x(1).
    i = ident([h(0), x(1), swap(0, 1), h(1), x(0)], (1, 0))
    assert i.qargs_forward(0) == [2]
    assert i.qargs_forward(4) == [1]
    assert i.qargs_backward(1) == [4]
    assert i.qargs_backward(2) == [0, 1]


def test_qargs_neighbours_index_error():
    i = ident(HH)
    for method in (i.qargs_forward, i.qargs_backward):
        with pytest.raises(BaseException) as e:
            method(2)
        assert "index out of bounds" in fatal(e)
    with pytest.raises(OverflowError):
        i.qargs_forward(-1)


def test_qargs_unset_slot_messages():
    # Data read from Python is not checked: the permutation carries the wire
    # of h(0) onto qubit 1, where no gate ever meets it.
    i = IdentityCirc.from_python({"instrs": [("h", (0, 255))], "perm": {"raw": (2 << 24) | 1}})
    with pytest.raises(BaseException) as e:
        i.qargs_forward(0)
    assert fatal(e) == "[18446744073709551615] Identity { h(0) (1 0) }"
    with pytest.raises(BaseException) as e:
        i.qargs_backward(0)
    assert fatal(e) == "a 0 Circ { instrs: [h(1)], perm: (1 0) } Identity { h(0) (1 0) }"


# ---------------------------------------------------------------- Python-object form

def test_pythonize_round_trip():
    obj = ident(HH).pythonize()
    assert obj == {"instrs": [("h", (0, 255)), ("h", (0, 255))], "perm": {"raw": 16777216}}
    assert list(obj) == ["instrs", "perm"]
    assert IdentityCirc.from_python(obj) == ident(HH)
    c = ident([cx(1, 0), x(2), cx(1, 0), x(2)], (0, 1, 2))
    assert IdentityCirc.from_python(c.pythonize()) == c


def test_from_python_accepts_any_sequences_and_ignores_extra_keys():
    obj = {"note": 1, "perm": {"raw": 1 << 24, "x": 0}, "instrs": [["h", [0, 255]], ("h", (0, 255))]}
    assert IdentityCirc.from_python(obj) == ident(HH)


class ReadOnlyMapping(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


@pytest.mark.parametrize("wrap", [ReadOnlyMapping, collections.ChainMap, types.MappingProxyType])
def test_from_python_accepts_any_mapping(wrap):
    obj = wrap({"instrs": [("h", (0, 255))] * 2, "perm": wrap({"raw": 1 << 24})})
    assert IdentityCirc.from_python(obj) == ident(HH)


def test_from_python_does_not_check():
    i = IdentityCirc.from_python({"instrs": [("h", (0, 255))], "perm": {"raw": 1 << 24}})
    assert i.inner == Circ([h(0)])
    with pytest.raises(BaseException):
        i.check()


@pytest.mark.parametrize("obj, exc, message", [
    ({"instrs": []}, Exception, "missing field `perm`"),
    ({"perm": {"raw": 0}}, Exception, "missing field `instrs`"),
    ({}, Exception, "missing field `instrs`"),
    ({"instrs": [], "perm": {}}, Exception, "missing field `raw`"),
    ({"instrs": [], "perm": {"raw": 0}, 1: 2}, TypeError, None),
    ({"instrs": 5, "perm": {"raw": 0}}, TypeError, None),
    ({"instrs": "hh", "perm": {"raw": 0}}, TypeError, None),
    ({"instrs": [("h", 0)], "perm": {"raw": 0}}, TypeError, None),
    ({"instrs": [(1, (0, 255))], "perm": {"raw": 0}}, TypeError, None),
    ({"instrs": [("h", (0.0, 255))], "perm": {"raw": 0}}, TypeError, None),
    ({"instrs": [], "perm": {"raw": "0"}}, TypeError, None),
    ([], TypeError, None),
    ({"instrs": [("h", (0, 255), 1)], "perm": {"raw": 0}}, ValueError, "expected sequence of length 2, got 3"),
    ({"instrs": [("h", (0,))], "perm": {"raw": 0}}, ValueError, "expected sequence of length 2, got 1"),
    ({"instrs": [("h", (0, 256))], "perm": {"raw": 0}}, OverflowError, None),
    ({"instrs": [], "perm": {"raw": 2 ** 32}}, OverflowError, None),
    ({"instrs": [], "perm": {"raw": 9 << 24}}, ValueError, None),
    ({"instrs": [], "perm": {"raw": 2 << 24}}, ValueError, None),
    ({"instrs": [], "perm": {"raw": (1 << 24) | (1 << 3)}}, ValueError, None),
])
def test_from_python_errors(obj, exc, message):
    with pytest.raises(exc) as e:
        IdentityCirc.from_python(obj)
    if exc is Exception:
        assert type(e.value) is Exception
    if message is not None:
        assert str(e.value) == message


@pytest.mark.parametrize("where", ["instrs", "qargs"])
def test_from_python_survives_data_that_changes_while_read(where):
    # Reading a qubit runs its __index__, which here empties the list being read.
    data = []

    class Emptier:
        def __index__(self):
            data.clear()
            return 0

    if where == "instrs":
        data += [("h", (Emptier(), 255))] + [("h", (0, 255))] * 50
        obj = {"instrs": data, "perm": {"raw": 1 << 24}}
    else:
        data += [Emptier(), 255]
        obj = {"instrs": [("h", data), ("h", (0, 255))], "perm": {"raw": 1 << 24}}
    try:
        IdentityCirc.from_python(obj)
    except IndexError:
        assert where == "instrs"


def test_from_python_unknown_gate_is_fatal():
    with pytest.raises(BaseException) as e:
        IdentityCirc.from_python({"instrs": [("nosuchgate", (0, 255))], "perm": {"raw": 1 << 24}})
    assert fatal(e) == "Failed to deserialize Gate16 from nosuchgate"


# ---------------------------------------------------------------- subcircuits

def test_combinations_rows():
    comb = IdentityCirc._combinations
    assert comb(0) == [[]]
    assert comb(1) == [[], [0]]
    assert len(comb(3)) == 7 and comb(3)[-1] == [1, 2]
    assert comb(4) == [[], [0], [1], [2], [3], [0, 1], [0, 2], [0, 3], [1, 2], [1, 3], [2, 3],
                       [0, 1, 2], [0, 1, 3], [0, 2, 3], [1, 2, 3]]
    from math import comb as binom
    row = comb(19)
    assert len(row) == sum(binom(19, k) for k in range(11))
    assert row[-1] == list(range(9, 19)) and row == sorted(row, key=lambda r: (len(r), r))
    with pytest.raises(BaseException) as e:
        comb(20)
    assert "at most 19 instructions" in fatal(e)


def test_split_example():
    assert ident(HH)._split([0]) == (Circ([h(0)]), Circ([h(0)]))
    assert ident(HH)._split([]) is None


def test_subcircuit_ports_example():
    i = ident([h(0), x(0), x(0), h(0)])
    connected, convex, inputs, outputs = i._subcircuit([0, 2])
    assert inputs == [(0, 0, 0), (0, 2, 0)] and not convex and not connected
    connected, convex, inputs, outputs = i._subcircuit([1, 2])
    assert connected and convex and inputs == [(0, 1, 0)] and outputs == [(0, 2, 0)]
    assert i._subcircuit([]) == (True, True, [], [])


def test_split_can_fail():
    # Selecting h(0) and h(1) with cx in between on both of their wires: after
    # taking h(0), the cx blocks the way to h(1) from both ends.
    i = ident([h(0), cx(0, 1), h(1), h(1), cx(0, 1), h(0)])
    assert i._split([0, 2]) is None


def check_split(identity, extracted, remaining):
    n = identity.nqubits()
    assert extracted.perm == tuple(range(n)) and remaining.perm == identity.inner.perm
    assert extracted.len() + remaining.len() == len(identity)
    assert is_identity_up_to_phase(unitary(extracted + remaining))


def test_subcircuit_splits_are_identities():
    rng = seeded(23)
    for _ in range(6):
        c = IdentityCirc(random_identity(rng, rng.randint(1, 3), rng.randint(2, 4)))
        splits = c._subcircuit_splits()
        assert splits, c
        for extracted, remaining in splits:
            check_split(c, extracted, remaining)


def splits_one_by_one(c):
    out = []
    for sel in IdentityCirc._combinations(len(c)):
        connected, convex, _, _ = c._subcircuit(sel)
        if connected and convex:
            s = c._split(sel)
            if s is not None:
                out.append(s)
    return out


def test_subcircuit_splits_in_selection_order():
    c = ident([h(0), x(1), h(0), x(1)], (0, 1))
    expected = splits_one_by_one(c)
    assert c._subcircuit_splits() == expected
    assert [(str(a), str(b)) for a, b in expected][:2] == [
        ("Circuit { h(0) (0 1) }", "Circuit { x(1) h(0) x(1) (0 1) }"),
        ("Circuit { x(1) (0 1) }", "Circuit { h(0) x(1) h(0) (0 1) }"),
    ]
    rng = seeded(31)
    for _ in range(8):
        c = IdentityCirc(random_identity(rng, rng.randint(2, 4), rng.randint(3, 5)))
        assert c._subcircuit_splits() == splits_one_by_one(c)


def test_subcircuit_splits_limit_is_a_clear_fatal_error():
    c = ident([h(0)] * 20)
    with pytest.raises(BaseException) as e:
        c._subcircuit_splits()
    assert "at most 19 instructions" in fatal(e)
    assert len(ident([h(0)] * 8)._subcircuit_splits()) > 0


def test_subcircuit_splits_report_the_first_failure():
    # A qubit beyond the permutation (accepted from data) fails in every task;
    # the call reports it once, as a fatal error.
    bad = IdentityCirc.from_python({"instrs": [("h", (0, 255)), ("h", (1, 255))], "perm": {"raw": 1 << 24}})
    with pytest.raises(BaseException) as e:
        bad._subcircuit_splits()
    assert fatal(e) == "Permutation length must be greater than the max qubit index."


SPLITS_SCRIPT = """
import random, sys
sys.path.insert(0, {tests!r})
from circ_sim import random_identity
from larkspan import IdentityCirc
rng = random.Random(3)
for _ in range(4):
    c = IdentityCirc(random_identity(rng, 3, 5))
    print([(repr(a), repr(b)) for a, b in c._subcircuit_splits()])
"""


def test_subcircuit_splits_do_not_depend_on_threads():
    env = dict(os.environ)
    outputs = []
    for threads in ("1", "2"):
        env["OMP_NUM_THREADS"] = threads
        script = SPLITS_SCRIPT.format(tests=os.path.dirname(__file__))
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        outputs.append(out.stdout)
    assert outputs[0] == outputs[1] and outputs[0].count("Circ {") > 10
