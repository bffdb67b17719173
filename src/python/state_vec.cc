// Python class StateVec: a complex state vector that Python can build, fill,
// run instructions on, normalise and fingerprint.
#include "state/state_vec.h"

#include "python/classes.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"StateVec.__new__()", {"re", "im"}, 2};
const Sig RANDOM_SIG{"StateVec.random()", {"num_qubits"}, 1};
const Sig RANDOM_SYMMETRIC_SIG{"StateVec.random_symmetric()", {"num_qubits"}, 1};
const Sig NQUBITS_SIG{"StateVec.nqubits()", {}, 0};
const Sig LEN_SIG{"StateVec.len()", {}, 0};
const Sig NORMALIZE_SIG{"StateVec.normalize()", {}, 0};
const Sig NORMALIZE_ARG_SIG{"StateVec.normalize_arg()", {}, 0};
const Sig HASH_VALUE_SIG{"StateVec.hash_value()", {}, 0};
const Sig CLONE_SIG{"StateVec.clone()", {}, 0};
const Sig CHECK_SIG{"StateVec.check()", {}, 0};

Complex to_complex(PyObject *obj) {
    Py_complex c = PyComplex_AsCComplex(obj);
    if (c.real == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return {c.real, c.imag};
}

PyObject *sv_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        auto re = arg("re", [&] { return to_list(a[0], to_f64); });
        auto im = arg("im", [&] { return to_list(a[1], to_f64); });
        return wrap(StateVec::from_parts(std::move(re), std::move(im)));
    });
}

template <StateVec (*Make)(Rng &, size_t)>
PyObject *sv_random_impl(const Sig &sig, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(sig, args, kwargs);
        size_t n = arg("num_qubits", [&] { return to_usize(a[0]); });
        Rng rng = Rng::from_os();
        return wrap(Make(rng, n));
    });
}

PyObject *sv_random(PyObject *, PyObject *args, PyObject *kwargs) {
    return sv_random_impl<&StateVec::from_random>(RANDOM_SIG, args, kwargs);
}

PyObject *sv_random_symmetric(PyObject *, PyObject *args, PyObject *kwargs) {
    return sv_random_impl<&StateVec::from_random_symmetric>(RANDOM_SYMMETRIC_SIG, args, kwargs);
}

PyObject *sv_nqubits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(NQUBITS_SIG, args, kwargs);
        Ref<StateVec> s(self);
        return to_py_uint(s->nqubits());
    });
}

PyObject *sv_len(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(LEN_SIG, args, kwargs);
        Ref<StateVec> s(self);
        return to_py_uint(s->len());
    });
}

PyObject *sv_normalize(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(NORMALIZE_SIG, args, kwargs);
        RefMut<StateVec> s(self);
        s->normalize();
        return none();
    });
}

PyObject *sv_normalize_arg(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(NORMALIZE_ARG_SIG, args, kwargs);
        RefMut<StateVec> s(self);
        s->normalize_arg();  // fails only for a length-0 vector, before changing anything
        return none();
    });
}

PyObject *sv_hash_value(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(HASH_VALUE_SIG, args, kwargs);
        Ref<StateVec> s(self);
        return to_py_uint(s->hash_value());
    });
}

PyObject *sv_clone(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(CLONE_SIG, args, kwargs);
        Ref<StateVec> s(self);
        return wrap(s->clone());
    });
}

PyObject *sv_check(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(CHECK_SIG, args, kwargs);
        Ref<StateVec> s(self);
        return to_py(s->check());
    });
}

PyObject *sv_getitem(PyObject *self, PyObject *key) {
    return guard([&] {
        Ref<StateVec> s(self);
        size_t i = arg("index", [&] { return to_usize(key); });
        Complex c = s->at(i);
        return check(PyComplex_FromDoubles(c.real(), c.imag()));
    });
}

int sv_setitem(PyObject *self, PyObject *key, PyObject *value) {
    return guard_int([&] {
        if (!value) raise(PyExc_NotImplementedError, "can't delete item");
        RefMut<StateVec> s(self);
        size_t i = arg("index", [&] { return to_usize(key); });
        Complex c = arg("value", [&] { return to_complex(value); });
        s->set(i, c);
        return 0;
    });
}

// `state *= instr` applies one instruction in place.
PyObject *sv_imul(PyObject *self, PyObject *other) {
    if (!is_instance<StateVec>(self) || !is_instance<Instr32>(other)) return not_implemented();
    return guard([&] {
        RefMut<StateVec> s(self);
        Instr32 instr = extract<Instr32>(other);
        // Kernels check their arguments before touching the amplitudes, so a
        // failed application leaves the state unchanged.
        s->apply(instr);
        return Py_NewRef(self);
    });
}

PyObject *sv_str(PyObject *self) {
    return guard([&] {
        Ref<StateVec> s(self);
        return to_py(s->str());
    });
}

PyObject *sv_richcmp(PyObject *self, PyObject *other, int op) {
    auto *head = reinterpret_cast<BoxHead *>(self);
    if (head->borrow < 0 || !is_eq_op(op) || !is_instance<StateVec>(other)) return not_implemented();
    return guard([&] {
        Ref<StateVec> a(self);
        Ref<StateVec> b(other);
        bool eq = *a == *b;
        return to_py(eq == (op == Py_EQ));
    });
}

#define LARKSPAN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fn))

PyMethodDef METHODS[] = {
    {"random", LARKSPAN_METHOD(sv_random), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "random(num_qubits)\n--\n\nCreates a random normalized state."},
    {"random_symmetric", LARKSPAN_METHOD(sv_random_symmetric), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "random_symmetric(num_qubits)\n--\n\nCreates a random state tailored for symmetry-aware evaluator use."},
    {"nqubits", LARKSPAN_METHOD(sv_nqubits), METH_VARARGS | METH_KEYWORDS,
     "nqubits($self)\n--\n\nReturns qubit count."},
    {"len", LARKSPAN_METHOD(sv_len), METH_VARARGS | METH_KEYWORDS,
     "len($self)\n--\n\nReturns vector length (`2^nqubits`)."},
    {"normalize", LARKSPAN_METHOD(sv_normalize), METH_VARARGS | METH_KEYWORDS,
     "normalize($self)\n--\n\nNormalizes the state vector in place.\n\nNormalization ensures two conditions:\n"
     "1. Amplitude Normalization: The sum of the squares of the absolute values of\n"
     "   the complex amplitudes is 1 (i.e., `sum(|psi_i|^2) = 1`).\n"
     "2. Phase Normalization: The first non-zero element of the state vector\n"
     "   is made real and positive.\n\n"
     "If the vector is effectively all zeros initially (all amplitudes are very close to zero),\n"
     "it is normalized to the |0...0> state (i.e., the first element becomes 1.0 + 0.0i,\n"
     "and all other elements become 0.0 + 0.0i).\n"
     "If the vector has zero length, this function does nothing."},
    {"normalize_arg", LARKSPAN_METHOD(sv_normalize_arg), METH_VARARGS | METH_KEYWORDS,
     "normalize_arg($self)\n--\n\nCanonicalizes global phase for stable equality/hash comparison."},
    {"hash_value", LARKSPAN_METHOD(sv_hash_value), METH_VARARGS | METH_KEYWORDS,
     "hash_value($self)\n--\n\nHashes the current normalized state."},
    {"clone", LARKSPAN_METHOD(sv_clone), METH_VARARGS | METH_KEYWORDS,
     "clone($self)\n--\n\nReturns a deep copy."},
    {"check", LARKSPAN_METHOD(sv_check), METH_VARARGS | METH_KEYWORDS,
     "check($self)\n--\n\nChecks unit-norm invariant."},
    {nullptr, nullptr, 0, nullptr},
};

#undef LARKSPAN_METHOD

}  // namespace

PyTypeObject *create_state_vec_type() {
    return register_class<StateVec>({
        "StateVec",
        "StateVec(re, im)\n--\n\nComplex state vector used for randomized circuit evaluation.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&sv_new)},
            {Py_tp_methods, METHODS},
            {Py_tp_str, reinterpret_cast<void *>(&sv_str)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&sv_richcmp)},
            {Py_mp_subscript, reinterpret_cast<void *>(&sv_getitem)},
            {Py_mp_ass_subscript, reinterpret_cast<void *>(&sv_setitem)},
            {Py_nb_inplace_multiply, reinterpret_cast<void *>(&sv_imul)},
        },
    });
}

}  // namespace larkspan::py
