"""The command line: `larkspan generate` / `python -m larkspan generate`."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from larkspan import Gate
from larkspan import cli

SUMMARY = re.compile(r"(\d+) classes, (\d+) with >= 2 members, (\d+) circuits evaluated, \d+\.\d\d s")


def run_module(*args):
    return subprocess.run([sys.executable, "-m", "larkspan", *args], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_module_run_prints_progress_and_summary():
    r = run_module("generate", "-n", "1", "-g", "h,s", "-s", "10")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)"
    m = SUMMARY.fullmatch(lines[-1])
    assert m and int(m.group(1)) == 24  # the single-qubit Clifford group
    assert r.stderr == ""


def test_show_prints_the_classes_with_several_members(capfd):
    assert cli.main(["generate", "--qubits", "1", "--gates", "h", "--max-size", "2", "--show", "--quiet"]) == 0
    out = capfd.readouterr().out
    # h h is the identity: one class {empty, h h}, shown; {h} alone is not.
    assert out.startswith("ECC {\n\t,\n\th(0) h(0),\n}\n")
    assert SUMMARY.fullmatch(out.splitlines()[-1]).groups()[:2] == ("2", "1")


def test_naive_search_keeps_relabelled_circuits_apart(capfd):
    counts = {}
    for naive in ([], ["--naive"]):
        assert cli.main(["generate", "-n", "2", "-g", "x", "-s", "1", "-q", *naive]) == 0
        counts[bool(naive)] = int(SUMMARY.fullmatch(capfd.readouterr().out.strip()).group(1))
    # x(0) and x(1) are one class up to relabelling, two classes naively.
    assert counts == {False: 2, True: 3}


@pytest.mark.parametrize("args, text", [
    (["generate", "--gates", "h,foo"], "unknown gate 'foo'"),
    (["generate", "--gates", ""], "no gates given"),
    (["generate", "--gates", "h,,t"], "empty gate name"),
    (["generate", "--max-size", "-1"], "expected a non-negative integer, got -1"),
    (["generate", "--max-size", "two"], "expected a non-negative integer, got 'two'"),
    (["generate", "--qubits", "9"], "between 1 and 8"),
    (["generate", "--qubits", "0"], "between 1 and 8"),
    (["generate", "--max-size", str(2 ** 64)], "the maximum size must be below 2**64"),
    (["generate", "--qubits", "1", "--gates", "h,cx"], "gate 'cx' acts on 2 qubits, more than the 1 given"),
    (["frobnicate"], "invalid choice"),
    ([], "required"),
])
def test_bad_arguments_give_one_line_and_status_2(args, text, capfd):
    assert cli.main(args) == 2
    out, err = capfd.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("larkspan: error: ") and text in err


def test_gate_of_three_qubits_is_refused(capfd):
    # A matrix of its own: registering a known matrix would return the known gate.
    Gate("ccs_cli", [], np.diag([1, 1, 1, 1, 1, 1, 1, 1j]).astype(complex))
    assert cli.main(["generate", "-g", "h,ccs_cli", "-q"]) == 2
    err = capfd.readouterr().err
    assert err == "larkspan: error: gate 'ccs_cli' acts on 3 qubits; only 1- and 2-qubit gates are supported\n"


def test_bad_arguments_from_the_command_line_have_no_traceback():
    r = run_module("generate", "--gates", "nope")
    assert r.returncode == 2
    assert r.stderr.startswith("larkspan: error: unknown gate 'nope'") and "Traceback" not in r.stderr


def test_default_gates_on_one_qubit_leave_out_cx(capfd):
    assert cli.main(["generate", "--qubits", "1", "--max-size", "1", "--quiet"]) == 0
    # h, x, s, t and the adjoints sdg, tdg each open a class, next to the empty circuit.
    assert SUMMARY.fullmatch(capfd.readouterr().out.strip()).groups() == ("7", "0", "6")


def test_defaults_are_a_small_demo():
    parser = cli.build_parser()
    args = parser.parse_args(["generate"])
    assert (args.qubits, args.gates, args.max_size, args.naive, args.show) == (3, "h,x,s,t,cx", 6, False, False)
