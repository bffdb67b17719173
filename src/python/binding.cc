#include "python/binding.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>

#include <structmember.h>

namespace larkspan::py {

void raise(PyObject *exc_type, const std::string &msg) {
    // Sized, so that a NUL from user text (a keyword, a gate name) does not cut the message.
    Obj text(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
    if (text) PyErr_SetObject(exc_type, text.get());
    throw PyErrSet{};
}

// ---------------------------------------------------------------- fatal errors

PyObject *fatal_error_type() {
    static PyObject *type = [] {
        return PyErr_NewExceptionWithDoc(
            "larkspan.FatalError",
            "A native operation of larkspan met a violated precondition or invariant.\n\n"
            "Derived from BaseException so that `except Exception` does not swallow it; "
            "its single argument is the error's message.",
            PyExc_BaseException, nullptr);
    }();
    return type;
}

void set_fatal_error(std::string_view msg) {
    static thread_local bool converting = false;
    if (converting) {
        std::fputs("larkspan: fatal error while reporting a fatal error\n", stderr);
        std::abort();
    }
    converting = true;
    PyObject *type = fatal_error_type();
    if (!type) {
        converting = false;
        return;  // the error of creating the class is set
    }
    if (msg.empty()) msg = "larkspan: native operation failed";
    PyObject *text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    converting = false;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (PyErrSet &) {
        if (!PyErr_Occurred()) set_fatal_error("error reported without a Python exception");
    } catch (FatalError &e) {
        set_fatal_error(e.message());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        set_fatal_error(e.what());
    } catch (...) {
        set_fatal_error({});
    }
}

// ---------------------------------------------------------------- argument parsing

namespace {

std::string quoted_list(const std::vector<const char *> &names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        s += "'";
        s += names[i];
        s += "'";
    }
    return s;
}

}  // namespace

Args parse_args(const Sig &sig, PyObject *args, PyObject *kwargs) {
    Args out;
    size_t nparams = sig.names.size();
    size_t npos = args ? static_cast<size_t>(PyTuple_GET_SIZE(args)) : 0;
    if (npos > nparams) {
        std::string msg = sig.fullname;
        if (sig.required < nparams)
            msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(nparams);
        else
            msg += " takes " + std::to_string(nparams);
        msg += " positional arguments but " + std::to_string(npos) + (npos == 1 ? " was" : " were") +
               " given";
        raise(PyExc_TypeError, msg);
    }
    for (size_t i = 0; i < npos; ++i) out.v[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, std::string(sig.fullname) + " keywords must be strings");
            Py_ssize_t klen;
            const char *kp = PyUnicode_AsUTF8AndSize(key, &klen);
            if (!kp) throw PyErrSet{};
            std::string_view k(kp, static_cast<size_t>(klen));  // may hold a NUL: compare whole
            size_t idx = nparams;
            for (size_t i = 0; i < nparams; ++i)
                if (k == sig.names[i]) idx = i;
            if (idx == nparams)
                raise(PyExc_TypeError,
                      std::string(sig.fullname) + " got an unexpected keyword argument '" + std::string(k) + "'");
            if (out.v[idx])
                raise(PyExc_TypeError,
                      std::string(sig.fullname) + " got multiple values for argument '" + std::string(k) + "'");
            out.v[idx] = value;
        }
    }
    std::vector<const char *> missing;
    for (size_t i = 0; i < sig.required; ++i)
        if (!out.v[i]) missing.push_back(sig.names[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, std::string(sig.fullname) + " missing " + std::to_string(missing.size()) +
                                   " required positional argument" + (missing.size() == 1 ? "" : "s") +
                                   ": " + quoted_list(missing));
    return out;
}

void rethrow_for_argument(const char *name) {
    if (!PyErr_Occurred() || PyErr_Occurred() != PyExc_TypeError) throw PyErrSet{};
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Obj t(type), v(value), b(tb);
    Obj text(value ? PyObject_Str(value) : nullptr);
    if (!text) throw PyErrSet{};
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    throw PyErrSet{};
}

// ---------------------------------------------------------------- conversions

std::string type_name(PyObject *obj) { return Py_TYPE(obj)->tp_name; }

void raise_cannot_convert(PyObject *obj, const char *target) {
    // tp_name of heap types from other modules carries the module; Python shows the bare name.
    Obj name(PyType_GetName(Py_TYPE(obj)));
    if (!name) throw PyErrSet{};
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    throw PyErrSet{};
}

std::string to_text(PyObject *obj) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) throw PyErrSet{};
    return std::string(s, static_cast<size_t>(n));
}

namespace {

[[noreturn]] void raise_out_of_range() {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

long to_long(PyObject *obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

}  // namespace

uint8_t to_u8(PyObject *obj) {
    long v = to_long(obj);
    if (v < 0 || v > 255) raise_out_of_range();
    return static_cast<uint8_t>(v);
}

uint16_t to_u16(PyObject *obj) {
    long v = to_long(obj);
    if (v < 0 || v > 65535) raise_out_of_range();
    return static_cast<uint16_t>(v);
}

uint32_t to_u32(PyObject *obj) {
    long v = to_long(obj);
    if (v < 0 || static_cast<unsigned long>(v) > 0xffffffffUL) raise_out_of_range();
    return static_cast<uint32_t>(v);
}

uint64_t to_u64(PyObject *obj) {
    Obj idx(check(PyNumber_Index(obj)));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

size_t to_usize(PyObject *obj) {
    uint64_t v = to_u64(obj);
    if (v > SIZE_MAX) raise_out_of_range();
    return static_cast<size_t>(v);
}

int64_t to_i64(PyObject *obj) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

double to_f64(PyObject *obj) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return d;
}

bool to_bool(PyObject *obj) {
    if (!PyBool_Check(obj)) raise_cannot_convert(obj, "PyBool");
    return obj == Py_True;
}

PyObject *to_py_tuple(std::initializer_list<PyObject *> items) {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    Py_ssize_t i = 0;
    if (!t) {
        for (PyObject *p : items) Py_XDECREF(p);
        throw PyErrSet{};
    }
    for (PyObject *p : items) PyTuple_SET_ITEM(t, i++, p);
    return t;
}

// ---------------------------------------------------------------- type objects

namespace {

int box_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<BoxHead *>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int box_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<BoxHead *>(self)->dict);
    return 0;
}

}  // namespace

PyTypeObject *make_type(ClassSpec spec, Py_ssize_t basicsize, destructor dealloc) {
    std::string full = std::string("larkspan.") + spec.name;
    // The type name must outlive the type (the interpreter keeps pointing at it): keep it for the process.
    char *name = new char[full.size() + 1];
    std::memcpy(name, full.c_str(), full.size() + 1);

    std::vector<PyType_Slot> slots = std::move(spec.slots);
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void *>(dealloc)});
    slots.push_back({Py_tp_doc, const_cast<char *>(spec.doc)});
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!spec.constructible) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    static PyMemberDef dict_members[] = {
        {"__dictoffset__", T_PYSSIZET, offsetof(BoxHead, dict), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    if (spec.with_dict) {
        flags |= Py_TPFLAGS_HAVE_GC;
        slots.push_back({Py_tp_members, dict_members});
        slots.push_back({Py_tp_traverse, reinterpret_cast<void *>(&box_traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void *>(&box_clear)});
    }
    slots.push_back({0, nullptr});
    // The type copies the slots and the doc; only the name must outlive it.
    PyType_Spec pyspec{name, static_cast<int>(basicsize), 0, static_cast<unsigned>(flags), slots.data()};
    return reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&pyspec)));
}

int refuse_delete(const char *) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

int read_only_setter(PyObject *self, PyObject *value, void *closure) {
    if (!value) return refuse_delete("");
    Obj cls(PyType_GetName(Py_TYPE(self)));
    if (!cls) return -1;
    PyErr_Format(PyExc_AttributeError, "attribute '%s' of '%U' objects is not writable",
                 closure ? static_cast<const char *>(closure) : "?", cls.get());
    return -1;
}

PyObject *not_implemented() { return Py_NewRef(Py_NotImplemented); }

bool is_eq_op(int op) { return op == Py_EQ || op == Py_NE; }

}  // namespace larkspan::py
