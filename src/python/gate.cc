// Python class Gate: an immutable handle into the gate registry.
#include "circ/gate.h"

#include "circ/param.h"
#include "circ/qargs.h"

#include <cstring>

#define LARKSPAN_NUMPY_MAIN
#include "python/numpy_api.h"
#include "python/classes.h"

namespace larkspan::py {

bool import_numpy() { return _import_array() >= 0; }

namespace {

const Sig NEW_SIG{"Gate.__new__()", {"name", "params", "matrix"}, 3};
const Sig FROM_NAME_SIG{"Gate.from_name()", {"name"}, 1};
const Sig ADJOINT_SIG{"Gate.adjoint()", {}, 0};
const Sig CALL_SIG{"Gate.__call__()", {}, 0};

// A two-dimensional complex128 array, used as is or via numpy.asarray.
GateMatrix to_matrix(PyObject *obj) {
    Obj arr;
    if (PyArray_Check(obj)) {
        arr = Obj::borrowed(obj);
    } else {
        Obj asarray(check(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr)));
        arr = std::move(asarray);
    }
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    // A byte-swapped complex128 array has the same type number but is not
    // complex128 in NumPy's sense (its dtype compares unequal); reading its
    // bytes as native doubles would register garbage.
    if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_COMPLEX128 || !PyArray_ISNOTSWAPPED(a))
        raise_cannot_convert(obj, "ndarray[complex128, 2d]");
    npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
    npy_intp rs = PyArray_STRIDE(a, 0), cs = PyArray_STRIDE(a, 1);
    if (rs < 0 || cs < 0) fatal("The given array can not be viewed: it has a negative stride");
    // Refuse a bad shape before copying: a broadcast view can claim far more
    // entries than it holds.
    GateMatrix::check_shape(static_cast<size_t>(rows), static_cast<size_t>(cols));
    GateMatrix m;
    m.rows = static_cast<size_t>(rows);
    m.cols = static_cast<size_t>(cols);
    m.data.resize(m.rows * m.cols);
    const char *base = static_cast<const char *>(PyArray_DATA(a));
    for (npy_intp c = 0; c < cols; ++c)
        for (npy_intp r = 0; r < rows; ++r) {
            double parts[2];
            std::memcpy(parts, base + r * rs + c * cs, sizeof parts);
            m.data[static_cast<size_t>(c * rows + r)] = Complex(parts[0], parts[1]);
        }
    return m;
}

PyObject *matrix_to_numpy(const GateMatrix &m) {
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    PyObject *arr = check(PyArray_New(&PyArray_Type, 2, dims, NPY_COMPLEX128, nullptr, nullptr, 0,
                                      NPY_ARRAY_F_CONTIGUOUS, nullptr));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)), m.data.data(),
                m.data.size() * sizeof(Complex));
    return arr;
}

PyObject *gate_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        std::string name = arg("name", [&] { return to_text(a[0]); });
        auto params = arg("params", [&] { return to_list(a[1], to_text); });
        GateMatrix m = arg("matrix", [&] { return to_matrix(a[2]); });
        return wrap(Gate16::create(std::move(name), std::move(params), std::move(m)));
    });
}

PyObject *gate_from_name(PyObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(FROM_NAME_SIG, args, kwargs);
        std::string name = arg("name", [&] { return to_text(a[0]); });
        auto g = Gate16::from_name(name);
        return g ? wrap(*g) : none();
    });
}

PyObject *gate_adjoint(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(ADJOINT_SIG, args, kwargs);
        return wrap(peek<Gate16>(self).adjoint());
    });
}

PyObject *get_name(PyObject *self, void *) {
    return guard([&] { return to_py(peek<Gate16>(self).name()); });
}

PyObject *get_params(PyObject *self, void *) {
    return guard([&] {
        return to_py_list(peek<Gate16>(self).params(), [](const std::string &s) { return to_py(s); });
    });
}

PyObject *get_matrix(PyObject *self, void *) {
    return guard([&] { return matrix_to_numpy(peek<Gate16>(self).matrix()); });
}

PyObject *get_nqargs(PyObject *self, void *) {
    return guard([&] { return to_py_uint(peek<Gate16>(self).nqargs()); });
}

PyObject *get_params_f(PyObject *self, void *) {
    return guard([&] {
        std::vector<double> values;
        for (const std::string &p : peek<Gate16>(self).params()) {
            NumericResult r = evaluate_with_pi(p);
            if (!r.ok()) raise(PyExc_ValueError, r.error->text());
            values.push_back(r.value);
        }
        return to_py_list(values, [](double v) { return to_py(v); });
    });
}

// What a gate is called with: qubit indices or register arguments.
struct CallArgs {
    std::vector<uint8_t> qubits;
    std::vector<Argument> registers;
    bool is_registers = false;
};

CallArgs to_call_args(PyObject *args) {
    auto qubits = [](PyObject *o) { return CallArgs{to_list(o, to_u8), {}, false}; };
    auto registers = [](PyObject *o) { return CallArgs{{}, to_list(o, extract<Argument>), true}; };
    // A leading Argument rules out the qubit form; skipping that attempt
    // saves a raised and discarded error on every register-style call.
    if (PyTuple_GET_SIZE(args) > 0 && is_instance<Argument>(PyTuple_GET_ITEM(args, 0)))
        return to_union(args, "list[int]", "list[Argument]", registers, registers);
    return to_union(args, "list[int]", "list[Argument]", qubits, registers);
}

PyObject *gate_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) parse_args(CALL_SIG, nullptr, kwargs);
        CallArgs bound = arg("args", [&] { return to_call_args(args); });
        Gate16 g = peek<Gate16>(self);
        if (bound.is_registers) return wrap(bind_arguments(g, bound.registers));
        return wrap(bind_qubits(g, bound.qubits));
    });
}

PyObject *gate_str(PyObject *self) {
    return guard([&] { return to_py(peek<Gate16>(self).display()); });
}

Py_hash_t gate_hash(PyObject *self) { return to_py_hash(peek<Gate16>(self).hash_value()); }

PyObject *gate_richcmp(PyObject *self, PyObject *other, int op) {
    if (!is_eq_op(op) || !is_instance<Gate16>(other)) return not_implemented();
    bool eq = peek<Gate16>(self) == peek<Gate16>(other);
    return Py_NewRef((eq == (op == Py_EQ)) ? Py_True : Py_False);
}

PyMethodDef METHODS[] = {
    {"from_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&gate_from_name)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_name(name)\n--\n\nLooks up a built-in gate by display name."},
    {"adjoint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&gate_adjoint)),
     METH_VARARGS | METH_KEYWORDS, "adjoint($self)\n--\n\nReturns the adjoint (inverse) gate."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"name", get_name, read_only_setter, "Gate name.", const_cast<char *>("name")},
    {"params", get_params, read_only_setter, "Symbolic parameter list.", const_cast<char *>("params")},
    {"matrix", get_matrix, read_only_setter, "Dense unitary matrix.", const_cast<char *>("matrix")},
    {"nqargs", get_nqargs, read_only_setter, "Number of qubit arguments required by this gate.", const_cast<char *>("nqargs")},
    {"params_f", get_params_f, read_only_setter, "Numeric parameters evaluated with support for `pi` expressions.", const_cast<char *>("params_f")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_gate_type() {
    return register_class<Gate16>({
        "Gate",
        "Gate(name, params, matrix)\n--\n\nParameterized quantum gate definition used by both search "
        "and Python APIs.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&gate_new)},
            {Py_tp_methods, METHODS},
            {Py_tp_getset, GETSET},
            {Py_tp_call, reinterpret_cast<void *>(&gate_call)},
            {Py_tp_str, reinterpret_cast<void *>(&gate_str)},
            {Py_tp_hash, reinterpret_cast<void *>(&gate_hash)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&gate_richcmp)},
        },
    });
}

}  // namespace larkspan::py
