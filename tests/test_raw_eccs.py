"""The raw class map: its root class, filing with surface-gate pruning (seen
through simplify), and the Python class surface."""
import gc

import pytest

from larkspan import ECCs, Evaluator, RawECCs

from ecc_numpy import gate


def texts(ecc):
    return [[str(i) for i in c] for c in ecc.circuits()]


@pytest.mark.parametrize("n", [1, 2, 5])
def test_new_map_holds_only_the_empty_circuit(n):
    eccs = RawECCs(Evaluator(n)).simplify()
    assert isinstance(eccs, ECCs) and len(eccs) == 1 and eccs.nqubits == n
    (root,) = eccs.to_list()
    assert texts(root) == [[]]
    assert str(root) == "ECC {\n\t,\n}"
    assert str(eccs) == ""


def test_surface_gate_pruning_on_one_qubit(capfd):
    # Circuits over h, x, z up to size 3. A later circuit of a class is kept
    # only if both its first and its last gate are new to the class: z z z
    # (front z), h h z (front h) and z h h (back h) are dropped.
    eccs = RawECCs.generate(Evaluator(1), [gate("h"), gate("x"), gate("z")], 3)[0].simplify()
    by_first = {tuple(texts(e)[0]): texts(e) for e in eccs.to_list()}
    assert by_first[()] == [[], ["h(0)", "h(0)"], ["x(0)", "x(0)"], ["z(0)", "z(0)"]]
    assert by_first[("z(0)",)] == [["z(0)"], ["h(0)", "x(0)", "h(0)"], ["x(0)", "z(0)", "x(0)"]]
    assert by_first[("x(0)", "z(0)")] == [["x(0)", "z(0)"], ["z(0)", "x(0)"]]


def test_relabelled_circuits_share_a_class(capfd):
    # cx(1, 0) cx(0, 1) is cx(0, 1) followed by a swap: one class, whose
    # second member gets the swap written out.
    eccs = RawECCs.generate(Evaluator(2), [gate("cx")], 3)[0].simplify()
    assert len(eccs) == 2
    root, cx = eccs.to_list()
    assert texts(root) == [[], ["cx(0, 1)", "cx(0, 1)"], ["cx(1, 0)", "cx(1, 0)"]]
    # Which orientation represents the class depends on the evaluator's random states.
    first, second = texts(cx)
    assert first in (["cx(0, 1)"], ["cx(1, 0)"])
    assert second in (["cx(1, 0)", "cx(0, 1)", "swap(0, 1)"], ["cx(0, 1)", "cx(1, 0)", "swap(0, 1)"])


def test_simplified_members_use_the_first_members_qubits_first(capfd):
    # On three qubits every class's first member is relabelled onto the
    # lowest qubits, keeping their order.
    eccs = RawECCs.generate(Evaluator(3), [gate("h"), gate("cx")], 3)[0].simplify()
    for ecc in eccs.to_list():
        first = ecc.circuits()[0]
        used = sorted({q for i in first for q in i.qargs})
        assert used == list(range(len(used)))


def test_simplify_sorts_classes_and_members(capfd):
    eccs = RawECCs.generate(Evaluator(2), [gate("h"), gate("s"), gate("cx")], 3)[0].simplify()
    firsts = [ecc.circuits()[0] for ecc in eccs.to_list()]
    sizes = [[len(c) for c in ecc.circuits()] for ecc in eccs.to_list()]
    # Members shortest first (the materialised swaps of later members aside).
    assert firsts[0] == [] and all(len(c) <= min(s) for c, s in zip(firsts, sizes))


def test_maps_and_collections_outlive_each_other_in_any_order(capfd):
    # The instruction lists are shared between a map's classes; dropping the
    # map, its results or the evaluator in any order must leave the rest valid.
    ev = Evaluator(2)
    raw, _ = RawECCs.generate(ev, [gate("h"), gate("t"), gate("cx")], 3)
    first = raw.simplify()
    del ev
    gc.collect()
    second = raw.simplify()
    del raw
    gc.collect()
    assert first == second
    assert sum(len(e.circuits()) for e in second.to_list()) > len(second)


def test_constructor_and_class_surface():
    assert RawECCs.__text_signature__ == "(evaluator)"
    assert RawECCs.__doc__.startswith("Mutable ECC map keyed by evaluator hash.")
    assert RawECCs.simplify.__doc__ == "Converts raw buckets into sorted, normalized ECCs."
    assert RawECCs.generate.__text_signature__ == "(evaluator, gates, max_size)"
    assert RawECCs.search_naive.__text_signature__ == "(evaluator, instrs, max_size)"
    with pytest.raises(TypeError, match=r"^RawECCs.__new__\(\) missing 1 required positional argument: 'evaluator'$"):
        RawECCs()
    with pytest.raises(TypeError, match=r"^argument 'evaluator': 'int' object cannot be converted to 'Evaluator'$"):
        RawECCs(1)
    with pytest.raises(TypeError):
        type("Sub", (RawECCs,), {})


@pytest.mark.parametrize("n", [6, 8])
def test_up_to_eight_qubits(n):
    assert len(RawECCs(Evaluator(n)).simplify()) == 1
