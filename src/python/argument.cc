// Python class Argument: a register name and an index, e.g. q[0].
#include "circ/qargs.h"
#include "python/classes.h"
#include "python/value_cmp.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"Argument.__new__()", {"regid", "index"}, 2};

PyObject *argument_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        std::string regid = arg("regid", [&] { return to_text(a[0]); });
        size_t index = arg("index", [&] { return to_usize(a[1]); });
        return wrap(Argument{std::move(regid), index});
    });
}

PyObject *get_regid(PyObject *self, void *) {
    return guard([&] { return to_py(Ref<Argument>(self)->regid); });
}

int set_regid(PyObject *self, PyObject *value, void *) {
    if (!value) return refuse_delete("regid");
    return guard_int([&] {
        std::string regid = arg("regid", [&] { return to_text(value); });
        RefMut<Argument>(self)->regid = std::move(regid);
        return 0;
    });
}

PyObject *get_index(PyObject *self, void *) {
    return guard([&] { return to_py_uint(Ref<Argument>(self)->index); });
}

int set_index(PyObject *self, PyObject *value, void *) {
    if (!value) return refuse_delete("index");
    return guard_int([&] {
        size_t index = arg("index", [&] { return to_usize(value); });
        RefMut<Argument>(self)->index = index;
        return 0;
    });
}

PyObject *argument_str(PyObject *self) {
    return guard([&] { return to_py(Ref<Argument>(self)->str()); });
}

PyObject *argument_repr(PyObject *self) {
    return guard([&] { return to_py(Ref<Argument>(self)->debug()); });
}

Py_hash_t argument_hash(PyObject *self) {
    return guard_ssize([&] { return to_py_hash(Ref<Argument>(self)->hash_value()); });
}

PyObject *argument_richcmp(PyObject *self, PyObject *other, int op) {
    return guard([&] { return richcmp_by_value<Argument>(self, other, op); });
}

PyGetSetDef GETSET[] = {
    {"regid", get_regid, set_regid, nullptr, const_cast<char *>("regid")},
    {"index", get_index, set_index, nullptr, const_cast<char *>("index")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_argument_type() {
    return register_class<Argument>({
        "Argument",
        "Argument(regid, index)\n--\n\nA named register argument (e.g., `q[0]`, `c[2]`) used by "
        "high-level instructions.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&argument_new)},
            {Py_tp_getset, GETSET},
            {Py_tp_str, reinterpret_cast<void *>(&argument_str)},
            {Py_tp_repr, reinterpret_cast<void *>(&argument_repr)},
            {Py_tp_hash, reinterpret_cast<void *>(&argument_hash)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&argument_richcmp)},
        },
    });
}

}  // namespace larkspan::py
