"""Breadth-first search and generation: class counts against an exact NumPy
enumeration, members against their unitaries, the progress lines, the
instruction order of generate, errors, and the parallel search against the
one-thread one."""
import ctypes
import ctypes.util
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from larkspan import Evaluator, Gate, RawECCs

from ecc_numpy import count_up_to_relabelling, gate, ins, reachable, same_up_to_phase, unitary

PROGRESS = re.compile(r"#(\d+) Exploring (.*) \((\d+) queued, (\d+) ECCs, (\d+) circs, (\d+) circs perm\)")


def gates(*names):
    return [gate(n) for n in names]


def fatal_message(excinfo):
    assert not isinstance(excinfo.value, Exception)
    return str(excinfo.value)


# ---------------------------------------------------------------- class counts against NumPy

COUNT_CASES = [
    (1, ("h", "s"), 8),
    (1, ("h", "t"), 5),
    (2, ("h", "cx"), 4),
    (2, ("h", "s", "t", "cx"), 3),
    (3, ("h", "cx"), 3),
    (3, ("x", "t", "cx"), 3),
]


@pytest.mark.parametrize("n, names, size", COUNT_CASES)
def test_class_count_is_the_number_of_operators_up_to_phase_and_relabelling(n, names, size, capfd):
    raw, counters = RawECCs.generate(Evaluator(n), gates(*names), size)
    expected = count_up_to_relabelling(reachable(names, n, size), n)
    assert len(raw.simplify()) == expected
    assert counters[2] >= counters[1]


def test_single_qubit_clifford_group_has_24_classes(capfd):
    raw, _ = RawECCs.generate(Evaluator(1), gates("h", "s"), 10)
    assert len(raw.simplify()) == 24


@pytest.mark.parametrize("n, names, size", [(1, ("h", "t"), 5), (2, ("h", "s", "cx"), 3)])
def test_naive_class_count_is_the_number_of_operators_up_to_phase(n, names, size, capfd):
    raw, counters = RawECCs.generate_naive(Evaluator(n), gates(*names), size)
    assert len(raw.simplify()) == len(reachable(names, n, size))
    assert counters[1] == counters[2]


@pytest.mark.parametrize("naive", [False, True])
@pytest.mark.parametrize("n, names, size", [(2, ("h", "s", "t", "cx"), 3), (3, ("h", "t", "cx"), 3)])
def test_every_member_is_the_operator_of_the_first(n, names, size, naive, capfd):
    run = RawECCs.generate_naive if naive else RawECCs.generate
    eccs = run(Evaluator(n), gates(*names), size)[0].simplify()
    multi = 0
    for ecc in eccs.to_list():
        circuits = ecc.circuits()
        first = unitary(circuits[0], n)
        for c in circuits[1:]:
            assert same_up_to_phase(first, unitary(c, n)), (str(ecc), [str(i) for i in c])
        multi += len(circuits) > 1
    assert multi > 0
    assert eccs.check() == []


# ---------------------------------------------------------------- the search loop

@pytest.mark.parametrize("search", [RawECCs.search, RawECCs.search_naive])
def test_empty_instruction_list_extends_only_the_empty_circuit(search, capfd):
    # A search of more than a window of entries first: its buffers must not
    # show through in the empty search's progress line.
    assert search(Evaluator(1), [ins("h", 0), ins("t", 0)], 15)[1][0] > 600
    capfd.readouterr()
    raw, counters = search(Evaluator(2), [], 5)
    assert counters == [1, 0, 0]
    assert len(raw.simplify()) == 1
    assert capfd.readouterr().out == "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\n"


@pytest.mark.parametrize("search", [RawECCs.search, RawECCs.search_naive])
def test_max_size_0_and_1_both_extend_only_the_empty_circuit(search, capfd):
    ev = Evaluator(2)
    instrs = [ins("h", 0), ins("h", 1), ins("cx", 0, 1), ins("cx", 1, 0)]
    r0, c0 = search(ev, instrs, 0)
    r1, c1 = search(ev, instrs, 1)
    assert c0 == c1 and c0[:2] == [1, 4]
    assert r0.simplify() == r1.simplify()


def test_max_size_2_evaluates_the_extensions_of_the_new_classes_only(capfd):
    ev = Evaluator(1)
    a, b = ins("h", 0), ins("t", 0)
    _, counters = RawECCs.search(ev, [a, b], 2)
    # h and t open two classes; each is extended by both instructions.
    assert counters[:2] == [3, 6]


def test_duplicate_instruction_is_evaluated_twice_and_stored_once(capfd):
    ev = Evaluator(1)
    single, c1 = RawECCs.search(ev, [ins("h", 0)], 1)
    double, c2 = RawECCs.search(ev, [ins("h", 0), ins("h", 0)], 1)
    assert c2[1] == 2 * c1[1]
    assert double.simplify() == single.simplify()


def test_progress_lines_every_400_extended_circuits(capfd):
    raw, counters = RawECCs.generate(Evaluator(2), gates("h", "s", "t", "cx"), 5)
    lines = capfd.readouterr().out.splitlines()
    assert counters[0] > 800
    assert len(lines) == (counters[0] - 1) // 400 + 1
    previous = None
    for k, line in enumerate(lines):
        m = PROGRESS.fullmatch(line)
        assert m, line
        number, circuit, queued, classes, circs, perm = m.groups()
        assert int(number) == 400 * k
        assert int(circs) <= counters[1] and int(circs) <= int(perm) <= counters[2]
        assert int(classes) <= len(raw.simplify())
        if previous:
            assert int(circs) > previous
        previous = int(circs)
    assert lines[0] == "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)"
    # The queue is breadth first: circuits grow no shorter along the lines.
    sizes = [len(re.findall(r"\w+\([\d, ]+\)", PROGRESS.fullmatch(l).group(2))) for l in lines]
    assert sizes == sorted(sizes)


def test_progress_lines_interleave_with_python_output():
    code = textwrap.dedent("""
        from larkspan import Evaluator, RawECCs
        print("before")
        RawECCs.search(Evaluator(1), [], 1)
        print("after")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "before\n#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\nafter\n"


# ---------------------------------------------------------------- generate's instruction list

def test_generate_places_gates_sorted_by_largest_qubit(capfd):
    ev = Evaluator(2)
    expected = [ins("h", 0), ins("h", 1), ins("cx", 0, 1), ins("cx", 1, 0)]
    r1, c1 = RawECCs.generate(ev, gates("cx", "h"), 3)
    out1 = capfd.readouterr().out
    r2, c2 = RawECCs.search(ev, expected, 3)
    out2 = capfd.readouterr().out
    assert (c1, out1) == (c2, out2)
    assert r1.simplify() == r2.simplify()


def test_generate_three_qubit_order(capfd):
    # Qubit-0 instructions first, then those reaching qubit 1, then qubit 2;
    # one-qubit gates before two-qubit gates within each group.
    ev = Evaluator(3)
    expected = [ins("t", 0), ins("tdg", 0), ins("t", 1), ins("tdg", 1), ins("cx", 0, 1), ins("cx", 1, 0),
                ins("t", 2), ins("tdg", 2), ins("cx", 0, 2), ins("cx", 1, 2), ins("cx", 2, 0), ins("cx", 2, 1)]
    r1, c1 = RawECCs.generate(ev, gates("cx", "t"), 2)
    r2, c2 = RawECCs.search(ev, expected, 2)
    assert c1 == c2 and r1.simplify() == r2.simplify()


@pytest.mark.parametrize("given", [("t",), ("t", "tdg"), ("tdg", "t")])
def test_generate_adds_missing_adjoints_once(given, capfd):
    ev = Evaluator(1)
    r1, c1 = RawECCs.generate(ev, gates(*given), 4)
    r2, c2 = RawECCs.search(ev, [ins("t", 0), ins("tdg", 0)], 4)
    assert c1 == c2 and r1.simplify() == r2.simplify()


def test_self_adjoint_gate_is_not_repeated(capfd):
    ev = Evaluator(1)
    _, c1 = RawECCs.generate(ev, gates("h"), 3)
    _, c2 = RawECCs.search(ev, [ins("h", 0)], 3)
    assert c1 == c2


# ---------------------------------------------------------------- errors

def three_qubit_gate():
    return Gate("ccz_test", [], np.diag([1, 1, 1, 1, 1, 1, 1, -1]).astype(complex))


@pytest.mark.parametrize("run", [RawECCs.generate, RawECCs.generate_naive])
def test_three_qubit_gate_is_refused_before_any_work(run, capfd):
    with pytest.raises(BaseException) as e:
        run(Evaluator(3), [gate("h"), three_qubit_gate()], 2)
    assert fatal_message(e) == "Only 1 and 2 qubit instructions are supported"
    assert capfd.readouterr().out == ""


def test_failed_evaluation_surfaces_after_the_earlier_progress_lines(capfd):
    # h(1) does not exist on one qubit: the search fails where the one-thread
    # algorithm would, after its first progress line.
    with pytest.raises(BaseException) as e:
        RawECCs.search(Evaluator(1), [ins("h", 0), ins("h", 1)], 3)
    fatal_message(e)
    assert capfd.readouterr().out.startswith("#0 Exploring  (0 queued, 1 ECCs")


@pytest.mark.parametrize("args, exc, text", [
    (("evaluator", [], 1), TypeError, "argument 'evaluator': "),
    ((None, "h", 1), TypeError, "argument 'instrs': "),
    ((None, [1], 1), TypeError, "argument 'instrs': "),
    ((None, [], -1), OverflowError, ""),
    ((None, [], "2"), TypeError, "argument 'max_size': "),
])
def test_search_argument_errors(args, exc, text):
    args = tuple(Evaluator(1) if a is None else a for a in args)
    with pytest.raises(exc) as e:
        RawECCs.search(*args)
    assert str(e.value).startswith(text)


def test_generate_refuses_non_gates():
    with pytest.raises(TypeError, match=r"^argument 'gates': 'str' object cannot be converted to 'Gate'"):
        RawECCs.generate(Evaluator(1), ["h"], 1)


def test_keyword_arguments_and_result_shape(capfd):
    result = RawECCs.generate(evaluator=Evaluator(1), gates=[gate("h")], max_size=2)
    assert isinstance(result, tuple) and len(result) == 2
    raw, counters = result
    assert isinstance(raw, RawECCs) and isinstance(counters, list) and len(counters) == 3


# ---------------------------------------------------------------- parallel = sequential

def _omp_set_num_threads():
    name = ctypes.util.find_library("gomp") or "libgomp.so.1"
    try:
        return ctypes.CDLL(name).omp_set_num_threads
    except (OSError, AttributeError):
        pytest.skip("OpenMP runtime not reachable through ctypes")


@pytest.mark.parametrize("naive", [False, True])
def test_parallel_search_equals_one_thread_search(naive, capfd):
    set_threads = _omp_set_num_threads()
    ev = Evaluator(2)
    run = RawECCs.generate_naive if naive else RawECCs.generate
    outcomes = []
    try:
        for threads in (1, 2, 4):
            set_threads(threads)
            raw, counters = run(ev, gates("h", "s", "t", "cx"), 6)
            outcomes.append((counters, capfd.readouterr().out, raw.simplify()))
    finally:
        set_threads(os.cpu_count() or 1)
    assert outcomes[0][1].count("\n") >= 2
    assert outcomes[1] == outcomes[0] and outcomes[2] == outcomes[0]


def test_ctrl_c_ends_a_running_search(monkeypatch, capfd):
    # The interrupt arrives while the search runs (here: while it flushes
    # Python's stdout before its first progress line) and ends it there.
    import signal

    class InterruptingStdout:
        def __init__(self, inner):
            self.inner = inner

        def write(self, text):
            return self.inner.write(text)

        def flush(self):
            signal.raise_signal(signal.SIGINT)

    monkeypatch.setattr(sys, "stdout", InterruptingStdout(sys.stdout))
    with pytest.raises(KeyboardInterrupt):
        RawECCs.generate(Evaluator(2), gates("h", "s", "t", "cx"), 5)
    monkeypatch.undo()
    assert capfd.readouterr().out == ""
