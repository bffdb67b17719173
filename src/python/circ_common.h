// Python protocol pieces shared by Circ and IdentityCirc: both read as a
// cyclic sequence of instructions and order by the circuit order.
#pragma once

#include <compare>
#include <cstdint>

#include "circ/instr.h"
#include "identity/circuit.h"
#include "python/classes.h"

namespace larkspan::py {

// idx modulo len, taken into 0..len-1: a circuit is read cyclically, so -1 is
// the last instruction and len the first again.
inline Instr32 cyclic_item(const Circ &c, int64_t idx) {
    int64_t len = static_cast<int64_t>(c.len());
    if (len == 0) fatal("attempt to calculate the remainder with a divisor of zero");
    int64_t r = idx % len;
    if (r < 0) r += len;
    return c.instrs[static_cast<size_t>(r)];
}

// Full ordering comparison of two objects of class T by `key(value)`.
template <class T, class Key>
PyObject *ordered_richcmp(PyObject *self, PyObject *other, int op, Key &&key) {
    if (!is_instance<T>(self) || !is_instance<T>(other)) return not_implemented();
    try {
        Ref<T> a(self);
        Ref<T> b(other);
        std::strong_ordering c = key(*a) <=> key(*b);
        bool r = false;
        switch (op) {
            case Py_LT: r = c < 0; break;
            case Py_LE: r = c <= 0; break;
            case Py_EQ: r = key(*a) == key(*b); break;
            case Py_NE: r = !(key(*a) == key(*b)); break;
            case Py_GT: r = c > 0; break;
            case Py_GE: r = c >= 0; break;
            default: return not_implemented();
        }
        return Py_NewRef(r ? Py_True : Py_False);
    } catch (PyErrSet &) {
        // No read access to one side: let Python fall back.
        PyErr_Clear();
        return not_implemented();
    }
}

// The instructions as a list of new Instr objects.
inline PyObject *instrs_to_py(const std::vector<Instr32> &instrs) {
    return to_py_list(instrs, [](Instr32 i) { return wrap(i); });
}

template <PyObject *(*F)(PyObject *, PyObject *, PyObject *)>
PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace larkspan::py
