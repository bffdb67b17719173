#include "search/raw_eccs.h"

#include <algorithm>
#include <sstream>

#include "search/evaluator.h"
#include "utils/fatal.h"
#include "utils/fmt_join.h"

namespace larkspan {

namespace {

template <class Set>
bool contains(const Set &set, Instr32 x) {
    return std::find(set.begin(), set.end(), x) != set.end();
}

template <class Set>
void insert_new(Set &set, std::span<const Instr32> items) {
    for (Instr32 x : items)
        if (!contains(set, x)) set.push_back(x);
}

template <class Set>
bool none_in(const Set &set, std::span<const Instr32> items) {
    for (Instr32 x : items)
        if (contains(set, x)) return false;
    return true;
}

}  // namespace

void circuit_get_surface_gates(std::span<const Instr32> circuit, bool reverse, Permut32 relabel,
                               std::vector<Instr32> &out) {
    uint32_t mask = 0;
    auto visit = [&](Instr32 instr) {
        uint32_t bits = 0;
        for (uint8_t q : instr.qargs) bits |= 1u << (q % 32);
        if ((mask & bits) == 0) out.push_back(instr.apply_permutation(relabel));
        mask |= bits;
    };
    if (reverse)
        for (auto it = circuit.rbegin(); it != circuit.rend(); ++it) visit(*it);
    else
        for (Instr32 instr : circuit) visit(instr);
}

// ---------------------------------------------------------------- CircTriple

EccMember CircTriple::simplify() const {
    Permut32 front_inv = front_perm.inv();
    std::vector<Instr32> instrs;
    circ.collect(instrs);
    for (Instr32 &i : instrs) i = i.apply_permutation(front_inv);
    return {std::move(instrs), back_perm * front_perm};
}

std::string CircTriple::str() const {
    EccMember m = simplify();
    std::ostringstream os;
    os << fjoin(" ", m.first) << ' ' << m.second;
    return os.str();
}

std::string CircTriple::debug() const {
    std::ostringstream os;
    os << front_perm << ' ' << fjoin(" ", circ.to_vec()) << ' ' << back_perm;
    return os.str();
}

// ---------------------------------------------------------------- CircuitECC

CircuitECC CircuitECC::root(size_t nqubits) {
    Permut32 id = Permut32::identity(nqubits);
    CircuitECC b;
    b.circuits.push_back(CircTriple{id, AliasList(), id});
    return b;
}

std::string CircuitECC::str() const {
    std::ostringstream os;
    os << "CircuitECC {"
       << fjoin(", ", circuits, [](std::ostream &o, const CircTriple &t) { o << t.str(); }) << "}";
    return os.str();
}

std::string CircuitECC::debug() const {
    std::ostringstream os;
    auto triple = [](std::ostream &o, const CircTriple &t) { o << t.debug(); };
    os << "CircuitECC { size: " << size << ", front_gates: [" << fjoin(", ", front_gates)
       << "], back_gates: [" << fjoin(", ", back_gates) << "], circuits: ["
       << fjoin(", ", circuits, triple) << "] }";
    return os.str();
}

ECC CircuitECC::simplify() const {
    if (circuits.empty()) fatal("Cannot simplify an ECC bucket without circuits");
    std::vector<EccMember> members;
    members.reserve(circuits.size());
    for (const CircTriple &t : circuits) members.push_back(t.simplify());
    std::stable_sort(members.begin(), members.end(), [](const EccMember &a, const EccMember &b) {
        if (a.first.size() != b.first.size()) return a.first.size() < b.first.size();
        return a < b;
    });

    const EccMember &first = members.front();
    uint32_t used = 0;
    for (Instr32 i : first.first)
        for (uint8_t q : i.qargs) {
            if (q >= 8) fatal("assertion failed: idx < 8");
            used |= 1u << q;
        }
    std::vector<uint8_t> qubits;
    for (uint8_t q = 0; q < 8; ++q)
        if (used & (1u << q)) qubits.push_back(q);
    Permut32 uniform_inv = Permut32::from_iter_with_ext(first.second.len(), qubits);
    Permut32 uniform = uniform_inv.inv();

    for (EccMember &m : members) {
        for (Instr32 &i : m.first) i = i.apply_permutation(uniform);
        m.second = uniform * m.second * uniform_inv;
    }
    return ECC(std::move(members));
}

// ---------------------------------------------------------------- RawECCs

RawECCs::RawECCs(const Evaluator &evaluator) : nqubits(evaluator.nqubits()) {
    uint64_t key = evaluator.initial_key();
    inner.emplace(key, CircuitECC::root(nqubits));
}

std::optional<AliasList> RawECCs::add_entry(uint64_t key, Permut32 front_perm, Permut32 back_perm,
                                            AliasList circ, std::span<const Instr32> instr_vec) {
    if (instr_vec.empty()) fatal("Cannot add an empty circuit to an ECC map");
    Instr32 instr = instr_vec.back();

    std::vector<Instr32> &front = front_scratch, &back = back_scratch;
    front.clear();
    back.clear();
    circuit_get_surface_gates(instr_vec, false, front_perm.inv(), front);
    circuit_get_surface_gates(instr_vec, true, back_perm, back);

    auto found = inner.find(key);
    if (found != inner.end()) {
        CircuitECC &b = found->second;
        if (!none_in(b.front_gates, front) || !none_in(b.back_gates, back)) return std::nullopt;
        // Allocate first, so that a failure leaves the bucket as it was.
        b.circuits.reserve(b.circuits.size() + 1);
        b.front_gates.reserve(b.front_gates.size() + front.size());
        b.back_gates.reserve(b.back_gates.size() + back.size());
        AliasList list = cells.cons(instr, circ);
        insert_new(b.front_gates, front);
        insert_new(b.back_gates, back);
        b.circuits.push_back(CircTriple{front_perm, list, back_perm});
        return std::nullopt;
    }
    CircuitECC b;
    b.size = instr_vec.size();
    insert_new(b.front_gates, front);
    insert_new(b.back_gates, back);
    AliasList list = cells.cons(instr, circ);
    b.circuits.push_back(CircTriple{front_perm, list, back_perm});
    inner.emplace(key, std::move(b));
    return list;
}

ECCs RawECCs::simplify() const {
    ECCs out;
    out.nqubits = nqubits;
    out.eccs.reserve(inner.size());
    for (const auto &[key, bucket] : inner) out.eccs.push_back(bucket.simplify());
    std::stable_sort(out.eccs.begin(), out.eccs.end(),
                     [](const ECC &a, const ECC &b) { return a < b; });
    return out;
}

}  // namespace larkspan
