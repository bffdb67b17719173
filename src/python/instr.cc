// Python class Instr: a compact instruction (gate handle plus qubit bytes).
// Deliberately without value comparison: Python compares Instr objects by
// identity; holders such as Circ compare instruction values.
#include "circ/instr.h"

#include "python/classes.h"
#include "python/permut.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"Instr.__new__()", {"gate", "qargs"}, 2};
const Sig APPLY_SIG{"Instr.apply_permutation()", {"perm"}, 1};
const Sig PERMUT_SIG{"Instr.permut()", {"perm"}, 1};
const Sig ARG_MASK_SIG{"Instr.arg_mask()", {}, 0};
const Sig PASS_MASK_SIG{"Instr.pass_mask()", {"mask"}, 1};
const Sig LARGEST_SIG{"Instr.largest_qubit()", {}, 0};
const Sig DISJOINT_SIG{"Instr.disjoint()", {"other"}, 1};
const Sig ADJOINT_SIG{"Instr.adjoint()", {}, 0};
const Sig POSITION_SIG{"Instr.position_of_qubit()", {"qubit"}, 1};

// Gate objects are immutable, so their value is read without access tracking.
Gate16 to_gate(PyObject *obj) {
    if (!is_instance<Gate16>(obj)) raise_cannot_convert(obj, ClassOf<Gate16>::name);
    return peek<Gate16>(obj);
}

// Every real gate acts on far fewer qubits than this (its matrix has 4^k
// entries), so a sequence of the gate's arity is always held completely.
constexpr size_t MAX_QARGS = 64;

PyObject *instr_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        Gate16 g = arg("gate", [&] { return to_gate(a[0]); });
        uint8_t qs[MAX_QARGS];
        size_t n = arg("qargs", [&] { return to_u8_items(a[1], qs, MAX_QARGS); });
        if (n != g.nqargs()) fatal("Number of qubit arguments does not match gate arity");
        return wrap(Instr32::make(g, qs, n));
    });
}

PyObject *relabel(const Sig &sig, PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(sig, args, kwargs);
        Ref<Instr32> me(self);
        Permut32 p = arg("perm", [&] { return to_permut(a[0]); });
        return wrap(me->apply_permutation(p));
    });
}

PyObject *instr_apply_permutation(PyObject *self, PyObject *args, PyObject *kwargs) {
    return relabel(APPLY_SIG, self, args, kwargs);
}

PyObject *instr_permut(PyObject *self, PyObject *args, PyObject *kwargs) {
    return relabel(PERMUT_SIG, self, args, kwargs);
}

PyObject *instr_arg_mask(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(ARG_MASK_SIG, args, kwargs);
        Ref<Instr32> me(self);
        return to_py_uint(me->arg_mask());
    });
}

PyObject *instr_pass_mask(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(PASS_MASK_SIG, args, kwargs);
        Ref<Instr32> me(self);
        uint8_t mask = arg("mask", [&] { return to_u8(a[0]); });
        auto r = me->pass_mask(mask);
        return r ? to_py_uint(*r) : none();
    });
}

PyObject *instr_largest_qubit(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(LARGEST_SIG, args, kwargs);
        Ref<Instr32> me(self);
        return to_py_uint(me->largest_qubit());
    });
}

PyObject *instr_disjoint(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(DISJOINT_SIG, args, kwargs);
        Ref<Instr32> me(self);
        Instr32 other = arg("other", [&] { return extract<Instr32>(a[0]); });
        return to_py(me->disjoint(other));
    });
}

PyObject *instr_adjoint(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(ADJOINT_SIG, args, kwargs);
        Ref<Instr32> me(self);
        return wrap(me->adjoint());
    });
}

PyObject *instr_position_of_qubit(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(POSITION_SIG, args, kwargs);
        Ref<Instr32> me(self);
        uint8_t q = arg("qubit", [&] { return to_u8(a[0]); });
        auto r = me->position_of_qubit(q);
        return r ? to_py_uint(*r) : none();
    });
}

PyObject *get_gate(PyObject *self, void *) {
    return guard([&] {
        Ref<Instr32> me(self);
        return wrap(me->gate);
    });
}

PyObject *get_qargs(PyObject *self, void *) {
    return guard([&] {
        Ref<Instr32> me(self);
        auto qs = me->qargs.as_slice();
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(qs.data()),
                                               static_cast<Py_ssize_t>(qs.size())));
    });
}

PyObject *instr_str(PyObject *self) {
    return guard([&] {
        Ref<Instr32> me(self);
        return to_py(me->str());
    });
}

Py_hash_t instr_hash(PyObject *self) {
    return guard_ssize([&] {
        Ref<Instr32> me(self);
        return to_py_hash(me->hash_value());
    });
}

template <PyObject *(*F)(PyObject *, PyObject *, PyObject *)>
PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef METHODS[] = {
    {"apply_permutation", method<instr_apply_permutation>(), METH_VARARGS | METH_KEYWORDS,
     "apply_permutation($self, perm)\n--\n\nApplies a qubit permutation."},
    {"permut", method<instr_permut>(), METH_VARARGS | METH_KEYWORDS,
     "permut($self, perm)\n--\n\nAlias of `apply_permutation`."},
    {"arg_mask", method<instr_arg_mask>(), METH_VARARGS | METH_KEYWORDS,
     "arg_mask($self)\n--\n\nBitmask of qubits touched by this instruction."},
    {"pass_mask", method<instr_pass_mask>(), METH_VARARGS | METH_KEYWORDS,
     "pass_mask($self, mask)\n--\n\nUpdates a frontier mask for left-to-right scheduling checks."},
    {"largest_qubit", method<instr_largest_qubit>(), METH_VARARGS | METH_KEYWORDS,
     "largest_qubit($self)\n--\n\nLargest qubit index touched by this instruction."},
    {"disjoint", method<instr_disjoint>(), METH_VARARGS | METH_KEYWORDS,
     "disjoint($self, other)\n--\n\nReturns `true` when this and `other` touch disjoint qubits."},
    {"adjoint", method<instr_adjoint>(), METH_VARARGS | METH_KEYWORDS,
     "adjoint($self)\n--\n\nReturns the adjoint instruction."},
    {"position_of_qubit", method<instr_position_of_qubit>(), METH_VARARGS | METH_KEYWORDS,
     "position_of_qubit($self, qubit)\n--\n\nReturns position of `qubit` in argument list, if "
     "present."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"gate", get_gate, read_only_setter, "Underlying gate.", const_cast<char *>("gate")},
    {"qargs", get_qargs, read_only_setter, "Qubit arguments as dense integer indices.",
     const_cast<char *>("qargs")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_instr_type() {
    return register_class<Instr32>({
        "Instr",
        "Instr(gate, qargs)\n--\n\nA compact, index-only quantum instruction used internally by "
        "the search/prover.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&instr_new)},
            {Py_tp_methods, METHODS},
            {Py_tp_getset, GETSET},
            {Py_tp_str, reinterpret_cast<void *>(&instr_str)},
            {Py_tp_repr, reinterpret_cast<void *>(&instr_str)},
            {Py_tp_hash, reinterpret_cast<void *>(&instr_hash)},
        },
    });
}

}  // namespace larkspan::py
