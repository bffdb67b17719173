// Python class ECCs: the finished collection of classes for one qubit count
// (no constructor; made by RawECCs.simplify or read from a file).
#include "search/ecc.h"

#include "python/classes.h"

namespace larkspan::py {

namespace {

const Sig CHECK_SIG{"ECCs.check()", {}, 0};
const Sig TO_LIST_SIG{"ECCs.to_list()", {}, 0};
const Sig FILTER_SINGLE_SIG{"ECCs.filter_single()", {}, 0};

PyObject *ecc_list(const std::vector<ECC> &eccs) {
    return to_py_list(eccs, [](const ECC &e) { return wrap(e); });
}

PyObject *eccs_check(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(CHECK_SIG, args, kwargs);
        Ref<ECCs> me(self);
        return ecc_list(me->check());
    });
}

PyObject *eccs_to_list(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(TO_LIST_SIG, args, kwargs);
        Ref<ECCs> me(self);
        return ecc_list(me->eccs);
    });
}

PyObject *eccs_filter_single(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(FILTER_SINGLE_SIG, args, kwargs);
        Ref<ECCs> me(self);
        return wrap(me->filter_single());
    });
}

PyObject *get_nqubits(PyObject *self, void *) {
    return guard([&] {
        Ref<ECCs> me(self);
        return to_py_uint(me->nqubits);
    });
}

Py_ssize_t eccs_len(PyObject *self) {
    return guard_ssize([&] {
        Ref<ECCs> me(self);
        return static_cast<Py_ssize_t>(me->len());
    });
}

PyObject *eccs_str(PyObject *self) {
    return guard([&] {
        Ref<ECCs> me(self);
        return to_py(me->str());
    });
}

PyObject *eccs_richcmp(PyObject *self, PyObject *other, int op) {
    auto *head = reinterpret_cast<BoxHead *>(self);
    if (head->borrow < 0 || !is_eq_op(op) || !is_instance<ECCs>(other)) return not_implemented();
    return guard([&] {
        Ref<ECCs> a(self);
        Ref<ECCs> b(other);
        return to_py((*a == *b) == (op == Py_EQ));
    });
}

#define LARKSPAN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fn))

PyMethodDef METHODS[] = {
    {"check", LARKSPAN_METHOD(eccs_check), METH_VARARGS | METH_KEYWORDS,
     "check($self)\n--\n\nReturns classes that fail randomized equivalence checks."},
    {"to_list", LARKSPAN_METHOD(eccs_to_list), METH_VARARGS | METH_KEYWORDS,
     "to_list($self)\n--\n\nReturns all classes as a Python list."},
    {"filter_single", LARKSPAN_METHOD(eccs_filter_single), METH_VARARGS | METH_KEYWORDS,
     "filter_single($self)\n--\n\nRemoves classes with only one circuit."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"nqubits", get_nqubits, read_only_setter, nullptr, const_cast<char *>("nqubits")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_eccs_type() {
    return register_class<ECCs>({
        "ECCs",
        "Collection of equivalence classes for a fixed number of qubits.",
        {
            {Py_tp_methods, METHODS},
            {Py_tp_getset, GETSET},
            {Py_mp_length, reinterpret_cast<void *>(&eccs_len)},
            {Py_tp_str, reinterpret_cast<void *>(&eccs_str)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&eccs_richcmp)},
        },
        false,
    });
}

}  // namespace larkspan::py
