#include "python/pyserde.h"

#include <algorithm>

namespace larkspan::py::serde {

namespace {

std::string py_type_name(PyObject *obj) {
    Obj name(PyType_GetName(Py_TYPE(obj)));
    if (!name) throw PyErrSet{};
    const char *s = PyUnicode_AsUTF8(name.get());
    if (!s) throw PyErrSet{};
    return s;
}

[[noreturn]] void raise_expected(const char *what, PyObject *obj) {
    raise(PyExc_TypeError, std::string("expected ") + what + ", got '" + py_type_name(obj) + "'");
}

[[noreturn]] void raise_out_of_range() {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An int (or an object usable as one); refuses floats, strings and the like.
unsigned long long read_uint(PyObject *obj, unsigned long long max) {
    if (!PyIndex_Check(obj)) raise_expected("an int", obj);
    Obj v(check(PyNumber_Index(obj)));
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (overflow != 0 || x < 0 || static_cast<unsigned long long>(x) > max) raise_out_of_range();
    return static_cast<unsigned long long>(x);
}

}  // namespace

PyObject *record(std::initializer_list<std::pair<const char *, PyObject *>> fields) {
    // Take ownership of every value first so that nothing leaks on failure.
    std::vector<Obj> values;
    values.reserve(fields.size());
    for (auto &f : fields) values.emplace_back(f.second);
    for (auto &v : values) check(v.get());
    Obj dict(check(PyDict_New()));
    size_t i = 0;
    for (auto &f : fields)
        if (PyDict_SetItemString(dict.get(), f.first, values[i++].get()) < 0) throw PyErrSet{};
    return dict.release();
}

std::vector<Obj> read_tuple(PyObject *obj, size_t n) {
    Py_ssize_t len = detail::sequence_len(obj);
    if (static_cast<size_t>(len) != n)
        raise(PyExc_ValueError,
              "expected sequence of length " + std::to_string(n) + ", got " + std::to_string(len));
    std::vector<Obj> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.emplace_back(check(PySequence_GetItem(obj, static_cast<Py_ssize_t>(i))));
    return out;
}

std::string read_str(PyObject *obj) {
    if (!PyUnicode_Check(obj)) raise_expected("a str", obj);
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) throw PyErrSet{};
    return std::string(s, static_cast<size_t>(n));
}

uint8_t read_u8(PyObject *obj) { return static_cast<uint8_t>(read_uint(obj, 0xff)); }

uint32_t read_u32(PyObject *obj) { return static_cast<uint32_t>(read_uint(obj, 0xffffffffULL)); }

namespace detail {

namespace {

// A class written in Python that defines __getitem__ passes both the mapping
// and the sequence check; declaring itself a Mapping is what tells it apart.
bool is_abc_mapping(PyObject *obj) {
    Obj abc(check(PyImport_ImportModule("collections.abc")));
    Obj mapping(check(PyObject_GetAttrString(abc.get(), "Mapping")));
    int r = PyObject_IsInstance(obj, mapping.get());
    if (r < 0) throw PyErrSet{};
    return r == 1;
}

}  // namespace

Obj mapping_items(PyObject *obj) {
    bool mapping = PyDict_Check(obj) || (PyMapping_Check(obj) && !PySequence_Check(obj)) || is_abc_mapping(obj);
    if (!mapping) raise_expected("a mapping", obj);
    Obj items(check(PyMapping_Items(obj)));
    return items;
}

std::string key_text(PyObject *key) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "dict keys must have type str, got '" + py_type_name(key) + "'");
    return read_str(key);
}

void raise_missing(const char *field) {
    raise(PyExc_Exception, std::string("missing field `") + field + "`");
}

Py_ssize_t sequence_len(PyObject *obj) {
    // A str is a sequence of characters, never a tuple or list of values.
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || !PySequence_Check(obj) ||
        PyDict_Check(obj))
        raise_expected("a sequence", obj);
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw PyErrSet{};
    return n;
}

size_t backed_len(PyObject *obj, Py_ssize_t len) {
    bool backed = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    return backed ? static_cast<size_t>(len) : std::min(static_cast<size_t>(len), size_t{1024});
}

}  // namespace detail

}  // namespace larkspan::py::serde
