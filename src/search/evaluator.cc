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

namespace {

// The backward pass for one forward candidate f: `bv` becomes the
// canonicalised backward state, the result is its canonical order b.
// `sum_reference` reports whether normalize_arg had to use the sum of the
// amplitudes (element 0 and the last one near zero).
Permut32 canonical_backward(const StateVec &backtrack, Permut32 f, std::span<const Instr32> instrs,
                            std::span<const Gate16> adj, StateVec &bv, bool &sum_reference) {
    if (f.is_identity())
        bv.assign(backtrack);
    else
        bv.assign_permuted(backtrack, f);
    for (size_t i = instrs.size(); i-- > 0;) bv.apply(instrs[i].qargs.as_slice(), adj[i]);
    size_t last = bv.len() - 1;
    sum_reference = near_zero(bv.re_data()[0]) && near_zero(bv.im_data()[0]) && near_zero(bv.re_data()[last]) &&
                    near_zero(bv.im_data()[last]);
    bv.normalize_arg();
    auto [b, mask] = bv.get_orderinfo().as_bits();
    if (mask != 0) fatal("Non-deterministic front permutation detected during evaluation");
    if (!b.is_identity()) bv.apply_permutation(b.inv());
    return b;
}

// Every candidate in order; the least state ends in `best`.
void backward_each(const StateVec &backtrack, const CandidatePerms &candidates, std::span<const Instr32> instrs,
                   std::span<const Gate16> adj, StateVec &best, StateVec &bv, PermPairs &pairs) {
    pairs.clear();
    bool sum_reference;
    for (Permut32 f : candidates) {
        Permut32 b = canonical_backward(backtrack, f, instrs, adj, bv, sum_reference);
        int c = pairs.empty() ? -1 : bv.compare(best);
        if (c < 0) {
            std::swap(best, bv);
            pairs.clear();
            pairs.push_back({b, f.inv()});
        } else if (c == 0) {
            pairs.push_back({b, f.inv()});
        }
    }
}

// Candidates that differ only in how they place qubits the circuit never
// touches give the same canonical backward state, bit for bit: such a
// relabelling g commutes with the circuit, every gate kernel computes the
// same values at relabelled indices, and normalize_arg reads elements 0 and
// 2^n - 1, which no relabelling moves. So f2 = g * f1 yields the state of f1
// with front permutation g * b1, and one backward pass per group suffices.
// The group of f is fixed by f^-1 on the touched qubits. Returns false (and
// leaves the work to backward_each) when normalize_arg fell back on the sum
// of the amplitudes, whose rounding depends on the order of the elements.
struct GroupScratch {
    struct Rep {
        Permut32 f, b;
        uint32_t tag;
    };
    std::vector<Rep> reps;
    std::vector<uint32_t> rep_of;   // per candidate
    std::vector<uint64_t> slots;    // open addressing: (signature + 1) << 32 | rep
};

bool backward_grouped(const StateVec &backtrack, const CandidatePerms &candidates, uint8_t touched,
                      std::span<const Instr32> instrs, std::span<const Gate16> adj, StateVec &best, StateVec &bv,
                      PermPairs &pairs) {
    thread_local GroupScratch gs;
    size_t m = candidates.size();
    size_t cap = 16;
    while (cap < 2 * m) cap <<= 1;
    gs.slots.assign(cap, 0);
    gs.reps.clear();
    gs.rep_of.resize(m);
    uint32_t gen = 0;
    bool sum_reference;
    for (size_t idx = 0; idx < m; ++idx) {
        Permut32 f = candidates[idx];
        Permut32 finv = f.inv();
        uint32_t sig = 0;
        for (unsigned q = 0; q < 8; ++q)
            if (touched >> q & 1) sig = sig << 3 | finv.get(q);
        size_t h = (static_cast<uint64_t>(sig) * 0x9E3779B97F4A7C15ULL) >> 40 & (cap - 1);
        while (gs.slots[h] != 0 && (gs.slots[h] >> 32) != sig + 1u) h = (h + 1) & (cap - 1);
        if (gs.slots[h] != 0) {
            gs.rep_of[idx] = static_cast<uint32_t>(gs.slots[h]);
            continue;
        }
        Permut32 b = canonical_backward(backtrack, f, instrs, adj, bv, sum_reference);
        if (sum_reference) return false;
        uint32_t tag = 0;
        int c = gs.reps.empty() ? -1 : bv.compare(best);
        if (c < 0) {
            std::swap(best, bv);
            tag = ++gen;
        } else if (c == 0) {
            tag = gen;
        }
        uint32_t r = static_cast<uint32_t>(gs.reps.size());
        gs.reps.push_back({f, b, tag});
        gs.slots[h] = (static_cast<uint64_t>(sig) + 1) << 32 | r;
        gs.rep_of[idx] = r;
    }
    // Reps tagged with the last generation are exactly those equal to the least state.
    pairs.clear();
    for (size_t idx = 0; idx < m; ++idx) {
        const GroupScratch::Rep &rep = gs.reps[gs.rep_of[idx]];
        if (rep.tag != gen) continue;
        Permut32 f = candidates[idx];
        Permut32 g = f.compose_unchecked(rep.f.inv());
        pairs.push_back({g.compose_unchecked(rep.b), f.inv()});
    }
    return true;
}

}  // namespace

void Evaluator::backward(const StateVec &fwd, std::span<const Instr32> instrs, StateVec &best, StateVec &bv,
                         PermPairs &pairs) const {
    size_t n = nqubits();
    reserve_state_vec_cache(n);
    Scratch &sc = scratch_for(n);
    std::vector<Gate16> &adj = sc.adjoints;
    adj.resize(instrs.size());
    uint8_t touched = 0;
    for (size_t i = 0; i < instrs.size(); ++i) {
        adj[i] = cached_adjoint(instrs[i].gate);
        touched |= instrs[i].arg_mask();  // qubits are below n: the forward pass checked them
    }
    CandidatePerms candidates = fwd.get_orderinfo().as_perms();
    size_t untouched = n - static_cast<size_t>(__builtin_popcount(touched));
    if (candidates.size() > 1 && untouched >= 2 &&
        backward_grouped(backtrack_state_, candidates, touched, instrs, adj, best, bv, pairs))
        return;
    backward_each(backtrack_state_, candidates, instrs, adj, best, bv, pairs);
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
