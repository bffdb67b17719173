// Python class IdentityCirc: a circuit checked to equal the identity, read
// cyclically, with its Python-object form and the subcircuit machinery.
#include "identity/idcircuit.h"

#include "python/circ_common.h"
#include "python/permut.h"
#include "python/pyserde.h"

namespace larkspan::py {

namespace {

const Sig NEW_SIG{"IdentityCirc.__new__()", {"circuit"}, 1};
const Sig FROM_PYTHON_SIG{"IdentityCirc.from_python()", {"obj"}, 1};
const Sig NQUBITS_SIG{"IdentityCirc.nqubits()", {}, 0};
const Sig FORWARD_SIG{"IdentityCirc.qargs_forward()", {"gate_id"}, 1};
const Sig BACKWARD_SIG{"IdentityCirc.qargs_backward()", {"gate_id"}, 1};
const Sig CHECK_SIG{"IdentityCirc.check()", {}, 0};
const Sig HASH_VALUE_SIG{"IdentityCirc.hash_value()", {}, 0};
const Sig PYTHONIZE_SIG{"IdentityCirc.pythonize()", {}, 0};
const Sig SUBCIRCUIT_SIG{"IdentityCirc._subcircuit()", {"selection"}, 1};
const Sig SPLIT_SIG{"IdentityCirc._split()", {"selection"}, 1};
const Sig SPLITS_SIG{"IdentityCirc._subcircuit_splits()", {}, 0};
const Sig COMBINATIONS_SIG{"IdentityCirc._combinations()", {"n"}, 1};

// ---------------------------------------------------------------- Python-object form

PyObject *instr_to_py_form(Instr32 i) {
    Obj name(to_py(i.gate.display()));
    Obj q0(to_py_uint(i.qargs.q[0]));
    Obj q1(to_py_uint(i.qargs.q[1]));
    Obj qargs(to_py_tuple({q0.release(), q1.release()}));
    return to_py_tuple({name.release(), qargs.release()});
}

PyObject *pythonize(const Circ &c) {
    Obj instrs(to_py_list(c.instrs, instr_to_py_form));
    Obj perm(serde::record({{"raw", to_py_uint(c.perm.raw)}}));
    return serde::record({{"instrs", instrs.release()}, {"perm", perm.release()}});
}

Instr32 instr_from_py_form(PyObject *obj) {
    std::vector<Obj> items = serde::read_tuple(obj, 2);
    // The gate is resolved before its qubits are read, as the fields come.
    Gate16 g = Gate16::deserialize(serde::read_str(items[0].get()));
    std::vector<Obj> qs = serde::read_tuple(items[1].get(), 2);
    uint8_t q0 = serde::read_u8(qs[0].get());
    uint8_t q1 = serde::read_u8(qs[1].get());
    return Instr32(g, QArgs16(q0, q1));
}

// The raw word is taken as stored, but only if it is a permutation at all:
// every operation reads entries by the length field, and a word whose length
// exceeds 8 or whose entries repeat has no meaning as a qubit relabelling.
Permut32 permut_from_raw(uint32_t raw) {
    Permut32 p(raw);
    bool ok = (raw >> 28) == 0 && p.len() <= PERMUT_MAX_LEN;
    if (ok) {
        unsigned seen = 0;
        for (unsigned i = 0; i < p.len(); ++i) seen |= 1u << p.get(i);
        ok = seen == (1u << p.len()) - 1 && p == p.shrink(p.len());
    }
    if (!ok) raise(PyExc_ValueError, "invalid permutation word " + std::to_string(raw) + ": not a permutation of at most 8 qubits");
    return p;
}

Permut32 permut_from_py_form(PyObject *obj) {
    uint32_t raw = 0;
    serde::read_record(obj, {"raw"}, [&](size_t, PyObject *v) { raw = serde::read_u32(v); });
    return permut_from_raw(raw);
}

Circ circ_from_py_form(PyObject *obj) {
    Circ c;
    serde::read_record(obj, {"instrs", "perm"}, [&](size_t field, PyObject *v) {
        if (field == 0)
            c.instrs = serde::read_list(v, instr_from_py_form);
        else
            c.perm = permut_from_py_form(v);
    });
    return c;
}

// ---------------------------------------------------------------- members

PyObject *id_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(NEW_SIG, args, kwargs);
        Circ c = arg("circuit", [&] { return extract<Circ>(a[0]); });
        return wrap(IdentityCirc::checked(std::move(c)));
    });
}

PyObject *id_from_python(PyObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(FROM_PYTHON_SIG, args, kwargs);
        return wrap(IdentityCirc::unchecked(circ_from_py_form(a[0])));
    });
}

template <class F>
PyObject *nullary(const Sig &sig, PyObject *self, PyObject *args, PyObject *kwargs, F &&f) {
    return guard([&] {
        parse_args(sig, args, kwargs);
        Ref<IdentityCirc> me(self);
        return f(*me);
    });
}

PyObject *id_nqubits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(NQUBITS_SIG, self, args, kwargs, [](const IdentityCirc &c) { return to_py_uint(c.nqubits()); });
}

PyObject *id_check(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(CHECK_SIG, self, args, kwargs, [](const IdentityCirc &c) { return to_py(c.check()); });
}

PyObject *id_hash_value(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(HASH_VALUE_SIG, self, args, kwargs,
                   [](const IdentityCirc &c) { return to_py_uint(c.hash_value()); });
}

PyObject *id_pythonize(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(PYTHONIZE_SIG, self, args, kwargs, [](const IdentityCirc &c) { return pythonize(c.circ); });
}

PyObject *slots_to_py(const WireSlots &s) {
    std::vector<size_t> v = s.to_vector();
    return to_py_list(v, [](size_t x) { return to_py_uint(x); });
}

PyObject *id_qargs_forward(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(FORWARD_SIG, args, kwargs);
        Ref<IdentityCirc> me(self);
        size_t g = arg("gate_id", [&] { return to_usize(a[0]); });
        return slots_to_py(me->forward_slots(g));
    });
}

PyObject *id_qargs_backward(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(BACKWARD_SIG, args, kwargs);
        Ref<IdentityCirc> me(self);
        size_t g = arg("gate_id", [&] { return to_usize(a[0]); });
        return slots_to_py(me->backward_slots(g));
    });
}

PyObject *split_to_py(const std::pair<Circ, Circ> &s) {
    Obj a(wrap(s.first));
    Obj b(wrap(s.second));
    return to_py_tuple({a.release(), b.release()});
}

IdentitySubcircuit selection_arg(const IdentityCirc &c, PyObject *obj) {
    auto idx = arg("selection", [&] { return to_list(obj, to_u8); });
    return IdentitySubcircuit::from_indices(c, idx);
}

PyObject *ports_to_py(const std::vector<Port> &ports) {
    return to_py_list(ports, [](const Port &p) {
        return to_py_tuple({to_py_uint(p.qubit), to_py_uint(p.instr_id), to_py_uint(p.qargs_idx)});
    });
}

PyObject *id_subcircuit(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(SUBCIRCUIT_SIG, args, kwargs);
        Ref<IdentityCirc> me(self);
        IdentitySubcircuit sub = selection_arg(*me, a[0]);
        Obj connected(to_py(sub.is_connected()));
        Obj convex(to_py(sub.is_convex()));
        Obj inputs(ports_to_py(sub.inputs()));
        Obj outputs(ports_to_py(sub.outputs()));
        return to_py_tuple({connected.release(), convex.release(), inputs.release(), outputs.release()});
    });
}

PyObject *id_split(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(SPLIT_SIG, args, kwargs);
        Ref<IdentityCirc> me(self);
        IdentitySubcircuit sub = selection_arg(*me, a[0]);
        auto s = sub.split();
        return s ? split_to_py(*s) : none();
    });
}

PyObject *id_subcircuit_splits(PyObject *self, PyObject *args, PyObject *kwargs) {
    return nullary(SPLITS_SIG, self, args, kwargs,
                   [](const IdentityCirc &c) { return to_py_list(par_subcircuit_splits(c), split_to_py); });
}

PyObject *id_combinations(PyObject *, PyObject *args, PyObject *kwargs) {
    return guard([&] {
        Args a = parse_args(COMBINATIONS_SIG, args, kwargs);
        size_t n = arg("n", [&] { return to_usize(a[0]); });
        std::span<const uint32_t> row = combinations_row(n);
        Obj list(check(PyList_New(static_cast<Py_ssize_t>(row.size()))));
        for (size_t s = 0; s < row.size(); ++s) {
            std::vector<size_t> idx;
            for (size_t i = 0; i < 32; ++i)
                if ((row[s] >> i) & 1) idx.push_back(i);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s),
                            to_py_list(idx, [](size_t x) { return to_py_uint(x); }));
        }
        return list.release();
    });
}

PyObject *get_inner(PyObject *self, void *) {
    return guard([&] {
        Ref<IdentityCirc> me(self);
        return wrap(me->get_inner());
    });
}

PyObject *id_str(PyObject *self) {
    return guard([&] {
        Ref<IdentityCirc> me(self);
        return to_py(me->str());
    });
}

PyObject *id_repr(PyObject *self) {
    return guard([&] {
        Ref<IdentityCirc> me(self);
        return to_py(me->debug());
    });
}

Py_hash_t id_hash(PyObject *self) {
    return guard_ssize([&] {
        Ref<IdentityCirc> me(self);
        return to_py_hash(me->hash_value());
    });
}

Py_ssize_t id_len(PyObject *self) {
    return guard_ssize([&] {
        Ref<IdentityCirc> me(self);
        return static_cast<Py_ssize_t>(me->len());
    });
}

PyObject *id_item(PyObject *self, Py_ssize_t idx) {
    return guard([&] {
        Ref<IdentityCirc> me(self);
        return wrap(cyclic_item(me->circ, idx));
    });
}

PyObject *id_subscript(PyObject *self, PyObject *key) {
    return guard([&] {
        Ref<IdentityCirc> me(self);
        int64_t idx = arg("idx", [&] { return to_i64(key); });
        return wrap(cyclic_item(me->circ, idx));
    });
}

// Indexing wraps around and never ends, so iteration walks the instructions once.
PyObject *id_iter(PyObject *self) {
    return guard([&] {
        Ref<IdentityCirc> me(self);
        Obj list(instrs_to_py(me->circ.instrs));
        return check(PyObject_GetIter(list.get()));
    });
}

PyObject *id_richcmp(PyObject *self, PyObject *other, int op) {
    return ordered_richcmp<IdentityCirc>(self, other, op,
                                         [](const IdentityCirc &c) -> const Circ & { return c.circ; });
}

constexpr int KW = METH_VARARGS | METH_KEYWORDS;

PyMethodDef METHODS[] = {
    {"from_python", method<id_from_python>(), KW | METH_STATIC,
     "from_python(obj)\n--\n\nParses a Python-serialized identity object."},
    {"nqubits", method<id_nqubits>(), KW, "nqubits($self)\n--\n\nReturns number of qubits."},
    {"qargs_forward", method<id_qargs_forward>(), KW,
     "qargs_forward($self, gate_id)\n--\n\nFor each argument of gate `gate_id`, returns next gate index using "
     "that qubit."},
    {"qargs_backward", method<id_qargs_backward>(), KW,
     "qargs_backward($self, gate_id)\n--\n\nFor each argument of gate `gate_id`, returns previous gate index "
     "using that qubit."},
    {"check", method<id_check>(), KW, "check($self)\n--\n\nRandomized semantic check that this circuit is identity."},
    {"hash_value", method<id_hash_value>(), KW,
     "hash_value($self)\n--\n\nStable hash of the canonical identity representation."},
    {"pythonize", method<id_pythonize>(), KW,
     "pythonize($self)\n--\n\nConverts this identity to a Python-serializable form."},
    {"_subcircuit", method<id_subcircuit>(), KW,
     "_subcircuit($self, selection)\n--\n\nInternal: (is_connected, is_convex, inputs, outputs) of the "
     "subcircuit selecting the given instruction indices; ports are (qubit, instr_id, qargs_idx)."},
    {"_split", method<id_split>(), KW,
     "_split($self, selection)\n--\n\nInternal: (extracted, remaining) circuits cutting the selected "
     "instructions out of this identity, or None."},
    {"_subcircuit_splits", method<id_subcircuit_splits>(), KW,
     "_subcircuit_splits($self)\n--\n\nInternal: every (extracted, remaining) split over the candidate "
     "selections, in selection order."},
    {"_combinations", method<id_combinations>(), KW | METH_STATIC,
     "_combinations(n)\n--\n\nInternal: the candidate selections for an identity of `n` instructions."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"inner", get_inner, read_only_setter, "Underlying circuit representation.", const_cast<char *>("inner")},
    // Instances carry arbitrary attributes; this exposes their dictionary.
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject *create_identity_circ_type() {
    ClassSpec spec{
        "IdentityCirc",
        "IdentityCirc(circuit)\n--\n\nCanonical identity circuit (a circuit proven equivalent to identity).",
        {
            {Py_tp_new, reinterpret_cast<void *>(&id_new)},
            {Py_tp_methods, METHODS},
            {Py_tp_getset, GETSET},
            {Py_tp_str, reinterpret_cast<void *>(&id_str)},
            {Py_tp_repr, reinterpret_cast<void *>(&id_repr)},
            {Py_tp_hash, reinterpret_cast<void *>(&id_hash)},
            {Py_tp_richcompare, reinterpret_cast<void *>(&id_richcmp)},
            {Py_tp_iter, reinterpret_cast<void *>(&id_iter)},
            {Py_sq_length, reinterpret_cast<void *>(&id_len)},
            {Py_sq_item, reinterpret_cast<void *>(&id_item)},
            {Py_mp_length, reinterpret_cast<void *>(&id_len)},
            {Py_mp_subscript, reinterpret_cast<void *>(&id_subscript)},
        },
    };
    spec.with_dict = true;
    return register_class<IdentityCirc>(std::move(spec));
}

}  // namespace larkspan::py
