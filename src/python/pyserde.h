// Reading and writing plain Python data for values that cross the boundary as
// records, tuples and lists (the `pythonize` / `from_python` forms).
//
// Records are dicts keyed by field names, tuples are Python tuples (read from
// any sequence of the right length), lists are Python lists. Reading failures
// raise ordinary Python exceptions (PyErrSet):
//   - a missing field: Exception "missing field `name`";
//   - a value of the wrong Python type (also a non-str record key): TypeError;
//   - a sequence of the wrong length where a tuple is expected:
//     ValueError "expected sequence of length {n}, got {m}";
//   - an integer outside the field's range: OverflowError.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "python/binding.h"

namespace larkspan::py::serde {

// ---------------------------------------------------------------- writing

// A dict with the given fields in order; the values are new references and are
// stolen (also when building fails).
PyObject *record(std::initializer_list<std::pair<const char *, PyObject *>> fields);

// ---------------------------------------------------------------- reading

// Reads the record `obj` (any mapping). For each key of the mapping that names
// one of `fields`, in the mapping's order, calls on_field(index into fields,
// value). Unknown keys are ignored but must be str. Afterwards the first
// field in declaration order that was not seen is reported as missing.
template <class F>
void read_record(PyObject *obj, std::initializer_list<const char *> fields, F &&on_field);

// The items of a sequence of exactly `n` items (a tuple in the Python form).
std::vector<Obj> read_tuple(PyObject *obj, size_t n);

// A sequence of any length, each item converted by `item`.
template <class F>
auto read_list(PyObject *obj, F &&item) -> std::vector<decltype(item(obj))>;

std::string read_str(PyObject *obj);
uint8_t read_u8(PyObject *obj);
uint32_t read_u32(PyObject *obj);

// ---------------------------------------------------------------- internals

namespace detail {
Obj mapping_items(PyObject *obj);               // a list of (key, value) tuples
std::string key_text(PyObject *key);            // refuses non-str keys
[[noreturn]] void raise_missing(const char *field);
// Refuses what is no sequence of values; returns the claimed length.
Py_ssize_t sequence_len(PyObject *obj);
// A reserve that a sequence's claimed length cannot blow up: only a list's
// or tuple's length is backed by items in memory.
size_t backed_len(PyObject *obj, Py_ssize_t len);
}  // namespace detail

template <class F>
void read_record(PyObject *obj, std::initializer_list<const char *> fields, F &&on_field) {
    Obj items = detail::mapping_items(obj);
    std::vector<bool> seen(fields.size(), false);
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
            raise(PyExc_TypeError, "mapping items must be (key, value) pairs");
        std::string key = detail::key_text(PyTuple_GET_ITEM(pair, 0));
        size_t idx = 0;
        for (const char *f : fields) {
            if (key == f) {
                seen[idx] = true;
                on_field(idx, PyTuple_GET_ITEM(pair, 1));
                break;
            }
            ++idx;
        }
    }
    size_t idx = 0;
    for (const char *f : fields)
        if (!seen[idx++]) detail::raise_missing(f);
}

template <class F>
auto read_list(PyObject *obj, F &&item) -> std::vector<decltype(item(obj))> {
    Py_ssize_t n = detail::sequence_len(obj);
    std::vector<decltype(item(obj))> out;
    out.reserve(detail::backed_len(obj, n));
    // Each item is held while it is converted: converting runs Python code
    // (__index__, __len__, ...) that may change or empty the container.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Obj it(check(PySequence_GetItem(obj, i)));
        out.push_back(item(it.get()));
    }
    return out;
}

}  // namespace larkspan::py::serde
