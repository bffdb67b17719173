"""The evaluator: circuit keys invariant under qubit relabelling and global phase."""
import cmath
import itertools
import random

import numpy as np
import pytest

from larkspan import Evaluator, Gate, Instr, StateVec

GATES_1Q = ["h", "x", "z", "s", "sdg", "t", "tdg", "y", "rz(pi/5)", "t1/2"]
GATES_2Q = ["cx", "cz", "swap", "cy", "cs"]


def g(name):
    return Gate.from_name(name)


def fatal(excinfo):
    assert not isinstance(excinfo.value, Exception)
    return str(excinfo.value)


def amps(sv):
    return np.array([sv[i] for i in range(sv.len())], dtype=complex)


def key(ev, circ):
    return ev.evaluate(circ)[0].hash_value()


def random_circuit(rng, n, length, one_q=GATES_1Q, two_q=GATES_2Q):
    circ = []
    for _ in range(length):
        if n >= 2 and rng.random() < 0.4:
            a, b = rng.sample(range(n), 2)
            circ.append(Instr(g(rng.choice(two_q)), [a, b]))
        else:
            circ.append(Instr(g(rng.choice(one_q)), [rng.randrange(n)]))
    return circ


def relabel(circ, perm):
    return [i.apply_permutation(perm) for i in circ]


def swaps_for(perm):
    """SWAP gates whose product moves qubit k to perm[k]."""
    cur, out = list(range(len(perm))), []
    for k in range(len(perm)):
        j = cur.index(perm[k])
        if j != k:
            cur[j], cur[k] = cur[k], cur[j]
            out.append(Instr(g("swap"), [j, k]))
    return out[::-1]


def gate_matrix(instr, n):
    """Full 2^n unitary of one instruction; qargs[0] is the most significant local bit."""
    m = instr.gate.matrix
    qs = list(instr.qargs)
    k = len(qs)
    mask = sum(1 << q for q in qs)
    u = np.zeros((1 << n, 1 << n), dtype=complex)
    for i in range(1 << n):
        col = sum(((i >> q) & 1) << (k - 1 - t) for t, q in enumerate(qs))
        for row in range(1 << k):
            j = (i & ~mask) | sum(((row >> (k - 1 - t)) & 1) << q for t, q in enumerate(qs))
            u[j, i] += m[row, col]
    return u


def unitary(circ, n):
    u = np.eye(1 << n, dtype=complex)
    for instr in circ:
        u = gate_matrix(instr, n) @ u
    return u


def perm_matrix(perm):
    """The relabelling that moves qubit k to perm[k] (amplitude i to its image)."""
    n = len(perm)
    p = np.zeros((1 << n, 1 << n))
    for i in range(1 << n):
        j = sum(((i >> k) & 1) << perm[k] for k in range(n))
        p[j, i] = 1
    return p


def same_up_to_phase(a, b, atol=1e-9):
    k = int(np.argmax(np.abs(a)))
    if abs(a[k]) < 1e-6:
        return False
    ph = b[k] / a[k]
    return abs(abs(ph) - 1) < atol and np.allclose(a * ph, b, atol=atol, rtol=0)


@pytest.fixture(scope="module")
def ev3():
    return Evaluator(3)


# ---------------------------------------------------------------- construction and basics


def test_class_surface():
    assert Evaluator.__text_signature__ == "(nqubits)"
    assert Evaluator.__doc__ == "Randomized evaluator used to hash circuits and recover permutation metadata."
    assert Evaluator.evaluate.__text_signature__ == "($self, instrs)"
    assert Evaluator.initial_key.__doc__ == "Hash key for the empty circuit under this evaluator."
    assert Evaluator.nqubits.__doc__ == "Returns evaluator qubit count."
    ev = Evaluator(nqubits=2)
    assert ev.nqubits() == 2
    assert not hasattr(ev, "initial_state") and not hasattr(ev, "__dict__")


def test_equality():
    a, b = Evaluator(2), Evaluator(2)
    assert a == a and not (a != a)
    assert a != b and not (a == b)
    assert (a == 2) is False
    with pytest.raises(TypeError):
        a < b


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 5])
def test_empty_circuit(n):
    ev = Evaluator(n)
    state, front, back, fwd = ev.evaluate([])
    assert front == back == tuple(range(n))
    assert ev.initial_key() == state.hash_value()
    assert isinstance(state, StateVec) and isinstance(fwd, StateVec)
    assert state.len() == fwd.len() == 1 << n and state.check() and fwd.check()
    # The forward state is the symmetric initial state: it depends only on popcount.
    v = amps(fwd)
    for i in range(1 << n):
        assert v[i] == v[(1 << bin(i).count("1")) - 1]
    assert ev.evaluate([]) [0] == state  # deterministic


def test_keys_differ_between_evaluators():
    assert Evaluator(3).initial_key() != Evaluator(3).initial_key()


@pytest.mark.parametrize("n", [6, 7, 8])
def test_six_to_eight_qubits(n):
    ev = Evaluator(n)
    state, front, back, _ = ev.evaluate([])
    assert front == back == tuple(range(n)) and ev.initial_key() == state.hash_value()
    rng = random.Random(n)
    circ = random_circuit(rng, n, 6)
    perm = tuple(rng.sample(range(n), n))
    assert key(ev, circ) == key(ev, relabel(circ, perm)) != ev.initial_key()


def test_more_than_eight_qubits_is_refused():
    with pytest.raises(BaseException) as e:
        Evaluator(9)
    assert fatal(e) == "Evaluator supports at most 8 qubits, got 9"
    with pytest.raises(BaseException) as e:
        Evaluator(40)
    assert "at most 8 qubits" in fatal(e)
    with pytest.raises(OverflowError):
        Evaluator(-1)
    with pytest.raises(OverflowError):
        Evaluator(2 ** 32)


def test_argument_errors(ev3):
    with pytest.raises(TypeError, match="^argument 'instrs': "):
        ev3.evaluate("h")
    with pytest.raises(TypeError, match="^argument 'instrs': "):
        ev3.evaluate([Instr(g("h"), [0]), g("h")])
    with pytest.raises(TypeError, match="^argument 'nqubits': "):
        Evaluator("3")
    with pytest.raises(BaseException) as e:
        ev3.evaluate([Instr(g("h"), [0]), Instr(g("cx"), [1, 3])])
    assert fatal(e) == "index out of bounds: the len is 8 but the index is 8"


# ---------------------------------------------------------------- keys


def test_documented_identities(ev3):
    h, x, z, s, t = (g(n) for n in ["h", "x", "z", "s", "t"])
    empty = ev3.initial_key()
    assert key(ev3, [Instr(h, [0]), Instr(h, [0])]) == empty
    assert key(ev3, [Instr(z, [0]), Instr(z, [0])]) == empty
    assert key(ev3, [Instr(s, [0]), Instr(s, [0]), Instr(z, [0])]) == empty
    assert key(ev3, [Instr(x, [0]), Instr(z, [0]), Instr(x, [0]), Instr(z, [0])]) == empty  # -I
    assert key(ev3, [Instr(x, [0])]) == key(ev3, [Instr(x, [1])]) == key(ev3, [Instr(x, [2])])
    assert key(ev3, [Instr(g("cx"), [0, 1])]) == key(ev3, [Instr(g("cx"), [1, 0])])
    assert key(ev3, [Instr(t, [0])]) != key(ev3, [Instr(s, [0])])
    assert key(ev3, [Instr(s, [0])]) == key(ev3, [Instr(t, [0]), Instr(t, [0])])


@pytest.mark.parametrize("n", [2, 3, 4, 5])
def test_key_invariant_under_relabelling_and_phase(n):
    ev = Evaluator(n)
    rng = random.Random(100 + n)
    phase = Gate("phase-0.7", [], np.eye(2) * cmath.exp(0.7j))
    for _ in range(8):
        circ = random_circuit(rng, n, rng.randrange(1, 7))
        k = key(ev, circ)
        before = tuple(rng.sample(range(n), n))
        after = tuple(rng.sample(range(n), n))
        assert key(ev, relabel(circ, before)) == k
        assert key(ev, swaps_for(before) + circ) == k
        assert key(ev, circ + swaps_for(after)) == k
        assert key(ev, swaps_for(before) + relabel(circ, after) + swaps_for(after)) == k
        spot = rng.randrange(len(circ) + 1)
        assert key(ev, circ[:spot] + [Instr(phase, [rng.randrange(n)])] + circ[spot:]) == k


def test_keys_separate_exactly_the_inequivalent_circuits(ev3):
    # Ground truth from NumPy: U1 = phase * P U2 Q for some relabellings P, Q.
    n = 3
    rng = random.Random(2024)
    circuits = []
    for _ in range(24):
        c = random_circuit(rng, n, rng.randrange(1, 5), ["h", "x", "s", "t", "z"], ["cx", "swap", "cz"])
        circuits.append(c)
        if rng.random() < 0.4:  # plant equivalent variants
            circuits.append(relabel(c, tuple(rng.sample(range(n), n))) + swaps_for(tuple(rng.sample(range(n), n))))
    perms = [perm_matrix(p) for p in itertools.permutations(range(n))]
    us = [unitary(c, n) for c in circuits]
    variants = [[p @ u @ q for p in perms for q in perms] for u in us]
    keys = [key(ev3, c) for c in circuits]
    equal_pairs = 0
    for i, j in itertools.combinations(range(len(circuits)), 2):
        equivalent = any(abs(np.trace(us[i].conj().T @ v)) > 8 - 1e-9 for v in variants[j])
        assert (keys[i] == keys[j]) == equivalent, (circuits[i], circuits[j])
        equal_pairs += equivalent
    assert equal_pairs >= 5


# ---------------------------------------------------------------- permutations and forward state


@pytest.mark.parametrize("n", [2, 3, 4])
def test_front_and_back_relate_every_circuit_to_the_backtrack_state(n):
    # The fingerprint S of a circuit C with pairs (front, back) satisfies
    # P_back C P_front S = B (up to phase) for the evaluator's fixed
    # backtrack state B, which is the empty circuit's fingerprint.
    ev = Evaluator(n)
    base = amps(ev.evaluate([])[0])
    rng = random.Random(7 * n)
    for _ in range(10):
        circ = random_circuit(rng, n, rng.randrange(1, 7))
        state, front, back, _ = ev.evaluate(circ)
        assert len(front) == len(back) == n
        t = perm_matrix(back) @ unitary(circ, n) @ perm_matrix(front) @ amps(state)
        assert same_up_to_phase(base, t), circ


@pytest.mark.parametrize("n", [2, 3, 5])
def test_forward_state_is_the_circuit_applied_to_the_initial_state(n):
    ev = Evaluator(n)
    initial = amps(ev.evaluate([])[3])
    rng = random.Random(n)
    circ = random_circuit(rng, n, 5)
    fwd = ev.evaluate(circ)[3]
    assert same_up_to_phase(unitary(circ, n) @ initial, amps(fwd))
    assert fwd[0].imag == 0.0


def test_repeated_evaluation_is_identical(ev3):
    circ = random_circuit(random.Random(1), 3, 6)
    a, b = ev3.evaluate(circ), ev3.evaluate(circ)
    assert a[1:3] == b[1:3]
    assert a[0] == b[0] and a[3] == b[3]
    assert amps(a[0]).tolist() == amps(b[0]).tolist()  # bit for bit
