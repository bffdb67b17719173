"""State vectors: construction, gate kernels, normalisation, fingerprint, text form."""
import cmath
import math
import struct

import numpy as np
import pytest

from larkspan import Gate, Instr, StateVec

R = 0.7071067811865476
FAST = ["h", "x", "z", "s", "sdg", "t", "tdg", "cx", "swap"]
BUILTIN_NAMES = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg",
                 "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)",
                 "rz(pi/16)", "rz(-pi/16)"]


def g(name):
    return Gate.from_name(name)


def amps(sv):
    return np.array([sv[i] for i in range(sv.len())], dtype=complex)


def from_np(psi):
    return StateVec([float(x) for x in psi.real], [float(x) for x in psi.imag])


def fatal(excinfo):
    assert not isinstance(excinfo.value, Exception)
    return str(excinfo.value)


def apply_np(psi, m, qargs):
    """Reference application: qargs[0] is the most significant bit of the matrix index."""
    k = len(qargs)
    mask = sum(1 << q for q in qargs)
    out = np.zeros_like(psi)
    for i, a in enumerate(psi):
        col = sum(((i >> q) & 1) << (k - 1 - t) for t, q in enumerate(qargs))
        for row in range(1 << k):
            j = (i & ~mask) | sum(((row >> (k - 1 - t)) & 1) << q for t, q in enumerate(qargs))
            out[j] += m[row, col] * a
    return out


def placements(nqubits, k):
    if k == 1:
        return [[q] for q in range(nqubits)]
    return [[a, b] for a in range(nqubits) for b in range(nqubits) if a != b]


def random_np(n, rng):
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return v / np.linalg.norm(v)


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize("re, n", [([1.0], 0), ([1.0, 0.0], 1), ([0.5] * 4, 2), ([0.0] * 32, 5)])
def test_constructor_sizes(re, n):
    sv = StateVec(re, [0.0] * len(re))
    assert (sv.nqubits(), sv.len()) == (n, len(re))
    assert amps(sv).tolist() == [complex(x) for x in re]


@pytest.mark.parametrize("re, im, message", [
    ([1.0, 0.0, 0.0], [0.0, 0.0, 0.0], "Length must be a power of 2"),
    ([], [], "Length must be a power of 2"),
])
def test_constructor_refuses_non_power_of_two(re, im, message):
    with pytest.raises(BaseException) as e:
        StateVec(re, im)
    assert fatal(e) == message


def test_constructor_refuses_unequal_lengths():
    with pytest.raises(BaseException) as e:
        StateVec([1.0, 0.0], [0.0])
    msg = fatal(e)
    assert "Real and imaginary parts must have the same length" in msg
    assert "2" in msg and "1" in msg


def test_constructor_conversions():
    assert StateVec((1, 0), [0, 0.5])[1] == 0.5j  # any sequence, ints accepted
    with pytest.raises(TypeError, match="^argument 're': "):
        StateVec("10", [0.0, 0.0])
    with pytest.raises(TypeError, match="^argument 'im': "):
        StateVec([1.0, 0.0], [0.0, "x"])
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'im'"):
        StateVec([1.0])


@pytest.mark.parametrize("n", [0, 1, 3, 6])
def test_random_states_are_normalised_and_phase_canonical(n):
    a, b = StateVec.random(n), StateVec.random(num_qubits=n)
    for sv in (a, b):
        assert sv.len() == 1 << n and sv.check()
        assert sv[0].imag == 0.0 and sv[0].real > 0
    if n > 0:
        assert a != b  # fresh OS entropy per call


@pytest.mark.parametrize("n", [1, 2, 4, 5])
def test_random_symmetric_depends_only_on_popcount(n):
    sv = StateVec.random_symmetric(n)
    assert sv.check()
    v = amps(sv)
    by_weight = {}
    for i, a in enumerate(v):
        by_weight.setdefault(bin(i).count("1"), set()).add(a)
    assert all(len(s) == 1 for s in by_weight.values())
    assert len(set(by_weight[w].pop() for w in by_weight)) == n + 1


@pytest.mark.parametrize("make", [StateVec.random, StateVec.random_symmetric])
def test_random_refuses_too_many_qubits(make):
    with pytest.raises(BaseException) as e:
        make(32)
    assert fatal(e) == "Number of qubits too large, resulting in overflow for state vector size."
    with pytest.raises(OverflowError):
        make(-1)


def test_random_refuses_sizes_beyond_physical_memory():
    import os
    if os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") >= (1 << 31) * 16:
        pytest.skip("machine could hold 2^31 amplitudes")
    with pytest.raises(MemoryError):
        StateVec.random(31)


# ---------------------------------------------------------------- gates


def test_kernel_examples():
    sv = StateVec([1.0, 0.0], [0.0, 0.0])
    sv *= Instr(g("h"), [0])
    assert str(sv) == "[0.7071, 0.7071]"
    sv = StateVec([1.0, 0, 0, 0], [0.0] * 4)
    sv *= Instr(g("x"), [1])
    assert amps(sv).tolist() == [0, 0, 1, 0]
    sv = StateVec([0, 1.0, 0, 0], [0.0] * 4)
    sv *= Instr(g("cx"), [0, 1])
    assert amps(sv).tolist() == [0, 0, 0, 1]
    sv = StateVec([0, 1.0, 0, 0], [0.0] * 4)
    sv *= Instr(g("cx"), [1, 0])
    assert amps(sv).tolist() == [0, 1, 0, 0]


@pytest.mark.parametrize("name", BUILTIN_NAMES)
def test_every_builtin_gate_matches_numpy_at_every_placement(name):
    gate = g(name)
    m = gate.matrix
    rng = np.random.default_rng(7)
    for qargs in placements(4, gate.nqargs):
        psi = random_np(4, rng)
        sv = from_np(psi)
        sv *= Instr(gate, qargs)
        assert np.allclose(amps(sv), apply_np(psi, m, qargs), atol=1e-14, rtol=0), qargs


@pytest.mark.parametrize("name", FAST)
def test_dense_path_agrees_with_fast_kernel(name):
    # The same matrix times a global phase is a different gate, so it takes the
    # dense path; the results must differ by exactly that phase.
    phase = cmath.exp(0.3j)
    dense = Gate(f"{name}-dense", [], np.asarray(g(name).matrix * phase))
    assert dense != g(name)
    rng = np.random.default_rng(11)
    for qargs in placements(4, g(name).nqargs):
        psi = random_np(4, rng)
        fast, slow = from_np(psi), from_np(psi)
        fast *= Instr(g(name), qargs)
        slow *= Instr(dense, qargs)
        assert np.allclose(amps(fast) * phase, amps(slow), atol=1e-14, rtol=0), qargs


@pytest.mark.parametrize("k", [1, 2])
def test_dense_path_on_random_unitaries(k):
    rng = np.random.default_rng(5 + k)
    z = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    u, _ = np.linalg.qr(z)
    gate = Gate(f"haar{k}", [], u)
    for qargs in placements(3, k):
        psi = random_np(3, rng)
        sv = from_np(psi)
        sv *= Instr(gate, qargs)
        assert np.allclose(amps(sv), apply_np(psi, u, qargs), atol=1e-14, rtol=0), qargs


@pytest.mark.parametrize("name, qargs, index", [
    ("h", [2], 4), ("cx", [0, 5], 32), ("swap", [3, 1], 8), ("y", [2], 4), ("cz", [1, 7], 128),
])
def test_qubit_out_of_range_is_fatal_and_leaves_state(name, qargs, index):
    sv = StateVec.random(2)
    before = amps(sv)
    with pytest.raises(BaseException) as e:
        sv *= Instr(g(name), qargs)
    assert fatal(e) == f"index out of bounds: the len is 4 but the index is {index}"
    assert np.array_equal(amps(sv), before)


def test_zero_qubit_gate_is_refused():
    scalar = Gate("global-phase-0q", [], np.array([[1j]]))
    sv = StateVec.random(1)
    with pytest.raises(BaseException) as e:
        sv *= Instr(scalar, [])
    assert fatal(e) == "Unsupported number of qubits: 0"


def test_imul_returns_same_object_and_refuses_other_operands():
    sv = StateVec.random(1)
    alias = sv
    sv *= Instr(g("x"), [0])
    assert sv is alias
    with pytest.raises(TypeError):
        sv *= 2
    with pytest.raises(TypeError):
        sv *= g("x")


# ---------------------------------------------------------------- normalisation


@pytest.mark.parametrize("re, im, expected", [
    ([0.0, 0.8], [0.6, 0.0], [0.6, -0.8j]),  # reference: element 0
    ([0.0, 0.0], [0.0, 0.6], [0.0, 0.6]),  # element 0 near zero: the last one
    ([0, 0.6, 0, 0], [0, 0, 0.8, 0], [0, 0.36 - 0.48j, 0.64 + 0.48j, 0]),  # both: the sum
    ([0, 0.0, 0.0, 0], [0, 0.6, -0.6, 0], [0, 0.6, -0.6, 0]),  # sum cancels: first non-zero one
    ([0.0, 0.0], [0.0, 0.0], [0.0, 0.0]),  # nothing to turn: left alone, no NaN
])
def test_normalize_arg(re, im, expected):
    sv = StateVec(re, im)
    sv.normalize_arg()
    got = amps(sv)
    assert np.allclose(got, expected, atol=1e-15, rtol=0)
    assert got[0].imag == 0.0  # set exactly


def test_normalize_arg_removes_any_global_phase():
    rng = np.random.default_rng(3)
    psi = random_np(3, rng)
    ref = from_np(psi)
    ref.normalize_arg()
    for phi in [0.1, 1.0, 2.5, -3.0]:
        sv = from_np(psi * cmath.exp(1j * phi))
        sv.normalize_arg()
        assert sv == ref and sv.hash_value() == ref.hash_value()


def test_normalize_matches_numpy():
    rng = np.random.default_rng(4)
    psi = (rng.normal(size=8) + 1j * rng.normal(size=8)) * 7.0
    sv = from_np(psi)
    assert not sv.check()
    assert sv.normalize() is None
    assert sv.check()
    want = psi / np.linalg.norm(psi) * (abs(psi[0]) / psi[0])
    assert np.allclose(amps(sv), want, atol=1e-15, rtol=0)


@pytest.mark.parametrize("scale", [0.0, 1e-170, 1e-320, 1e170])
def test_normalize_of_degenerate_norms(scale):
    sv = StateVec([scale, 0.0, scale, 0.0], [0.0, 0.0, 0.0, scale])
    sv.normalize()
    got = amps(sv)
    assert np.all(np.isfinite(got.real)) and np.all(np.isfinite(got.imag))
    assert sv.check()
    if scale == 0.0:
        assert got.tolist() == [1, 0, 0, 0]  # the |0...0> state
    else:
        assert np.allclose(got, [1 / math.sqrt(3), 0, 1 / math.sqrt(3), 1j / math.sqrt(3)], atol=1e-15)


def test_check():
    assert StateVec([R, R], [0.0, 0.0]).check()
    assert StateVec([1.0, 0.0], [0.0, 1e-9]).check()  # within 2^-24
    assert not StateVec([1.0, 0.0], [0.0, 1e-3]).check()
    assert not StateVec([0.0, 0.0], [0.0, 0.0]).check()


# ---------------------------------------------------------------- fingerprint and equality


def _siphash13(data):
    mask = (1 << 64) - 1

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & mask

    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & mask; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & mask; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & mask; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & mask; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    tail = len(data) % 8
    for off in range(0, len(data) - tail, 8):
        m = int.from_bytes(data[off:off + 8], "little")
        v[3] ^= m
        rnd()
        v[0] ^= m
    b = ((len(data) & 0xFF) << 56) | int.from_bytes(data[len(data) - tail:], "little")
    v[3] ^= b
    rnd()
    v[0] ^= b
    v[2] ^= 0xFF
    rnd(); rnd(); rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def _grid(x):
    y = x * 16777216.0
    if math.isnan(y):
        return 0
    r = y if abs(y) >= 2.0 ** 52 else math.copysign(math.floor(abs(y) + 0.5), y)
    return int(max(min(r, 2.0 ** 63 - 1024), -2.0 ** 63))


def test_hash_value_is_siphash_of_the_grid_values():
    sv = StateVec([0.25, -0.5, 1e-9, 3.0], [0.0, -0.0, 0.125, -1e300])
    feed = struct.pack("<I", 4) + struct.pack("<4q", *[_grid(x) for x in [0.25, -0.5, 1e-9, 3.0]])
    feed += struct.pack("<I", 4) + struct.pack("<4q", *[_grid(x) for x in [0.0, -0.0, 0.125, -1e300]])
    assert sv.hash_value() == _siphash13(feed)
    assert 0 <= sv.hash_value() < 2 ** 64


def test_tolerant_equality_and_hash():
    quarter, eps = 0.25, 2.0 ** -30
    a, b = StateVec([quarter, 0.0], [0.0, 0.0]), StateVec([quarter + eps, 0.0], [0.0, 0.0])
    assert a == b and a.hash_value() == b.hash_value()
    lo, hi = 2.0 ** -25 - 2.0 ** -40, 2.0 ** -25  # quantise to 0 and 1
    a, b = StateVec([lo, 0.0], [0.0, 0.0]), StateVec([hi, 0.0], [0.0, 0.0])
    assert a != b and a.hash_value() != b.hash_value()
    one = StateVec([1.0], [0.0])
    assert one == StateVec([1.0 + 2.0 ** -26], [0.0])
    assert one != StateVec([1.0 + 2.0 ** -24], [0.0])
    zero = StateVec([0.0], [0.0])
    for same in ([-0.0], [math.nan]):
        other = StateVec(same, [0.0])
        assert other == zero and other.hash_value() == zero.hash_value()


def test_comparison_protocol():
    a = StateVec.random(2)
    c = a.clone()
    assert c is not a and c == a and not (c != a) and c.hash_value() == a.hash_value()
    c[0] = 0.0
    assert c != a  # deep copy
    assert a != StateVec([1.0, 0.0], [0.0, 0.0])  # different lengths
    assert (a == 1) is False and a != "x"
    with pytest.raises(TypeError):
        a < c
    with pytest.raises(TypeError):
        hash(a)  # mutable value: unhashable


# ---------------------------------------------------------------- items and text


def test_getitem_setitem():
    sv = StateVec([1.0, 0.0], [0.0, 0.0])
    sv[1] = 2
    sv[0] = 0.5
    assert sv[1] == 2 and sv[0] == 0.5
    sv[1] = -1.5 + 0.25j
    assert sv[1] == complex(-1.5, 0.25) and type(sv[1]) is complex
    with pytest.raises(BaseException) as e:
        sv[2]
    assert fatal(e) == "index out of bounds: the len is 2 but the index is 2"
    with pytest.raises(BaseException) as e:
        sv[2] = 1.0
    assert "index out of bounds" in fatal(e)
    with pytest.raises(OverflowError):
        sv[-1]
    with pytest.raises(TypeError):
        sv["0"]
    with pytest.raises(TypeError):
        sv[0] = "1"
    with pytest.raises(NotImplementedError, match="can't delete item"):
        del sv[0]
    assert amps(sv).tolist() == [0.5, complex(-1.5, 0.25)]


@pytest.mark.parametrize("re, im, text", [
    ([1.0, 0.0], [0.0, 1.0], "[1.0000, 1.0000j]"),
    ([R, 0.0, 0.5, 0.0], [0.0, R, -0.5, 0.0], "[0.7071, 0.7071j, 0.5000-0.5000j, 0.0000]"),
    ([0.25, -0.0, 3.0, 1e-9], [1e-9, 0.0, 0.125, -1e-9], "[0.2500, -0.0000, 3.0000+0.1250j, 0.0000]"),
    ([0.00004, 1.0], [0.5, -0.00004], "[0.0000+0.5000j, 1.0000-0.0000j]"),
    ([1e-8], [-2.0], "[-2.0000j]"),
    ([1.0, 1.0], [5.9e-08, 6.0e-08], "[1.0000, 1.0000+0.0000j]"),  # near zero is |x| < 2^-24
    ([math.nan, math.inf, 0.5, 0.0], [0.0, -math.inf, math.nan, 0.0], "[NaN, inf-infj, 0.5000+NaNj, 0.0000]"),
])
def test_text_form(re, im, text):
    assert str(StateVec(re, im)) == text


def test_docs_and_signatures():
    assert StateVec.__text_signature__ == "(re, im)"
    assert StateVec.__doc__ == "Complex state vector used for randomized circuit evaluation."
    assert StateVec.random.__text_signature__ == "(num_qubits)"
    assert StateVec.random_symmetric.__doc__ == "Creates a random state tailored for symmetry-aware evaluator use."
    assert StateVec.len.__doc__ == "Returns vector length (`2^nqubits`)."
    assert StateVec.hash_value.__text_signature__ == "($self)"
    assert StateVec.normalize.__doc__.startswith("Normalizes the state vector in place.\n\nNormalization ensures")
    assert StateVec.normalize.__doc__.endswith("If the vector has zero length, this function does nothing.")
    with pytest.raises(TypeError):
        type("Sub", (StateVec,), {})
