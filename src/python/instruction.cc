// Python class Instruction: a gate with register-style quantum and classical
// arguments.
#include "circ/qargs.h"
#include "python/classes.h"
#include "python/value_cmp.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"Instruction.__new__()", {"gate", "qargs", "cargs"}, 2};

Gate16 to_gate(PyObject *obj) {
    if (!is_instance<Gate16>(obj)) raise_cannot_convert(obj, ClassOf<Gate16>::name);
    return peek<Gate16>(obj);
}

// A (regid, index) pair given as a tuple of exactly two items.
Argument to_argument_tuple(PyObject *obj) {
    if (!PyTuple_Check(obj)) raise_cannot_convert(obj, "PyTuple");
    Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n != 2)
        raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(n));
    std::string regid = to_text(PyTuple_GET_ITEM(obj, 0));
    size_t index = to_usize(PyTuple_GET_ITEM(obj, 1));
    return Argument{std::move(regid), index};
}

// The constructor takes Argument objects or (regid, index) tuples.
Argument to_argument_item(PyObject *obj) {
    return to_union(obj, "Argument", "tuple[str, int]", extract<Argument>, to_argument_tuple);
}

std::vector<Argument> to_argument_items(PyObject *obj) { return to_list(obj, to_argument_item); }
// Properties take Argument objects only.
std::vector<Argument> to_arguments(PyObject *obj) { return to_list(obj, extract<Argument>); }

PyObject *arguments_to_py(const std::vector<Argument> &args) {
    return to_py_list(args, [](const Argument &a) { return wrap(a); });
}

PyObject *instruction_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        Gate16 gate = arg("gate", [&] { return to_gate(a[0]); });
        auto qargs = arg("qargs", [&] { return to_argument_items(a[1]); });
        std::vector<Argument> cargs;
        if (a[2]) cargs = arg("cargs", [&] { return to_argument_items(a[2]); });
        return wrap(Instruction{gate, std::move(qargs), std::move(cargs)});
    });
}

PyObject *get_gate(PyObject *self, void *) {
    return guard([&] { return wrap(Ref<Instruction>(self)->gate); });
}

int set_gate(PyObject *self, PyObject *value, void *) {
    if (!value) return refuse_delete("gate");
    return guard_int([&] {
        Gate16 gate = arg("gate", [&] { return to_gate(value); });
        RefMut<Instruction>(self)->gate = gate;
        return 0;
    });
}

PyObject *get_qargs(PyObject *self, void *) {
    return guard([&] { return arguments_to_py(Ref<Instruction>(self)->qargs); });
}

int set_qargs(PyObject *self, PyObject *value, void *) {
    if (!value) return refuse_delete("qargs");
    return guard_int([&] {
        auto qargs = arg("qargs", [&] { return to_arguments(value); });
        RefMut<Instruction>(self)->qargs = std::move(qargs);
        return 0;
    });
}

PyObject *get_cargs(PyObject *self, void *) {
    return guard([&] { return arguments_to_py(Ref<Instruction>(self)->cargs); });
}

int set_cargs(PyObject *self, PyObject *value, void *) {
    if (!value) return refuse_delete("cargs");
    return guard_int([&] {
        auto cargs = arg("cargs", [&] { return to_arguments(value); });
        RefMut<Instruction>(self)->cargs = std::move(cargs);
        return 0;
    });
}

PyObject *instruction_str(PyObject *self) {
    return guard([&] { return to_py(Ref<Instruction>(self)->str()); });
}

PyObject *instruction_repr(PyObject *self) {
    return guard([&] { return to_py(Ref<Instruction>(self)->debug()); });
}

Py_hash_t instruction_hash(PyObject *self) {
    return guard_ssize([&] { return to_py_hash(Ref<Instruction>(self)->hash_value()); });
}

PyObject *instruction_richcmp(PyObject *self, PyObject *other, int op) {
    return guard([&] { return richcmp_by_value<Instruction>(self, other, op); });
}

PyGetSetDef GETSET[] = {
    {"gate", get_gate, set_gate, nullptr, const_cast<char *>("gate")},
    {"qargs", get_qargs, set_qargs, nullptr, const_cast<char *>("qargs")},
    {"cargs", get_cargs, set_cargs, nullptr, const_cast<char *>("cargs")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_instruction_type() {
    return register_class<Instruction>({
        "Instruction",
        "Instruction(gate, qargs, cargs=...)\n--\n\nA high-level instruction with gate + explicit "
        "quantum/classical register arguments.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&instruction_new)},
            {Py_tp_getset, GETSET},
            {Py_tp_str, reinterpret_cast<void *>(&instruction_str)},
            {Py_tp_repr, reinterpret_cast<void *>(&instruction_repr)},
            {Py_tp_hash, reinterpret_cast<void *>(&instruction_hash)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&instruction_richcmp)},
        },
    });
}

}  // namespace larkspan::py
