// Python class RawECCs: the raw class map, its searches and its simplification.
#include "search/raw_eccs.h"

#include "python/classes.h"
#include "python/console.h"
#include "search/ecc.h"
#include "search/evaluator.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"RawECCs.__new__()", {"evaluator"}, 1};
const Sig SEARCH_SIG{"RawECCs.search()", {"evaluator", "instrs", "max_size"}, 3};
const Sig SEARCH_NAIVE_SIG{"RawECCs.search_naive()", {"evaluator", "instrs", "max_size"}, 3};
const Sig GENERATE_SIG{"RawECCs.generate()", {"evaluator", "gates", "max_size"}, 3};
const Sig GENERATE_NAIVE_SIG{"RawECCs.generate_naive()", {"evaluator", "gates", "max_size"}, 3};
const Sig SIMPLIFY_SIG{"RawECCs.simplify()", {}, 0};

// Only checks the class: the evaluator is then read in place under a Ref.
PyObject *check_evaluator(PyObject *obj) {
    if (!is_instance<Evaluator>(obj)) raise_cannot_convert(obj, ClassOf<Evaluator>::name);
    return obj;
}

Instr32 to_instr(PyObject *obj) { return extract<Instr32>(obj); }

Gate16 to_gate(PyObject *obj) {
    if (!is_instance<Gate16>(obj)) raise_cannot_convert(obj, ClassOf<Gate16>::name);
    return peek<Gate16>(obj);
}

PyObject *search_result(SearchResult r) {
    Obj map(wrap(std::move(r.map)));
    Obj counters(to_py_list(std::vector<size_t>(r.counters.begin(), r.counters.end()),
                            [](size_t c) { return to_py_uint(c); }));
    return to_py_tuple({map.release(), counters.release()});
}

const SearchProgress PROGRESS = [](std::string_view line) { write_stdout_line(line); };

template <class Item, class Run>
PyObject *run_static(const Sig &sig, const char *list_name, Item item, Run run, PyObject *args,
                     PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(sig, args, kwargs);
        PyObject *ev_obj = arg("evaluator", [&] { return check_evaluator(a[0]); });
        Ref<Evaluator> ev(ev_obj);
        auto list = arg(list_name, [&] { return to_list(a[1], item); });
        size_t max_size = arg("max_size", [&] { return to_usize(a[2]); });
        return search_result(run(*ev, std::move(list), max_size));
    });
}

PyObject *raw_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        PyObject *ev_obj = arg("evaluator", [&] { return check_evaluator(a[0]); });
        Ref<Evaluator> ev(ev_obj);
        return wrap(RawECCs(*ev));
    });
}

PyObject *raw_search(PyObject *, PyObject *args, PyObject *kwargs) {
    return run_static(SEARCH_SIG, "instrs", to_instr,
                      [](const Evaluator &ev, std::vector<Instr32> instrs, size_t max_size) {
                          return RawECCs::search(ev, instrs, max_size, PROGRESS);
                      },
                      args, kwargs);
}

PyObject *raw_search_naive(PyObject *, PyObject *args, PyObject *kwargs) {
    return run_static(SEARCH_NAIVE_SIG, "instrs", to_instr,
                      [](const Evaluator &ev, std::vector<Instr32> instrs, size_t max_size) {
                          return RawECCs::search_naive(ev, instrs, max_size, PROGRESS);
                      },
                      args, kwargs);
}

PyObject *raw_generate(PyObject *, PyObject *args, PyObject *kwargs) {
    return run_static(GENERATE_SIG, "gates", to_gate,
                      [](const Evaluator &ev, std::vector<Gate16> gates, size_t max_size) {
                          return RawECCs::generate(ev, std::move(gates), max_size, PROGRESS);
                      },
                      args, kwargs);
}

PyObject *raw_generate_naive(PyObject *, PyObject *args, PyObject *kwargs) {
    return run_static(GENERATE_NAIVE_SIG, "gates", to_gate,
                      [](const Evaluator &ev, std::vector<Gate16> gates, size_t max_size) {
                          return RawECCs::generate_naive(ev, std::move(gates), max_size, PROGRESS);
                      },
                      args, kwargs);
}

PyObject *raw_simplify(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        parse_args(SIMPLIFY_SIG, args, kwargs);
        Ref<RawECCs> me(self);
        return wrap(me->simplify());
    });
}

#define LARKSPAN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fn))

PyMethodDef METHODS[] = {
    {"search", LARKSPAN_METHOD(raw_search), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "search(evaluator, instrs, max_size)\n--\n\nOptimized search using permutation-equivalent "
     "placements per circuit."},
    {"search_naive", LARKSPAN_METHOD(raw_search_naive), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "search_naive(evaluator, instrs, max_size)\n--\n\nExhaustive baseline search without "
     "permutation-based multiplicity reduction."},
    {"generate", LARKSPAN_METHOD(raw_generate), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "generate(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate set using the "
     "optimized search.\n\nAdjoint gates are added automatically if missing."},
    {"generate_naive", LARKSPAN_METHOD(raw_generate_naive),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "generate_naive(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate set using the "
     "naive search."},
    {"simplify", LARKSPAN_METHOD(raw_simplify), METH_VARARGS | METH_KEYWORDS,
     "simplify($self)\n--\n\nConverts raw buckets into sorted, normalized ECCs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject *create_raw_eccs_type() {
    return register_class<RawECCs>({
        "RawECCs",
        "RawECCs(evaluator)\n--\n\nMutable ECC map keyed by evaluator hash.\n\nThis is the direct "
        "output of the search algorithm before final simplification.",
        {
            {Py_tp_new, reinterpret_cast<void *>(&raw_new)},
            {Py_tp_methods, METHODS},
        },
    });
}

}  // namespace larkspan::py
