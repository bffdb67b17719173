// Breadth-first search over circuits. Every circuit taken from the queue is
// extended by every instruction; each extension is evaluated and filed in
// the raw map, and only extensions that open a new class are queued.
//
// Parallel without changing the result: evaluating a circuit depends only on
// the circuit, so the extensions of the entries already in the queue are
// evaluated ahead on the OpenMP threads while the calling thread files the
// results in queue order. Filing (and with it the queue, the counters and
// the progress lines) is exactly the one-thread algorithm's, so the map is
// built identically. A failed evaluation is kept in its slot and raised when
// filing reaches it, after the progress lines the one-thread algorithm would
// have printed. There are no barriers: no thread waits for another except
// the filing thread for the one entry it needs next, and it evaluates other
// entries meanwhile.
//
// A child shares its parent's forward pass: each queued circuit is run
// forwards once, and each extension applies only its one new instruction to
// a copy. Gate kernels are deterministic, so the state is bit-identical to a
// run from scratch.
#include "search/search.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <sstream>
#include <string>
#include <thread>

#include "search/evaluator.h"
#include "search/raw_eccs.h"
#include "state/state_vec.h"
#include "utils/fatal.h"
#include "utils/fmt_join.h"

namespace larkspan {

namespace {

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

// How far evaluation may run ahead of filing, in queue entries. Bounds the
// memory of results not yet filed; far more than two threads need.
constexpr size_t WINDOW = 512;
// Queued evaluations (some five milliseconds of work) before a search starts its
// threads: waking them costs up to a scheduler time slice on a busy machine.
constexpr size_t PARALLEL_MIN_EVALUATIONS = 8192;

// The evaluation of one queue entry: its circuit, the forward state its
// extensions share, and the key and pairs of its extension by every
// instruction. Built in a thread's own buffer, then swapped into the entry's
// slot by whichever thread finishes it first.
struct EntryEval {
    std::vector<Instr32> circuit;  // in circuit order
    StateVec forward;
    std::vector<EvalKey> results;  // one per instruction
    std::exception_ptr error;      // the failure of extension `error_at`
    size_t error_at = 0;

    void swap(EntryEval &o) noexcept {
        circuit.swap(o.circuit);
        std::swap(forward, o.forward);
        results.swap(o.results);
        error.swap(o.error);
        std::swap(error_at, o.error_at);
    }
};

// Slot states; the tag holds (entry << 2) | state, so a stale thread can
// never mistake a reused slot for the entry it worked on.
enum : uint64_t { PUBLISHED = 0, CLAIMED = 1, WRITING = 2, DONE = 3 };
constexpr uint64_t tag_of(size_t entry, uint64_t state) { return (uint64_t{entry} << 2) | state; }

struct alignas(64) Slot {
    std::atomic<uint64_t> tag{tag_of(0, DONE)};
    std::atomic<const AliasCons *> circ{nullptr};
    EntryEval eval;
};

struct alignas(64) PaddedIndex {
    std::atomic<size_t> v{0};
};

// Waiting that stays polite when the machine has fewer free cores than threads.
struct Backoff {
    unsigned spins = 0;
    void reset() { spins = 0; }
    void wait() {
        if (spins < 64) {
            ++spins;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }
};

void progress_line(std::string &line, const std::array<size_t, 3> &counters,
                   std::span<const Instr32> circuit, size_t queued, size_t classes) {
    std::ostringstream os;
    os << '#' << counters[0] << " Exploring " << fjoin(" ", circuit) << " (" << queued
       << " queued, " << classes << " ECCs, " << counters[1] << " circs, " << counters[2]
       << " circs perm)\n";
    line = os.str();
}

// The breadth-first search. The calling thread (OpenMP thread 0) consumes
// the queue in order and files every result; the entries published to the
// ring are claimed in order by whichever thread is free, the filing thread
// included while it waits for the entry it needs next. When that entry is
// held by a thread that makes no progress (preempted on a busy machine) and
// nothing else is left to claim, the filing thread evaluates it itself; the
// first result committed wins, and both are bit-identical.
template <class Keys>
SearchResult run_search(const Evaluator &ev, std::span<const Instr32> instrs, size_t max_size,
                        const SearchProgress &progress, const Keys &keys) {
    SearchResult result{RawECCs(ev), {}};
    RawECCs &map = result.map;
    auto &counters = result.counters;
    const size_t m = instrs.size();

    std::vector<AliasList> queue{AliasList()};
    std::vector<Slot> ring(WINDOW);
    PaddedIndex published, next;  // entries below `published` are in the ring; `next` hints the first unclaimed
    std::atomic<bool> stop{false};
    std::atomic<unsigned> finished{0};  // helper threads that left the region

    // Takes entry e for evaluation when nobody has.
    auto try_claim = [&](size_t e, AliasList &circ) {
        Slot &s = ring[e % WINDOW];
        uint64_t t = s.tag.load(std::memory_order_acquire);
        if (t != tag_of(e, PUBLISHED)) return false;
        circ = AliasList(s.circ.load(std::memory_order_relaxed));
        return s.tag.compare_exchange_strong(t, tag_of(e, CLAIMED), std::memory_order_acq_rel);
    };
    // The next published entry nobody has claimed yet.
    auto claim_next = [&](size_t &e, AliasList &circ) {
        e = next.v.load(std::memory_order_relaxed);
        while (e < published.v.load(std::memory_order_acquire)) {
            if (next.v.compare_exchange_weak(e, e + 1, std::memory_order_relaxed)) {
                if (try_claim(e, circ)) return true;
                e = next.v.load(std::memory_order_relaxed);
            }
        }
        return false;
    };
    auto evaluate = [&](AliasList circ, EntryEval &out) {
        size_t j = 0;
        out.error = nullptr;
        out.results.resize(m);
        if (m == 0) return;  // nothing to evaluate
        try {
            circ.collect(out.circuit);
            keys.prepare(out.circuit, out.forward);
            thread_local std::vector<Instr32> child;
            child.assign(out.circuit.begin(), out.circuit.end());
            child.emplace_back();
            for (; j < m; ++j) {
                child.back() = instrs[j];
                keys.evaluate(out.forward, child, out.results[j]);
            }
        } catch (...) {
            out.error = std::current_exception();
            out.error_at = j;
        }
    };
    auto commit = [&](size_t e, EntryEval &eval) {
        Slot &s = ring[e % WINDOW];
        uint64_t t = tag_of(e, CLAIMED);
        if (!s.tag.compare_exchange_strong(t, tag_of(e, WRITING), std::memory_order_acquire)) return;
        s.eval.swap(eval);
        s.tag.store(tag_of(e, DONE), std::memory_order_release);
    };
    auto work_on = [&](size_t e, AliasList circ) {
        thread_local EntryEval buffer;
        evaluate(circ, buffer);
        commit(e, buffer);
    };

    std::vector<Instr32> instr_vec;
    std::string line;
    size_t head = 0;

    // Makes entry `head` ready, helping with (or taking over) the evaluations.
    auto await_head = [&] {
        Slot &s = ring[head % WINDOW];
        Backoff backoff;
        unsigned idle = 0;
        for (;;) {
            uint64_t t = s.tag.load(std::memory_order_acquire);
            if (t == tag_of(head, DONE)) return;
            size_t e;
            AliasList circ;
            if (t == tag_of(head, PUBLISHED) && try_claim(head, circ)) {
                work_on(head, circ);
            } else if (claim_next(e, circ)) {
                work_on(e, circ);
                idle = 0;
                backoff.reset();
            } else if (t == tag_of(head, CLAIMED) && ++idle > 256) {
                // The holder makes no progress and nothing else is left: do it here too.
                work_on(head, queue[head]);
            } else {
                backoff.wait();
            }
        }
    };

    auto file_next = [&] {
        // The slot of entry head - 1 is free again: publish up to a full window.
        size_t p = published.v.load(std::memory_order_relaxed);
        for (size_t limit = std::min(queue.size(), head + WINDOW); p < limit; ++p) {
            Slot &s = ring[p % WINDOW];
            s.circ.store(queue[p].cell(), std::memory_order_relaxed);
            s.tag.store(tag_of(p, PUBLISHED), std::memory_order_release);
        }
        published.v.store(p, std::memory_order_release);

        await_head();
        const EntryEval &r = ring[head % WINDOW].eval;
        AliasList circ = queue[head];
        instr_vec.assign(r.circuit.begin(), r.circuit.end());
        ++head;
        if (counters[0] % 400 == 0) {
            progress_line(line, counters, instr_vec, queue.size() - head, map.len());
            progress(line);
        }
        for (size_t j = 0; j < m; ++j) {
            if (r.error && j == r.error_at) std::rethrow_exception(r.error);
            const EvalKey &k = r.results[j];
            instr_vec.push_back(instrs[j]);
            for (PermPair pair : k.pairs) {
                auto opened = map.add_entry(k.key, pair.front, pair.back, circ, instr_vec);
                if (opened && instr_vec.size() < max_size) queue.push_back(*opened);
                ++counters[2];
            }
            instr_vec.pop_back();
            ++counters[1];
        }
        ++counters[0];
    };

    // Small searches (and the first levels of large ones) finish sooner than
    // sleeping threads wake up: the team starts only once enough work is queued.
    const bool one_thread = omp_get_max_threads() < 2 || omp_in_parallel();
    while (head < queue.size() && (one_thread || (queue.size() - head) * m < PARALLEL_MIN_EVALUATIONS))
        file_next();
    if (head == queue.size()) return result;

    std::exception_ptr failure;
#pragma omp parallel
    {
        if (omp_get_thread_num() == 0) {
            try {
                while (head < queue.size()) file_next();
            } catch (...) {
                failure = std::current_exception();
            }
            stop.store(true, std::memory_order_release);
        } else {
            Backoff backoff;
            while (!stop.load(std::memory_order_acquire)) {
                size_t e;
                AliasList circ;
                if (claim_next(e, circ)) {
                    work_on(e, circ);
                    backoff.reset();
                } else {
                    backoff.wait();
                }
            }
            finished.fetch_add(1, std::memory_order_release);
        }
    }
    // The region's end already waits for every thread; this makes the
    // ordering explicit (and visible to race detectors).
    (void)finished.load(std::memory_order_acquire);
    if (failure) std::rethrow_exception(failure);
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

    const auto n = static_cast<uint8_t>(nqubits);  // an evaluator has at most eight qubits
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
