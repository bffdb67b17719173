#include "search/evaluator.h"

#include <array>
#include <string>
#include <utility>

#include "state/order_info.h"
#include "utils/fatal.h"

namespace larkspan {

namespace {

// Working vectors of one thread, one set per qubit count so that evaluators
// of different sizes used alternately do not reallocate.
struct Scratch {
    StateVec fwd, bv, best;
    std::vector<Gate16> adjoints;
};

Scratch &scratch_for(size_t nqubits) {
    thread_local std::array<Scratch, EVALUATOR_MAX_QUBITS + 1> all;
    Scratch &s = all[nqubits];
    if (s.fwd.len() != (size_t{1} << nqubits)) {
        s.fwd = StateVec::zeros(nqubits);
        s.bv = StateVec::zeros(nqubits);
        s.best = StateVec::zeros(nqubits);
    }
    return s;
}

// Adjoint links never change once made, so each thread keeps its own copy
// and asks the registry (and its lock) only once per gate.
Gate16 cached_adjoint(Gate16 g) {
    thread_local std::vector<int32_t> cache;
    if (g.idx < cache.size() && cache[g.idx] >= 0) return Gate16(static_cast<uint16_t>(cache[g.idx]));
    Gate16 adj = g.adjoint();
    if (cache.size() <= g.idx) cache.resize(g.idx + 1u, -1);
    cache[g.idx] = adj.idx;
    return adj;
}

}  // namespace

Evaluator Evaluator::from_random(size_t nqubits) {
    if (nqubits > EVALUATOR_MAX_QUBITS)
        fatal("Evaluator supports at most " + std::to_string(EVALUATOR_MAX_QUBITS) + " qubits, got " +
              std::to_string(nqubits));
    Rng rng = Rng::from_os();
    return from_rng(rng, nqubits);
}

Evaluator Evaluator::from_rng(Rng &rng, size_t nqubits) {
    if (nqubits > EVALUATOR_MAX_QUBITS)
        fatal("Evaluator supports at most " + std::to_string(EVALUATOR_MAX_QUBITS) + " qubits, got " +
              std::to_string(nqubits));
    StateVec initial = StateVec::from_random_symmetric(rng, nqubits);
    StateVec back = StateVec::from_random(rng, nqubits);
    back.normalize_arg();
    back.apply_permutation(back.get_permutation().inv());
    return Evaluator(std::move(initial), std::move(back));
}

void Evaluator::forward_raw(std::span<const Instr32> instrs, StateVec &out) const {
    out.assign(initial_state_);
    for (Instr32 instr : instrs) out.apply(instr);
}

void Evaluator::backward(const StateVec &fwd, std::span<const Instr32> instrs, StateVec &best, StateVec &bv,
                         PermPairs &pairs) const {
    size_t n = nqubits();
    reserve_state_vec_cache(n);
    Scratch &sc = scratch_for(n);
    std::vector<Gate16> &adj = sc.adjoints;
    adj.resize(instrs.size());
    for (size_t i = 0; i < instrs.size(); ++i) adj[i] = cached_adjoint(instrs[i].gate);

    CandidatePerms candidates = fwd.get_orderinfo().as_perms();
    pairs.clear();
    for (Permut32 f : candidates) {
        Permut32 finv = f.inv();
        if (f.is_identity())
            bv.assign(backtrack_state_);
        else
            bv.assign_permuted(backtrack_state_, f);
        for (size_t i = instrs.size(); i-- > 0;) bv.apply(instrs[i].qargs.as_slice(), adj[i]);
        bv.normalize_arg();
        auto [b, mask] = bv.get_orderinfo().as_bits();
        if (mask != 0) fatal("Non-deterministic front permutation detected during evaluation");
        if (!b.is_identity()) bv.apply_permutation(b.inv());
        int c = pairs.empty() ? -1 : bv.compare(best);
        if (c < 0) {
            std::swap(best, bv);
            pairs.clear();
            pairs.push_back({b, finv});
        } else if (c == 0) {
            pairs.push_back({b, finv});
        }
    }
}

void Evaluator::evaluate_key(const StateVec &raw_forward, std::span<const Instr32> instrs, EvalKey &out) const {
    if (raw_forward.len() != initial_state_.len())
        fatal("The forward state has " + std::to_string(raw_forward.len()) + " amplitudes, the evaluator " +
              std::to_string(initial_state_.len()));
    Scratch &sc = scratch_for(nqubits());
    sc.fwd.assign(raw_forward);
    sc.fwd.normalize_arg();
    backward(sc.fwd, instrs, sc.best, sc.bv, out.pairs);
    out.key = sc.best.hash_value();
}

void Evaluator::evaluate_key(std::span<const Instr32> instrs, EvalKey &out) const {
    Scratch &sc = scratch_for(nqubits());
    forward_raw(instrs, sc.fwd);
    sc.fwd.normalize_arg();
    backward(sc.fwd, instrs, sc.best, sc.bv, out.pairs);
    out.key = sc.best.hash_value();
}

void Evaluator::evaluate_child(const StateVec &parent_raw, std::span<const Instr32> instrs, StateVec &child_raw,
                               EvalKey &out) const {
    if (instrs.empty()) fatal("evaluate_child needs the parent's instructions plus one more");
    if (&parent_raw == &child_raw) fatal("evaluate_child: the child's forward state must not alias the parent's");
    child_raw.assign(parent_raw);
    child_raw.apply(instrs.back());
    evaluate_key(child_raw, instrs, out);
}

Evaluation Evaluator::evaluate_multiple(std::span<const Instr32> instrs) const {
    Scratch &sc = scratch_for(nqubits());
    forward_raw(instrs, sc.fwd);
    sc.fwd.normalize_arg();
    Evaluation result;
    backward(sc.fwd, instrs, sc.best, sc.bv, result.pairs);
    result.state = sc.best.clone();
    result.forward = sc.fwd.clone();
    return result;
}

EvaluationFirst Evaluator::evaluate(std::span<const Instr32> instrs) const {
    Evaluation e = evaluate_multiple(instrs);
    PermPair p = e.pairs.front();
    return {std::move(e.state), p.front, p.back, std::move(e.forward)};
}

uint64_t Evaluator::initial_key() const {
    EvalKey k;
    evaluate_key(std::span<const Instr32>(), k);
    return k.key;
}

}  // namespace larkspan
