#include "python/permut.h"

namespace larkspan::py {

size_t to_u8_items(PyObject *obj, uint8_t *out, size_t cap) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw PyErrSet{};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Obj it(check(PySequence_GetItem(obj, i)));
        uint8_t v = to_u8(it.get());
        if (static_cast<size_t>(i) < cap) out[i] = v;
    }
    return static_cast<size_t>(n);
}

Permut32 to_permut(PyObject *obj) {
    // Nine values already contain a repeat, so from_iter fails within them.
    uint8_t vals[PERMUT_MAX_LEN + 1];
    size_t n = to_u8_items(obj, vals, sizeof vals);
    return Permut32::from_iter(std::span<const uint8_t>(vals, std::min(n, sizeof vals)));
}

PyObject *permut_to_py(Permut32 p) {
    Obj t(check(PyTuple_New(p.len())));
    for (unsigned i = 0; i < p.len(); ++i)
        PyTuple_SET_ITEM(t.get(), i, to_py_uint(p.get(i)));
    return t.release();
}

}  // namespace larkspan::py
