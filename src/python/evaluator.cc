// Python class Evaluator: the randomized circuit fingerprint.
#include "search/evaluator.h"

#include "python/classes.h"
#include "python/permut.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"Evaluator.__new__()", {"nqubits"}, 1};
const Sig NQUBITS_SIG{"Evaluator.nqubits()", {}, 0};
const Sig EVALUATE_SIG{"Evaluator.evaluate()", {"instrs"}, 1};
const Sig INITIAL_KEY_SIG{"Evaluator.initial_key()", {}, 0};

PyObject *ev_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        uint32_t n = arg("nqubits", [&] { return to_u32(a[0]); });
        return wrap(Evaluator::from_random(n));
    });
}

PyObject *ev_nqubits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(NQUBITS_SIG, args, kwargs);
        Ref<Evaluator> e(self);
        return to_py_uint(e->nqubits());
    });
}

PyObject *ev_evaluate(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(EVALUATE_SIG, args, kwargs);
        Ref<Evaluator> e(self);
        auto instrs = arg("instrs", [&] { return to_list(a[0], extract<Instr32>); });
        EvaluationFirst r = e->evaluate(instrs);
        Obj state(wrap(std::move(r.state)));
        Obj front(permut_to_py(r.front));
        Obj back(permut_to_py(r.back));
        Obj forward(wrap(std::move(r.forward)));
        return to_py_tuple({state.release(), front.release(), back.release(), forward.release()});
    });
}

PyObject *ev_initial_key(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(INITIAL_KEY_SIG, args, kwargs);
        Ref<Evaluator> e(self);
        return to_py_uint(e->initial_key());
    });
}

PyObject *ev_richcmp(PyObject *self, PyObject *other, int op) {
    auto *head = reinterpret_cast<BoxHead *>(self);
    if (head->borrow < 0 || !is_eq_op(op) || !is_instance<Evaluator>(other)) return not_implemented();
    return guard([&] {
        Ref<Evaluator> a(self);
        Ref<Evaluator> b(other);
        bool eq = *a == *b;
        return to_py(eq == (op == Py_EQ));
    });
}

#define LARKSPAN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fn))

PyMethodDef METHODS[] = {
    {"nqubits", LARKSPAN_METHOD(ev_nqubits), METH_VARARGS | METH_KEYWORDS,
     "nqubits($self)\n--\n\nReturns evaluator qubit count."},
    {"evaluate", LARKSPAN_METHOD(ev_evaluate), METH_VARARGS | METH_KEYWORDS,
     "evaluate($self, instrs)\n--\n\nPython wrapper for circuit evaluation."},
    {"initial_key", LARKSPAN_METHOD(ev_initial_key), METH_VARARGS | METH_KEYWORDS,
     "initial_key($self)\n--\n\nHash key for the empty circuit under this evaluator."},
    {nullptr, nullptr, 0, nullptr},
};

#undef LARKSPAN_METHOD

}  // namespace

PyTypeObject *create_evaluator_type() {
    return register_class<Evaluator>({
        "Evaluator",
        "Evaluator(nqubits)\n--\n\nRandomized evaluator used to hash circuits and recover permutation metadata.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&ev_new)},
            {Py_tp_methods, METHODS},
            {Py_tp_richcompare, reinterpret_cast<void *>(&ev_richcmp)},
        },
    });
}

}  // namespace larkspan::py
