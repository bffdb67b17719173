// Our thin layer over the CPython C API. Every Python-facing member:
//   1. parses its arguments with `parse_args` (exact TypeError texts),
//   2. takes read or write access on the receiver (`Ref`/`RefMut`),
//   3. converts arguments in order, each through `arg(name, ...)`,
//   4. runs the native operation inside `guard`, which maps C++ exceptions to
//      Python ones (FatalError -> the module's BaseException-derived error).
// Conversions report failures by setting a Python error and throwing PyErrSet.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/fatal.h"

namespace larkspan::py {

// A Python exception is set; unwind to the boundary.
struct PyErrSet {};

[[noreturn]] void raise(PyObject *exc_type, const std::string &msg);
[[noreturn]] inline void raise_current() { throw PyErrSet{}; }
// Throws PyErrSet when `p` is null (a failed C-API call), returns `p` otherwise.
inline PyObject *check(PyObject *p) {
    if (!p) throw PyErrSet{};
    return p;
}

// The BaseException subclass every fatal error becomes.
PyObject *fatal_error_type();
void set_fatal_error(std::string_view msg);
// Sets the Python error for the exception currently being handled.
void translate_current_exception() noexcept;

template <class F>
PyObject *guard(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

template <class F>
int guard_int(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

template <class F>
Py_ssize_t guard_ssize(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// Owned reference.
class Obj {
  public:
    Obj() = default;
    explicit Obj(PyObject *p) : p_(p) {}  // steals
    static Obj borrowed(PyObject *p) {
        Py_XINCREF(p);
        return Obj(p);
    }
    Obj(const Obj &) = delete;
    Obj &operator=(const Obj &) = delete;
    Obj(Obj &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Obj &operator=(Obj &&o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Obj() { Py_XDECREF(p_); }
    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------- arguments

struct Sig {
    const char *fullname;  // "Gate.__new__()"
    std::vector<const char *> names;
    size_t required;
};

struct Args {
    PyObject *v[8] = {};  // borrowed; null when absent
    PyObject *operator[](size_t i) const { return v[i]; }
};

Args parse_args(const Sig &sig, PyObject *args, PyObject *kwargs);

// Converts one argument; an exactly-TypeError failure is re-raised as
// "argument '{name}': {message}".
[[noreturn]] void rethrow_for_argument(const char *name);
template <class F>
auto arg(const char *name, F &&conv) -> decltype(conv()) {
    try {
        return conv();
    } catch (PyErrSet &) {
        rethrow_for_argument(name);
    }
}

// ---------------------------------------------------------------- conversions from Python

std::string type_name(PyObject *obj);
[[noreturn]] void raise_cannot_convert(PyObject *obj, const char *target);

std::string to_text(PyObject *obj);
uint8_t to_u8(PyObject *obj);
uint16_t to_u16(PyObject *obj);
uint32_t to_u32(PyObject *obj);
uint64_t to_u64(PyObject *obj);
size_t to_usize(PyObject *obj);
int64_t to_i64(PyObject *obj);
double to_f64(PyObject *obj);
bool to_bool(PyObject *obj);

// A sequence other than str, converted item by item.
template <class F>
auto to_list(PyObject *obj, F &&item) -> std::vector<decltype(item(obj))>;

// Tries `first`, then `second`; both failing raises
// "failed to convert the value to 'Union[{a}, {b}]'".
// Drops a failed alternative's error, but lets KeyboardInterrupt, SystemExit
// and other non-Exception errors through: they are not conversion failures.
inline void clear_conversion_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    PyErr_Clear();
}

template <class A, class B>
auto to_union(PyObject *obj, const char *a_name, const char *b_name, A &&first, B &&second)
    -> decltype(first(obj));

// ---------------------------------------------------------------- conversions to Python

inline PyObject *to_py(const std::string &s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline PyObject *to_py(const char *s) { return check(PyUnicode_FromString(s)); }
inline PyObject *to_py(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject *to_py(double d) { return check(PyFloat_FromDouble(d)); }
inline PyObject *to_py_int(int64_t v) { return check(PyLong_FromLongLong(v)); }
inline PyObject *to_py_uint(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline PyObject *none() { return Py_NewRef(Py_None); }

template <class T, class F>
PyObject *to_py_list(const std::vector<T> &items, F &&conv) {
    Obj list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), conv(items[i]));
    return list.release();
}

// Builds a tuple from already-converted new references (stolen).
PyObject *to_py_tuple(std::initializer_list<PyObject *> items);

// Python receives 64-bit hashes as signed values, -1 replaced by -2.
inline Py_hash_t to_py_hash(uint64_t h) {
    Py_hash_t v = static_cast<Py_hash_t>(h);
    return v == -1 ? -2 : v;
}

// ---------------------------------------------------------------- class objects

// Each Python class is a Box around one native value with an access counter.
struct BoxHead {
    PyObject_HEAD
    PyObject *dict;  // only used by classes with an attribute dictionary
    long borrow;     // >0 readers, -1 a writer
};

template <class T>
struct Box : BoxHead {
    T value;
};

// Specialised per native type in classes.h: the type object and Python name.
template <class T>
struct ClassOf;

template <class T>
PyTypeObject *type_of() {
    return ClassOf<T>::type;
}

template <class T>
bool is_instance(PyObject *obj) {
    return PyObject_TypeCheck(obj, type_of<T>());
}

// Creates a new Python object holding `value`.
template <class T>
PyObject *wrap(T value) {
    PyTypeObject *tp = type_of<T>();
    PyObject *obj = check(tp->tp_alloc(tp, 0));
    auto *box = reinterpret_cast<Box<T> *>(obj);
    box->dict = nullptr;
    box->borrow = 0;
    new (&box->value) T(std::move(value));
    return obj;
}

// Read access for the duration of a member call.
template <class T>
class Ref {
  public:
    explicit Ref(PyObject *obj) : box_(reinterpret_cast<Box<T> *>(obj)) {
        if (box_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++box_->borrow;
    }
    ~Ref() { --box_->borrow; }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    const T &operator*() const { return box_->value; }
    const T *operator->() const { return &box_->value; }

  private:
    Box<T> *box_;
};

// Write access for setters and modifying methods.
template <class T>
class RefMut {
  public:
    explicit RefMut(PyObject *obj) : box_(reinterpret_cast<Box<T> *>(obj)) {
        if (box_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        box_->borrow = -1;
    }
    ~RefMut() { box_->borrow = 0; }
    RefMut(const RefMut &) = delete;
    RefMut &operator=(const RefMut &) = delete;
    T &operator*() const { return box_->value; }
    T *operator->() const { return &box_->value; }

  private:
    Box<T> *box_;
};

// Checks the class, then returns a copy of the value under read access.
template <class T>
T extract(PyObject *obj) {
    if (!is_instance<T>(obj)) raise_cannot_convert(obj, ClassOf<T>::name);
    Ref<T> r(obj);
    return *r;
}

// The value without access tracking, for immutable classes (Gate).
template <class T>
const T &peek(PyObject *obj) {
    return reinterpret_cast<Box<T> *>(obj)->value;
}

// ---------------------------------------------------------------- type objects

struct ClassSpec {
    const char *name;  // Python name, e.g. "Gate"
    const char *doc;   // text-signature form where the class has a constructor
    std::vector<PyType_Slot> slots;  // class-specific slots (no terminator needed)
    bool constructible = true;  // false: calling the class raises TypeError
    bool with_dict = false;     // instances carry __dict__
};

template <class T>
void box_dealloc(PyObject *self);

// Builds the heap type: not subclassable, no weakrefs, dict only on request.
PyTypeObject *make_type(ClassSpec spec, Py_ssize_t basicsize, destructor dealloc);

template <class T>
PyTypeObject *register_class(ClassSpec spec) {
    PyTypeObject *tp = make_type(std::move(spec), sizeof(Box<T>), &box_dealloc<T>);
    ClassOf<T>::type = tp;
    return tp;
}

// Shared member conventions.
int refuse_delete(const char *what);  // AttributeError "can't delete attribute"
// Setter slot of a read-only property: deleting is refused like every property,
// setting reports that the attribute is not writable. `closure` is the name.
int read_only_setter(PyObject *self, PyObject *value, void *closure);
PyObject *not_implemented();
bool is_eq_op(int op);

// ---------------------------------------------------------------- template definitions

template <class F>
auto to_list(PyObject *obj, F &&item) -> std::vector<decltype(item(obj))> {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw PyErrSet{};
    std::vector<decltype(item(obj))> out;
    // Only a list's or tuple's length is backed by items in memory; any other
    // sequence's __len__ is a claim that may lie, so grow as items arrive.
    bool backed = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    out.reserve(backed ? static_cast<size_t>(n) : std::min(static_cast<size_t>(n), size_t{1024}));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Obj it(check(PySequence_GetItem(obj, i)));
        out.push_back(item(it.get()));
    }
    return out;
}

template <class A, class B>
auto to_union(PyObject *obj, const char *a_name, const char *b_name, A &&first, B &&second)
    -> decltype(first(obj)) {
    try {
        return first(obj);
    } catch (PyErrSet &) {
        clear_conversion_error();
    }
    try {
        return second(obj);
    } catch (PyErrSet &) {
        clear_conversion_error();
    }
    raise(PyExc_TypeError,
          std::string("failed to convert the value to 'Union[") + a_name + ", " + b_name + "]'");
}

template <class T>
void box_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    auto *box = reinterpret_cast<Box<T> *>(self);
    if (tp->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    Py_CLEAR(box->dict);
    box->value.~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace larkspan::py
