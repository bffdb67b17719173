#include "python/classes.h"

namespace larkspan::py {

namespace {

void placeholder_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    if (tp->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<BoxHead *>(self)->dict);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *placeholder_new(PyTypeObject *tp, PyObject *, PyObject *) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", tp->tp_name);
    return nullptr;
}

}  // namespace

PyTypeObject *make_placeholder_type(const char *name, const char *doc, bool constructible,
                                    bool with_dict) {
    ClassSpec spec{name, doc, {}, constructible, with_dict};
    if (constructible) spec.slots.push_back({Py_tp_new, reinterpret_cast<void *>(&placeholder_new)});
    return make_type(std::move(spec), sizeof(BoxHead), &placeholder_dealloc);
}

}  // namespace larkspan::py
