"""Finished classes (ECC) and collections (ECCs): text forms, filtering,
comparisons, the randomized check and the Python class surface."""
import pytest

from larkspan import ECC, ECCs, Evaluator, RawECCs

from ecc_numpy import gate


@pytest.fixture(scope="module")
def one_qubit():
    """Classes of h, x, z on one qubit up to size 3, single-member classes included."""
    raw, _ = RawECCs.generate(Evaluator(1), [gate("h"), gate("x"), gate("z")], 3)
    return raw.simplify()


def test_len_nqubits_and_filter_single(one_qubit):
    sizes = [len(e.circuits()) for e in one_qubit.to_list()]
    assert len(one_qubit) == len(sizes) and one_qubit.nqubits == 1
    multi = one_qubit.filter_single()
    assert isinstance(multi, ECCs) and multi.nqubits == 1
    assert [len(e.circuits()) for e in multi.to_list()] == [s for s in sizes if s > 1]
    assert 1 in sizes and len(multi) < len(one_qubit)
    assert multi.filter_single() == multi


def test_display_forms(one_qubit):
    root = one_qubit.to_list()[0]
    assert str(root) == "ECC {\n\t,\n\th(0) h(0),\n\tx(0) x(0),\n\tz(0) z(0),\n}"
    multi = [str(e) for e in one_qubit.to_list() if len(e.circuits()) > 1]
    assert str(one_qubit) == " & ".join(multi)
    assert str(one_qubit.filter_single()) == str(one_qubit)


def test_only_single_member_classes_display_as_nothing(capfd):
    eccs = RawECCs.generate(Evaluator(1), [gate("t")], 1)[0].simplify()
    # t and tdg open classes of their own; the root has the empty circuit only.
    assert len(eccs) == 3 and str(eccs) == "" and len(eccs.filter_single()) == 0


def test_to_list_returns_new_equal_objects(one_qubit):
    a, b = one_qubit.to_list(), one_qubit.to_list()
    assert a == b and all(x is not y for x, y in zip(a, b))
    assert all(isinstance(e, ECC) for e in a)


def test_equality_by_value(one_qubit, capfd):
    eccs = one_qubit.to_list()
    assert eccs[0] == eccs[0] and eccs[0] != eccs[1]
    assert not (eccs[0] == "ECC") and eccs[0] != 1
    assert one_qubit == one_qubit and one_qubit != one_qubit.filter_single()
    with pytest.raises(TypeError):
        eccs[0] < eccs[1]
    with pytest.raises(TypeError):
        one_qubit <= one_qubit
    # Same classes, other qubit count: different collections.
    assert RawECCs(Evaluator(1)).simplify() != RawECCs(Evaluator(2)).simplify()
    assert RawECCs(Evaluator(2)).simplify() == RawECCs(Evaluator(2)).simplify()


def test_check_passes_generated_classes(capfd):
    for n, names in [(1, ("h", "s", "t")), (2, ("h", "t", "cx")), (3, ("h", "cx"))]:
        eccs = RawECCs.generate(Evaluator(n), [gate(g) for g in names], 3)[0].simplify()
        assert eccs.check() == []


def test_circuits_are_new_lists_of_instr(one_qubit):
    root = one_qubit.to_list()[0]
    a, b = root.circuits(), root.circuits()
    assert a is not b and a[1] is not b[1]
    assert [str(i) for i in a[1]] == ["h(0)", "h(0)"]


def test_class_surface():
    for cls in (ECC, ECCs):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert ECC.__doc__ == "One equivalence class of circuits."
    assert ECCs.__doc__ == "Collection of equivalence classes for a fixed number of qubits."
    assert ECC.circuits.__text_signature__ == "($self)"
    assert ECCs.check.__doc__ == "Returns classes that fail randomized equivalence checks."
    assert ECCs.filter_single.__doc__ == "Removes classes with only one circuit."
    assert ECCs.to_list.__doc__ == "Returns all classes as a Python list."
    assert ECCs.nqubits.__doc__ is None


def test_nqubits_is_read_only(one_qubit):
    with pytest.raises(AttributeError):
        one_qubit.nqubits = 2
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del one_qubit.nqubits
    assert one_qubit.nqubits == 1


def test_methods_take_no_arguments(one_qubit):
    with pytest.raises(TypeError, match=r"^ECCs.check\(\) takes 0 positional arguments but 1 was given$"):
        one_qubit.check(1)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
        one_qubit.to_list()[0].circuits(x=1)
