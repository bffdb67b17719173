// Python class ECC: one finished equivalence class (no constructor).
#include "search/ecc.h"

#include "python/classes.h"

namespace larkspan::py {

namespace {

const Sig CIRCUITS_SIG{"ECC.circuits()", {}, 0};

PyObject *ecc_circuits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(CIRCUITS_SIG, args, kwargs);
        Ref<ECC> me(self);
        return to_py_list(me->circuits(), [](const std::vector<Instr32> &c) {
            return to_py_list(c, [](Instr32 i) { return wrap(i); });
        });
    });
}

PyObject *ecc_str(PyObject *self) {
    return guard([&] {
        Ref<ECC> me(self);
        return to_py(me->str());
    });
}

PyObject *ecc_richcmp(PyObject *self, PyObject *other, int op) {
    auto *head = reinterpret_cast<BoxHead *>(self);
    if (head->borrow < 0 || !is_eq_op(op) || !is_instance<ECC>(other)) return not_implemented();
    return guard([&] {
        Ref<ECC> a(self);
        Ref<ECC> b(other);
        return to_py((*a == *b) == (op == Py_EQ));
    });
}

#define LARKSPAN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fn))

PyMethodDef METHODS[] = {
    {"circuits", LARKSPAN_METHOD(ecc_circuits), METH_VARARGS | METH_KEYWORDS,
     "circuits($self)\n--\n\nReturns all circuits in this class with swap instructions "
     "materialized."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject *create_ecc_type() {
    return register_class<ECC>({
        "ECC",
        "One equivalence class of circuits.",
        {
            {Py_tp_methods, METHODS},
            {Py_tp_str, reinterpret_cast<void *>(&ecc_str)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&ecc_richcmp)},
        },
        false,
    });
}

}  // namespace larkspan::py
