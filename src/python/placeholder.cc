#include "python/classes.h"

namespace larkspan::py {

namespace {

void placeholder_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *placeholder_new(PyTypeObject *tp, PyObject *, PyObject *) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", tp->tp_name);
    return nullptr;
}

}  // namespace

PyTypeObject *make_placeholder_type(const char *name, const char *doc, bool constructible) {
    ClassSpec spec{name, doc, {}, constructible, false};
    if (constructible) spec.slots.push_back({Py_tp_new, reinterpret_cast<void *>(&placeholder_new)});
    return make_type(std::move(spec), sizeof(BoxHead), &placeholder_dealloc);
}

}  // namespace larkspan::py
