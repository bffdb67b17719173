// Breadth-first search over circuits. Every circuit taken from the queue is
// extended by every instruction; each extension is evaluated and filed in
// the raw map, and only extensions that open a new class are queued.
//
// Parallel without changing the result: evaluating a circuit depends only on
// the circuit, so the extensions of the entries already in the queue are
// evaluated ahead, in batches, on the work pool. Filing (and with it the
// queue, the counters and the progress lines) stays sequential in queue
// order, so the map is built exactly as by the one-thread algorithm. A
// failed evaluation is kept in its slot and raised when filing reaches it,
// after the progress lines the one-thread algorithm would have printed.
//
// A child shares its parent's forward pass: each queued circuit is run
// forwards once per batch, and each extension applies only its one new
// instruction to a copy. Gate kernels are deterministic, so the state is
// bit-identical to a run from scratch.
#include "search/search.h"

#include <algorithm>
#include <exception>
#include <sstream>
#include <string>

#include "search/evaluator.h"
#include "search/raw_eccs.h"
#include "state/state_vec.h"
#include "utils/fatal.h"
#include "utils/fmt_join.h"
#include "utils/pool.h"

namespace larkspan {

namespace {

// The outcome of evaluating one extension.
struct Evaluated {
    EvalKey result;
    std::exception_ptr error;
};

// Keys circuits by the evaluator's permutation-canonical fingerprint.
struct CanonicalKeys {
    const Evaluator &ev;

    void prepare(std::span<const Instr32> parent, StateVec &fwd) const { ev.forward_raw(parent, fwd); }
    void evaluate(const StateVec &parent_fwd, std::span<const Instr32> circuit, EvalKey &out) const {
        thread_local StateVec child_fwd;
        ev.evaluate_child(parent_fwd, circuit, child_fwd, out);
    }
};

// Keys circuits by the plain hash of their output state, identity permutations.
struct PlainKeys {
    const Evaluator &ev;

    void prepare(std::span<const Instr32> parent, StateVec &state) const {
        state.assign(ev.backtrack_state());
        for (Instr32 i : parent) state.apply(i);
    }
    void evaluate(const StateVec &parent_state, std::span<const Instr32> circuit, EvalKey &out) const {
        thread_local StateVec work;
        work.assign(parent_state);
        work.apply(circuit.back());
        work.normalize_arg();
        out.key = work.hash_value();
        Permut32 id = Permut32::identity(ev.nqubits());
        out.pairs.clear();
        out.pairs.push_back(PermPair{id, id});
    }
};

// About this many evaluations per batch: enough to keep every core busy
// past the stragglers, little enough to keep the slots in cache.
constexpr size_t BATCH_EVALUATIONS = 2048;

void progress_line(std::string &line, const std::array<size_t, 3> &counters,
                   std::span<const Instr32> circuit, size_t queued, size_t classes) {
    std::ostringstream os;
    os << '#' << counters[0] << " Exploring " << fjoin(" ", circuit) << " (" << queued
       << " queued, " << classes << " ECCs, " << counters[1] << " circs, " << counters[2]
       << " circs perm)\n";
    line = os.str();
}

template <class Keys>
SearchResult run_search(const Evaluator &ev, std::span<const Instr32> instrs, size_t max_size,
                        const SearchProgress &progress, const Keys &keys) {
    SearchResult result{RawECCs(ev), {}};
    RawECCs &map = result.map;
    auto &counters = result.counters;
    const size_t m = instrs.size();
    const size_t batch_entries = std::max<size_t>(1, BATCH_EVALUATIONS / std::max<size_t>(m, 1));

    std::vector<AliasList> queue{AliasList()};  // entries before `head` are done
    size_t head = 0;
    std::vector<Instr32> flat;      // the batch's circuits, back to back
    std::vector<size_t> offsets;    // circuit e is flat[offsets[e] .. offsets[e + 1])
    std::vector<StateVec> parents;  // their shared forward states
    std::vector<std::exception_ptr> parent_errors;
    std::vector<Evaluated> evaluated;
    std::vector<Instr32> instr_vec, scratch;
    std::string line;

    while (head < queue.size()) {
        const size_t nb = std::min(queue.size() - head, batch_entries);
        flat.clear();
        offsets.assign(1, 0);
        for (size_t e = 0; e < nb; ++e) {
            queue[head + e].collect(scratch);
            flat.insert(flat.end(), scratch.begin(), scratch.end());
            offsets.push_back(flat.size());
        }
        auto circuit_of = [&](size_t e) {
            return std::span<const Instr32>(flat.data() + offsets[e], offsets[e + 1] - offsets[e]);
        };

        if (parents.size() < nb) parents.resize(nb);
        parent_errors.assign(nb, nullptr);
        pool::for_each(nb, [&](size_t e) {
            try {
                keys.prepare(circuit_of(e), parents[e]);
            } catch (...) {
                parent_errors[e] = std::current_exception();
            }
        });

        if (evaluated.size() < nb * m) evaluated.resize(nb * m);
        pool::for_each(nb * m, [&](size_t k) {
            size_t e = k / m;
            Evaluated &out = evaluated[k];
            out.error = parent_errors[e];
            if (out.error) return;
            try {
                thread_local std::vector<Instr32> circuit;
                auto parent = circuit_of(e);
                circuit.assign(parent.begin(), parent.end());
                circuit.push_back(instrs[k % m]);
                keys.evaluate(parents[e], circuit, out.result);
            } catch (...) {
                out.error = std::current_exception();
            }
        });

        for (size_t e = 0; e < nb; ++e) {
            AliasList circ = queue[head++];
            auto parent = circuit_of(e);
            instr_vec.assign(parent.begin(), parent.end());
            if (counters[0] % 400 == 0) {
                progress_line(line, counters, instr_vec, queue.size() - head, map.len());
                progress(line);
            }
            for (size_t j = 0; j < m; ++j) {
                const Evaluated &r = evaluated[e * m + j];
                if (r.error) std::rethrow_exception(r.error);
                instr_vec.push_back(instrs[j]);
                for (PermPair pair : r.result.pairs) {
                    auto opened = map.add_entry(r.result.key, pair.front, pair.back, circ, instr_vec);
                    if (opened && instr_vec.size() < max_size) queue.push_back(*opened);
                    ++counters[2];
                }
                instr_vec.pop_back();
                ++counters[1];
            }
            ++counters[0];
        }
    }
    return result;
}

// Registers, in the order a one-thread search would first need them, the
// adjoints that the backward passes look up, so that concurrent evaluations
// cannot register new gates in a scheduling-dependent order.
void register_adjoints(std::span<const Instr32> instrs) {
    for (Instr32 i : instrs) (void)i.gate.adjoint();
}

}  // namespace

std::vector<Instr32> generation_instrs(std::vector<Gate16> gates, size_t nqubits) {
    for (Gate16 g : gates) {
        unsigned k = g.nqargs();
        if (k != 1 && k != 2) fatal("Only 1 and 2 qubit instructions are supported");
    }
    std::vector<Gate16> adjoints;
    adjoints.reserve(gates.size());
    for (Gate16 g : gates) adjoints.push_back(g.adjoint());
    for (Gate16 a : adjoints)
        if (std::find(gates.begin(), gates.end(), a) == gates.end()) gates.push_back(a);
    std::stable_sort(gates.begin(), gates.end(), [](Gate16 a, Gate16 b) {
        unsigned ka = a.nqargs(), kb = b.nqargs();
        return ka != kb ? ka < kb : a.idx < b.idx;
    });

    if (nqubits > 255) fatal("Only qubit indices below 255 can be placed");
    const auto n = static_cast<uint8_t>(nqubits);
    std::vector<Instr32> instrs;
    for (Gate16 g : gates) {
        if (g.nqargs() == 1) {
            for (uint8_t q = 0; q < n; ++q) instrs.emplace_back(g, q);
        } else {
            for (uint8_t i = 0; i < n; ++i)
                for (uint8_t j = 0; j < n; ++j)
                    if (j != i) instrs.emplace_back(g, i, j);
        }
    }
    std::stable_sort(instrs.begin(), instrs.end(),
                     [](Instr32 a, Instr32 b) { return a.largest_qubit() < b.largest_qubit(); });
    return instrs;
}

SearchResult RawECCs::search(const Evaluator &evaluator, std::span<const Instr32> instrs,
                             size_t max_size, const SearchProgress &progress) {
    register_adjoints(instrs);
    return run_search(evaluator, instrs, max_size, progress, CanonicalKeys{evaluator});
}

SearchResult RawECCs::search_naive(const Evaluator &evaluator, std::span<const Instr32> instrs,
                                   size_t max_size, const SearchProgress &progress) {
    return run_search(evaluator, instrs, max_size, progress, PlainKeys{evaluator});
}

SearchResult RawECCs::generate(const Evaluator &evaluator, std::vector<Gate16> gates,
                               size_t max_size, const SearchProgress &progress) {
    auto instrs = generation_instrs(std::move(gates), evaluator.nqubits());
    return search(evaluator, instrs, max_size, progress);
}

SearchResult RawECCs::generate_naive(const Evaluator &evaluator, std::vector<Gate16> gates,
                                     size_t max_size, const SearchProgress &progress) {
    auto instrs = generation_instrs(std::move(gates), evaluator.nqubits());
    return search_naive(evaluator, instrs, max_size, progress);
}

}  // namespace larkspan
