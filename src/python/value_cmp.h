// `==`/`!=` by value for the register-style classes (Argument, Instruction);
// ordering and foreign operands give NotImplemented so Python falls back to
// identity for `==` and TypeError for `<`.
#pragma once

#include "python/binding.h"

namespace larkspan::py {

template <class T>
PyObject *richcmp_by_value(PyObject *self, PyObject *other, int op) {
    auto *head = reinterpret_cast<BoxHead *>(self);
    if (head->borrow < 0) return not_implemented();  // receiver being changed
    Ref<T> lhs(self);
    if (!is_eq_op(op) || !is_instance<T>(other)) return not_implemented();
    // The other operand is read like any argument; a conflict here cannot be
    // answered with NotImplemented without lying about equality.
    if (reinterpret_cast<BoxHead *>(other)->borrow < 0) fatal("Already mutably borrowed");
    Ref<T> rhs(other);
    bool eq = *lhs == *rhs;
    return Py_NewRef(eq == (op == Py_EQ) ? Py_True : Py_False);
}

}  // namespace larkspan::py
