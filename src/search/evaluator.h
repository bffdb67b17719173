// The randomized circuit fingerprint. An evaluator holds two random states
// fixed for its lifetime: a permutation-invariant initial state that a
// circuit runs forwards on, and a canonically ordered backtrack state that it
// runs backwards on (adjoint gates, last first) after relabelling it by every
// candidate order of the forward result. The least canonicalised backward
// state is the fingerprint; its hash_value is the key. Circuits that differ
// by a relabelling of qubits before and after, or by a global phase, get the
// same key.
//
// Threads: every evaluation is const and may run concurrently from any
// number of threads on one evaluator. Working vectors live in per-thread
// scratch, so the hot entry points (`evaluate_key`, `evaluate_child`)
// allocate nothing once a thread has warmed up; only ties among candidates
// (symmetric forward states) grow a pair list, and reusing the same EvalKey
// keeps that capacity too.
//
// Reusing a parent's work (search): the forward pass is plain sequential gate
// application, so the raw forward state of circuit c + [g] is exactly the raw
// forward state of c with g applied. Keep the *raw* forward state (before
// phase normalisation: normalising changes bits) of every circuit that will
// be extended, and evaluate a child with
//     evaluator.evaluate_child(parent_raw, child_instrs, child_raw, out);
// which costs one gate instead of a whole forward pass and gives results
// bit-identical to evaluate_multiple(child_instrs). The backward pass cannot
// be shared: it starts from the circuit's last gate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circ/instr.h"
#include "groups/permutation.h"
#include "state/state_vec.h"
#include "utils/random.h"

namespace larkspan {

constexpr size_t EVALUATOR_MAX_QUBITS = 8;

// One way to relate a circuit to its class representative: `front` is the
// canonical qubit order of the backward state (input side), `back` the
// inverse of the forward candidate (output side).
struct PermPair {
    Permut32 front, back;
    friend constexpr bool operator==(PermPair, PermPair) = default;
};

// A non-empty list of pairs in candidate order. The first pair is held
// inline; more are stored only when several candidates tie.
class PermPairs {
  public:
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    PermPair operator[](size_t i) const {
        check_index(i, n_);
        return i == 0 ? first_ : more_[i - 1];
    }
    PermPair front() const { return (*this)[0]; }
    void clear() {
        n_ = 0;
        more_.clear();  // keeps its capacity for the next evaluation
    }
    void push_back(PermPair p) {
        if (n_ == 0)
            first_ = p;
        else
            more_.push_back(p);
        ++n_;
    }
    std::vector<PermPair> to_vector() const {
        std::vector<PermPair> v;
        v.reserve(n_);
        for (size_t i = 0; i < n_; ++i) v.push_back((*this)[i]);
        return v;
    }

    struct Iter {
        const PermPairs *list;
        size_t i;
        using value_type = PermPair;
        using difference_type = std::ptrdiff_t;
        PermPair operator*() const { return (*list)[i]; }
        Iter &operator++() {
            ++i;
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            ++i;
            return old;
        }
        friend bool operator==(const Iter &a, const Iter &b) { return a.i == b.i; }
    };
    Iter begin() const { return {this, 0}; }
    Iter end() const { return {this, n_}; }

  private:
    PermPair first_{};
    size_t n_ = 0;
    std::vector<PermPair> more_;
};

// Full result of evaluate_multiple.
struct Evaluation {
    StateVec state;    // fingerprint: the least canonicalised backward state
    PermPairs pairs;   // every (front, back) reaching it, in candidate order
    StateVec forward;  // the phase-normalised forward state
    uint64_t key() const { return state.hash_value(); }
};

// Result of evaluate: the first pair only.
struct EvaluationFirst {
    StateVec state;
    Permut32 front, back;
    StateVec forward;
};

// What the search needs: the key and the pairs, no state copies.
struct EvalKey {
    uint64_t key = 0;
    PermPairs pairs;
};

struct Evaluator {
  public:
    // A new evaluator seeded from the operating system. At most 8 qubits
    // (the permutation width); more is a fatal error.
    static Evaluator from_random(size_t nqubits);
    static Evaluator from_rng(Rng &rng, size_t nqubits);

    size_t nqubits() const { return initial_state_.nqubits(); }
    const StateVec &initial_state() const { return initial_state_; }
    const StateVec &backtrack_state() const { return backtrack_state_; }

    Evaluation evaluate_multiple(std::span<const Instr32> instrs) const;
    EvaluationFirst evaluate(std::span<const Instr32> instrs) const;
    // Key of the empty circuit.
    uint64_t initial_key() const;

    // ------------------------------------------------------------ hot paths

    // `out` = initial_state with every instruction applied in order, not
    // phase-normalised (the form a child extends). Reuses out's storage.
    void forward_raw(std::span<const Instr32> instrs, StateVec &out) const;
    // Key and pairs of `instrs`, given its raw forward state.
    void evaluate_key(const StateVec &raw_forward, std::span<const Instr32> instrs, EvalKey &out) const;
    // Key and pairs of `instrs` from scratch.
    void evaluate_key(std::span<const Instr32> instrs, EvalKey &out) const;
    // `instrs` is a parent circuit plus one last instruction and `parent_raw`
    // the parent's raw forward state: fills `child_raw` with the child's raw
    // forward state (for its own children) and `out` with its key and pairs.
    // `child_raw` must not be `parent_raw`.
    void evaluate_child(const StateVec &parent_raw, std::span<const Instr32> instrs, StateVec &child_raw,
                        EvalKey &out) const;

    friend bool operator==(const Evaluator &a, const Evaluator &b) {
        return a.initial_state_ == b.initial_state_ && a.backtrack_state_ == b.backtrack_state_;
    }

  private:
    Evaluator(StateVec initial, StateVec backtrack)
        : initial_state_(std::move(initial)), backtrack_state_(std::move(backtrack)) {}

    // Runs the candidates on the phase-normalised forward state `fwd`; the
    // least backward state ends in `best`.
    void backward(const StateVec &fwd, std::span<const Instr32> instrs, StateVec &best, StateVec &bv,
                  PermPairs &pairs) const;

    StateVec initial_state_;
    StateVec backtrack_state_;
};

}  // namespace larkspan
