// Module entry: creates the module object once per process and registers the
// thirteen classes in their fixed order.
#include "python/classes.h"

namespace {

using namespace larkspan::py;

struct ClassEntry {
    const char *name;
    PyTypeObject *(*create)();
};

const ClassEntry CLASSES[] = {
    {"Argument", create_argument_type},
    {"Instruction", create_instruction_type},
    {"Gate", create_gate_type},
    {"Instr", create_instr_type},
    {"StateVec", create_state_vec_type},
    {"ECC", create_ecc_type},
    {"ECCs", create_eccs_type},
    {"RawECCs", create_raw_eccs_type},
    {"Evaluator", create_evaluator_type},
    {"Circ", create_circ_type},
    {"IdentityCirc", create_identity_circ_type},
    {"IdentityProver", create_identity_prover_type},
    {"Proof", create_proof_type},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "larkspan",
    "Python extension module entrypoint.\n\n"
    "Registers the native classes that are re-exported and wrapped by "
    "`python/larkspan/__init__.py`.",
    // 0, not -1: the interpreter then calls the init function again on re-import
    // (instead of copying a snapshot), so re-import yields the very same module.
    0,
    nullptr,
};

PyObject *the_module = nullptr;
int64_t first_interpreter = -1;

void add_class(PyObject *module, const ClassEntry &entry) {
    Obj type(reinterpret_cast<PyObject *>(entry.create()));
    PyObject *all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    if (!all) {
        all = check(PyList_New(0));
        if (PyModule_AddObject(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw PyErrSet{};
        }
    }
    Obj name(check(PyUnicode_FromString(entry.name)));
    if (PyList_Append(all, name.get()) < 0) throw PyErrSet{};
    if (PyModule_AddObjectRef(module, entry.name, type.get()) < 0) throw PyErrSet{};
}

PyObject *create_module() {
    if (!import_numpy()) throw PyErrSet{};
    if (!fatal_error_type()) throw PyErrSet{};
    Obj module(check(PyModule_Create(&MODULE_DEF)));
    for (const ClassEntry &entry : CLASSES) add_class(module.get(), entry);
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_larkspan() {
    return guard([]() -> PyObject * {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) throw PyErrSet{};
        if (first_interpreter == -1) first_interpreter = id;
        if (id != first_interpreter)
            raise(PyExc_ImportError,
                  "larkspan cannot be imported in a sub-interpreter; import it from the main interpreter only");
        if (!the_module) the_module = create_module();
        return Py_NewRef(the_module);
    });
}
