"""The gate registry and the Gate class."""
import cmath
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from cpython_hash import cpython_siphash13
from larkspan import Gate

R = 0.7071067811865476
BUILTINS = [
    ("i", [[1, 0], [0, 1]]),
    ("h", [[R, R], [R, -R]]),
    ("x", [[0, 1], [1, 0]]),
    ("z", [[1, 0], [0, -1]]),
    ("y", [[0, -1j], [1j, 0]]),
    ("s", [[1, 0], [0, 1j]]),
    ("sdg", [[1, 0], [0, -1j]]),
    ("t", [[1, 0], [0, 0.7071067811865476 + 0.7071067811865475j]]),
    ("tdg", [[1, 0], [0, 0.7071067811865476 - 0.7071067811865475j]]),
    ("cx", [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]),
    ("cz", np.diag([1, 1, 1, -1])),
    ("cy", [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, -1j], [0, 0, 1j, 0]]),
    ("cs", np.diag([1, 1, 1, 1j])),
    ("csdg", np.diag([1, 1, 1, -1j])),
    ("swap", [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]),
    ("t1/2", [[1, 0], [0, 0.9238795325112867 + 0.3826834323650898j]]),
    ("tdg1/2", [[1, 0], [0, 0.9238795325112867 - 0.3826834323650898j]]),
    ("rz(pi/3)", [[1, 0], [0, 0.5000000000000001 + 0.8660254037844386j]]),
    ("rz(-pi/3)", [[1, 0], [0, 0.5000000000000001 - 0.8660254037844386j]]),
    ("rz(pi/5)", [[1, 0], [0, 0.8090169943749475 + 0.5877852522924731j]]),
    ("rz(-pi/5)", [[1, 0], [0, 0.8090169943749475 - 0.5877852522924731j]]),
    ("rz(pi/16)", [[1, 0], [0, 0.9807852804032304 + 0.19509032201612825j]]),
    ("rz(-pi/16)", [[1, 0], [0, 0.9807852804032304 - 0.19509032201612825j]]),
]
ADJOINT_PAIRS = [("s", "sdg"), ("t", "tdg"), ("cs", "csdg"), ("t1/2", "tdg1/2"),
                 ("rz(pi/3)", "rz(-pi/3)"), ("rz(pi/5)", "rz(-pi/5)"), ("rz(pi/16)", "rz(-pi/16)")]
SELF_ADJOINT = ["i", "h", "x", "z", "y", "cx", "cz", "cy", "swap"]


def g(name):
    gate = Gate.from_name(name)
    assert gate is not None, name
    return gate


@pytest.mark.parametrize("name, matrix", BUILTINS)
def test_builtin_table(name, matrix):
    m = g(name).matrix
    assert m.dtype == np.complex128 and m.flags.f_contiguous
    assert np.array_equal(m, np.asarray(matrix, dtype=complex))  # exact doubles
    assert str(g(name)) == name
    assert g(name).nqargs == (1 if m.shape == (2, 2) else 2)


def test_builtin_exact_trigonometry():
    for name, angle in [("t", math.pi / 4), ("t1/2", math.pi / 8), ("rz(pi/3)", math.pi / 3),
                        ("rz(pi/5)", math.pi / 5), ("rz(pi/16)", math.pi / 16)]:
        assert g(name).matrix[1, 1] == complex(math.cos(angle), math.sin(angle))


@pytest.mark.parametrize("text", ["rz", "H", " h", "h ", "rz(pi / 3)", ""])
def test_from_name_is_exact(text):
    assert Gate.from_name(text) is None


def test_name_and_params():
    rz = g("rz(pi/3)")
    assert rz.name == "rz" and rz.params == ["pi/3"]
    assert g("h").params == []
    rz.params.append("x")  # a copy: the gate is unchanged
    assert rz.params == ["pi/3"]


@pytest.mark.parametrize("a, b", ADJOINT_PAIRS)
def test_adjoint_pairs(a, b):
    assert g(a).adjoint() == g(b)
    assert g(b).adjoint() == g(a)


@pytest.mark.parametrize("name", SELF_ADJOINT)
def test_self_adjoint(name):
    assert g(name).adjoint() == g(name)


def test_equality_and_hash_of_handles():
    assert g("h") == g("h") and not (g("h") != g("h"))
    assert g("h") != g("x")
    assert g("h").__eq__(1) is NotImplemented
    with pytest.raises(TypeError):
        g("h") < g("x")
    assert hash(g("h")) == hash(Gate.from_name("h"))
    assert len({hash(g(n)) for n, _ in BUILTINS}) == len(BUILTINS)



def test_gate_hash_is_siphash13_of_handle():
    handles = [0, 1, 9, 14, 22]
    expected = cpython_siphash13([h.to_bytes(2, "little") for h in handles])
    got = [hash(g(BUILTINS[h][0])) for h in handles]
    assert got == expected


def test_registering_known_matrix_returns_existing_gate():
    s = Gate("mys", [], np.array([[1, 0], [0, 1j]]))
    assert s == g("s") and s.name == "s" and s.params == []
    p = Gate("p", ["pi/3"], np.diag([1, cmath.exp(1j * math.pi / 3)]))
    assert p == g("rz(pi/3)")
    # within the 2^-24 grid the matrix is the same gate
    assert Gate("near_h", [], g("h").matrix + 1e-10) == g("h")


def test_new_gate_and_its_adjoint():
    u = Gate("u_test", ["a", "b"], np.array([[0, 1], [1j, 0]]))
    assert str(u) == "u_test(a, b)"
    ud = u.adjoint()
    assert ud.name == "u_test\u2020" and ud.params == ["a", "b"]
    assert np.array_equal(ud.matrix, np.array([[0, -1j], [1, 0]]))
    assert ud.adjoint() == u
    assert u.adjoint() == ud  # cached, nothing new registered
    assert Gate.from_name("u_test\u2020(a, b)") == ud


def test_adjoint_registers_once_in_fresh_process():
    code = (
        "import numpy as np\nfrom larkspan import Gate\n"
        "u = Gate('u', [], np.array([[0, 1], [1j, 0]]))\n"
        "print(repr(u).startswith('<'), Gate.from_name('u\u2020') is None)\n"
        "ud = u.adjoint()\n"
        "print(ud.name, Gate.from_name('u\u2020') == ud, ud.adjoint() == u)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, PYTHONIOENCODING="utf-8")).stdout.split("\n")
    assert out[0] == "True True"
    assert out[1] == "u\u2020 True True"


def test_zero_qubit_gate():
    ph = Gate("ph_test", [], [[1j]])
    assert ph.nqargs == 0 and ph.matrix.shape == (1, 1)


def test_strided_and_fortran_inputs():
    m = np.array([[0, 1, 9, 9], [1, 0, 9, 9]], dtype=complex)[:, :2]
    assert Gate("x_view", [], m) == g("x")
    assert Gate("x_f", [], np.asfortranarray(g("x").matrix)) == g("x")
    u = np.array([[0, 1], [1j, 0]])
    ut = Gate("u_transposed", [], u.T)  # a strided, non-contiguous view
    assert np.array_equal(ut.matrix, u.T)


@pytest.mark.parametrize("matrix, message", [
    (np.eye(3, dtype=complex), "Matrix must have a number of rows that is a power of two"),
    (np.zeros((0, 0), dtype=complex), "Matrix must have a number of rows that is a power of two"),
    (np.zeros((4, 2), dtype=complex), "Matrix must be squared"),
    (np.zeros((2, 4), dtype=complex), "Matrix must be squared"),
    # broadcast views claim more entries than memory could hold
    (np.broadcast_to(np.complex128(1), (3, 2**40)), "Matrix must have a number of rows that is a power of two"),
    (np.broadcast_to(np.complex128(1), (2, 2**40)), "Matrix must be squared"),
])
def test_registration_errors(matrix, message):
    with pytest.raises(BaseException) as e:
        Gate("bad", [], matrix)
    assert not isinstance(e.value, Exception)
    assert str(e.value) == message


@pytest.mark.parametrize("matrix", [
    np.eye(2), [[1, 0], [0, 1]], [[1.0, 0.0], [0.0, 1.0]], np.eye(2, dtype=np.complex64),
    np.zeros((2, 2, 2), dtype=complex), "xx", None, np.eye(2, dtype=">c16"),
])
def test_matrix_type_refusal(matrix):
    with pytest.raises(TypeError) as e:
        Gate("bad", [], matrix)
    assert str(e.value).startswith("argument 'matrix': ")


def test_negative_stride_is_refused_cleanly():
    with pytest.raises(BaseException) as e:
        Gate("neg", [], np.eye(2, dtype=complex)[::-1])
    assert not isinstance(e.value, Exception)


def test_nested_complex_list_is_accepted():
    assert Gate("y_list", [], [[0, -1j], [1j, 0]]) == g("y")


def test_properties_are_read_only():
    h = g("h")
    for attr in ["name", "params", "matrix", "nqargs"]:
        with pytest.raises(AttributeError) as e:
            delattr(h, attr)
        assert str(e.value) == "can't delete attribute"
        with pytest.raises(AttributeError):
            setattr(h, attr, 1)


def test_docs():
    assert Gate.__doc__ == "Parameterized quantum gate definition used by both search and Python APIs."
    assert Gate.from_name.__text_signature__ == "(name)"
    assert Gate.adjoint.__text_signature__ == "($self)"
    assert Gate.adjoint.__doc__ == "Returns the adjoint (inverse) gate."
    assert Gate.nqargs.__doc__ == "Number of qubit arguments required by this gate."


def test_registry_refuses_the_65537th_gate():
    code = (
        "import numpy as np\nfrom larkspan import Gate\n"
        "n = 23\n"
        "k = 1\n"
        "while True:\n"
        "    k += 1\n"
        "    try:\n"
        "        g = Gate('g', [], np.array([[1, 0], [0, complex(k, 0)]]))\n"
        "    except BaseException as e:\n"
        "        print(n, isinstance(e, Exception), e)\n"
        "        break\n"
        "    n += 1\n"
        "print(Gate.from_name('h').adjoint() == Gate.from_name('h'))\n"
        "print(Gate('again', [], np.array([[1, 0], [0, 5 + 0j]])).name)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    count, is_exc, msg = lines[0].split(" ", 2)
    assert count == "65536" and is_exc == "False" and "65536" in msg
    assert lines[1] == "True" and lines[2] == "g"
