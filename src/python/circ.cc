// Python class Circ: an instruction list with a trailing qubit permutation,
// and its canonical forms.
#include "identity/circuit.h"

#include "identity/idcircuit.h"
#include "python/circ_common.h"
#include "python/permut.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"Circ.__new__()", {"instrs", "perm"}, 1};
const Sig NQUBITS_SIG{"Circ.nqubits()", {}, 0};
const Sig REPR_SIG{"Circ.representative()", {}, 0};
const Sig REPR_PERM_SIG{"Circ.representative_with_perm()", {}, 0};
const Sig ROT_REPR_SIG{"Circ.rotate_representative()", {}, 0};
const Sig PERMUT_SIG{"Circ.permut()", {"perm"}, 1};
const Sig REMOVE_SWAPS_SIG{"Circ.remove_swaps()", {}, 0};
const Sig INVERSE_SIG{"Circ.inverse()", {}, 0};
const Sig ROTATE_SIG{"Circ.rotate()", {"n"}, 1};
const Sig LEN_SIG{"Circ.len()", {}, 0};
const Sig IS_EMPTY_SIG{"Circ.is_empty()", {}, 0};
const Sig WITH_SWAPS_SIG{"Circ.instrs_with_swaps()", {}, 0};
const Sig COMPACT_SIG{"Circ._compact_qubits()", {}, 0};
const Sig REORDER_SIG{"Circ._reorder_instrs()", {}, 0};

// A circuit's permutation moves its qubits 0..n-1 among themselves. Values
// beyond the length (which the plain permutation form lets through) would
// make inverses, products and relabellings of the circuit meaningless.
Permut32 to_circ_permut(PyObject *obj) {
    Permut32 p = arg("perm", [&] { return to_permut(obj); });
    for (unsigned i = 0; i < p.len(); ++i)
        if (p.get(i) >= p.len())
            fatal("Permutation of length " + std::to_string(p.len()) + " must hold the values 0 to " +
                  std::to_string(p.len() - 1) + ", got " + p.str());
    return p;
}

PyObject *circ_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        auto instrs = arg("instrs", [&] { return to_list(a[0], extract<Instr32>); });
        if (!a[1] || a[1] == Py_None) return wrap(Circ::new_no_perm(std::move(instrs)));
        Permut32 p = to_circ_permut(a[1]);
        return wrap(Circ::make(std::move(instrs), p));
    });
}

// A method without arguments computing f(circ).
template <class F>
PyObject *nullary(const Sig &sig, PyObject *self, PyObject *args, PyObject *kwargs, F &&f) {
    return guard([&] {
        parse_args(sig, args, kwargs);
        Ref<Circ> me(self);
        return f(*me);
    });
}

PyObject *circ_nqubits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(NQUBITS_SIG, self, args, kwargs, [](const Circ &c) { return to_py_uint(c.nqubits()); });
}

PyObject *circ_representative(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(REPR_SIG, self, args, kwargs, [](const Circ &c) { return wrap(c.representative()); });
}

PyObject *circ_representative_with_perm(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(REPR_PERM_SIG, self, args, kwargs, [](const Circ &c) {
        auto [rep, p] = c.representative_with_perm();
        Obj r(wrap(std::move(rep)));
        Obj q(permut_to_py(p));
        return to_py_tuple({r.release(), q.release()});
    });
}

PyObject *circ_rotate_representative(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(ROT_REPR_SIG, self, args, kwargs, [](const Circ &c) { return wrap(c.rotate_representative()); });
}

PyObject *circ_permut(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(PERMUT_SIG, args, kwargs);
        Ref<Circ> me(self);
        Permut32 p = to_circ_permut(a[0]);
        return wrap(me->permut(p));
    });
}

PyObject *circ_remove_swaps(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(REMOVE_SWAPS_SIG, self, args, kwargs, [](const Circ &c) { return wrap(c.remove_swaps()); });
}

PyObject *circ_inverse(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(INVERSE_SIG, self, args, kwargs, [](const Circ &c) { return wrap(c.inverse()); });
}

PyObject *circ_rotate(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(ROTATE_SIG, args, kwargs);
        Ref<Circ> me(self);
        int64_t n = arg("n", [&] { return to_i64(a[0]); });
        return wrap(me->rotate(n));
    });
}

PyObject *circ_len_method(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(LEN_SIG, self, args, kwargs, [](const Circ &c) { return to_py_uint(c.len()); });
}

PyObject *circ_is_empty(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(IS_EMPTY_SIG, self, args, kwargs, [](const Circ &c) { return to_py(c.is_empty()); });
}

PyObject *circ_instrs_with_swaps(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(WITH_SWAPS_SIG, self, args, kwargs,
                   [](const Circ &c) { return instrs_to_py(c.instrs_with_swaps()); });
}

PyObject *circ_compact_qubits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(COMPACT_SIG, self, args, kwargs, [](const Circ &c) { return wrap(c.compact_qubits()); });
}

PyObject *circ_reorder_instrs(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(REORDER_SIG, self, args, kwargs, [](const Circ &c) { return wrap(c.reorder_instrs()); });
}

PyObject *get_instrs(PyObject *self, void *) {
    return guard([&] {
        Ref<Circ> me(self);
        return instrs_to_py(me->instrs);
    });
}

PyObject *get_perm(PyObject *self, void *) {
    return guard([&] {
        Ref<Circ> me(self);
        return permut_to_py(me->perm);
    });
}

PyObject *circ_str(PyObject *self) {
    return guard([&] {
        Ref<Circ> me(self);
        return to_py(me->str());
    });
}

PyObject *circ_repr(PyObject *self) {
    return guard([&] {
        Ref<Circ> me(self);
        return to_py(me->debug());
    });
}

Py_hash_t circ_hash(PyObject *self) {
    return guard_ssize([&] {
        Ref<Circ> me(self);
        return to_py_hash(me->hash_value());
    });
}

Py_ssize_t circ_len(PyObject *self) {
    return guard_ssize([&] {
        Ref<Circ> me(self);
        return static_cast<Py_ssize_t>(me->len());
    });
}

PyObject *circ_item(PyObject *self, Py_ssize_t idx) {
    return guard([&] {
        Ref<Circ> me(self);
        return wrap(cyclic_item(*me, idx));
    });
}

PyObject *circ_subscript(PyObject *self, PyObject *key) {
    return guard([&] {
        Ref<Circ> me(self);
        int64_t idx = arg("idx", [&] { return to_i64(key); });
        return wrap(cyclic_item(*me, idx));
    });
}

// Indexing wraps around and never ends, so iteration walks the instructions once.
PyObject *circ_iter(PyObject *self) {
    return guard([&] {
        Ref<Circ> me(self);
        Obj list(instrs_to_py(me->instrs));
        return check(PyObject_GetIter(list.get()));
    });
}

PyObject *circ_add(PyObject *a, PyObject *b) {
    if (!is_instance<Circ>(a) || !is_instance<Circ>(b)) return not_implemented();
    return guard([&] {
        Ref<Circ> x(a);
        Ref<Circ> y(b);
        return wrap(*x + *y);
    });
}

PyObject *circ_richcmp(PyObject *self, PyObject *other, int op) {
    return ordered_richcmp<Circ>(self, other, op, [](const Circ &c) -> const Circ & { return c; });
}

constexpr int KW = METH_VARARGS | METH_KEYWORDS;

PyMethodDef METHODS[] = {
    {"nqubits", method<circ_nqubits>(), KW, "nqubits($self)\n--\n\nNumber of qubits tracked by the permutation."},
    {"representative", method<circ_representative>(), KW,
     "representative($self)\n--\n\nReturns canonical circuit representative."},
    {"representative_with_perm", method<circ_representative_with_perm>(), KW,
     "representative_with_perm($self)\n--\n\nReturns `(representative, applied_perm)` used in canonicalization."},
    {"rotate_representative", method<circ_rotate_representative>(), KW,
     "rotate_representative($self)\n--\n\nReturns canonical identity representative across rotations/permutations."},
    {"permut", method<circ_permut>(), KW, "permut($self, perm)\n--\n\nApplies a qubit permutation to this circuit."},
    {"remove_swaps", method<circ_remove_swaps>(), KW,
     "remove_swaps($self)\n--\n\nRemoves explicit swap gates into the stored trailing permutation."},
    {"inverse", method<circ_inverse>(), KW, "inverse($self)\n--\n\nReturns inverse circuit."},
    {"rotate", method<circ_rotate>(), KW, "rotate($self, n)\n--\n\nCircularly rotates instruction order by `n`."},
    {"len", method<circ_len_method>(), KW, "len($self)\n--\n\nNumber of instructions."},
    {"is_empty", method<circ_is_empty>(), KW, "is_empty($self)\n--\n\nReturns whether the circuit is empty."},
    {"instrs_with_swaps", method<circ_instrs_with_swaps>(), KW,
     "instrs_with_swaps($self)\n--\n\nReturns instructions plus swaps needed for stored permutation."},
    {"_compact_qubits", method<circ_compact_qubits>(), KW,
     "_compact_qubits($self)\n--\n\nInternal: the circuit with its permutation shortened to the qubits that "
     "matter (a step of the canonical forms)."},
    {"_reorder_instrs", method<circ_reorder_instrs>(), KW,
     "_reorder_instrs($self)\n--\n\nInternal: commuting disjoint neighbours brought into instruction order "
     "(a step of the canonical forms)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"instrs", get_instrs, read_only_setter, nullptr, const_cast<char *>("instrs")},
    {"perm", get_perm, read_only_setter, nullptr, const_cast<char *>("perm")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_circ_type() {
    return register_class<Circ>({
        "Circ",
        "Circ(instrs, perm=None)\n--\n\nCircuit with an explicit trailing qubit permutation.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&circ_new)},
            {Py_tp_methods, METHODS},
            {Py_tp_getset, GETSET},
            {Py_tp_str, reinterpret_cast<void *>(&circ_str)},
            {Py_tp_repr, reinterpret_cast<void *>(&circ_repr)},
            {Py_tp_hash, reinterpret_cast<void *>(&circ_hash)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&circ_richcmp)},
            {Py_tp_iter, reinterpret_cast<void *>(&circ_iter)},
            {Py_sq_length, reinterpret_cast<void *>(&circ_len)},
            {Py_sq_item, reinterpret_cast<void *>(&circ_item)},
            {Py_mp_length, reinterpret_cast<void *>(&circ_len)},
            {Py_mp_subscript, reinterpret_cast<void *>(&circ_subscript)},
            {Py_nb_add, reinterpret_cast<void *>(&circ_add)},
        },
    });
}

}  // namespace larkspan::py
