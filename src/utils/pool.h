// The data-parallel work pool: order-preserving map / filter / for-each over
// an index range, run on OpenMP threads.
//
// Results never depend on scheduling: each item's result lands in its own
// slot and the slots are read in index order. An exception thrown by an item
// never escapes the OpenMP region (that would terminate the process); it is
// stored, and after the loop the exception of the lowest failing index is
// rethrown on the calling thread, so the same input always fails the same way.
// Items above the lowest failure seen so far are skipped: their results could
// never be observed.
//
// Workers must only read shared state. Nested calls (a pool call made from
// inside a worker) run on the worker's thread, since OpenMP leaves nested
// parallelism off.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace larkspan::pool {

namespace detail {

// The first failure in index order, recorded from any worker.
class FirstError {
  public:
    bool skip(size_t i) const { return i > lowest_.load(std::memory_order_relaxed); }

    void record(size_t i) {
        std::lock_guard<std::mutex> lock(mu_);
        if (i < lowest_.load(std::memory_order_relaxed)) {
            lowest_.store(i, std::memory_order_relaxed);
            error_ = std::current_exception();
        }
    }

    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

  private:
    std::atomic<size_t> lowest_{SIZE_MAX};
    std::mutex mu_;
    std::exception_ptr error_;
};

// Below this many items a parallel region costs more than it saves when each
// item takes a microsecond or less (waking the team costs several). Callers
// with few but heavy items pass a smaller `min_parallel`.
constexpr size_t MIN_PARALLEL = 32;

// The number of per-thread slots a call of run() may use.
inline size_t slots() { return static_cast<size_t>(omp_get_max_threads()); }

// Runs body(i, slot) for every i < n, catching per item; `slot` < slots()
// names the running thread within this call. `body` must not throw past this
// function.
template <class Body>
void run(size_t n, size_t nslots, size_t min_parallel, Body &&body) {
    FirstError err;
    auto one = [&](size_t i, size_t slot) {
        if (err.skip(i)) return;
        try {
            body(i, slot);
        } catch (...) {
            err.record(i);
        }
    };
    if (n < min_parallel || n < 2 || nslots < 2) {
        for (size_t i = 0; i < n; ++i) one(i, 0);
    } else {
        // Dynamic scheduling: item costs vary widely (most subcircuit
        // selections are rejected at once, a few run a full split).
#pragma omp parallel for schedule(dynamic, 16) num_threads(static_cast<int>(nslots))
        for (size_t i = 0; i < n; ++i) one(i, static_cast<size_t>(omp_get_thread_num()));
    }
    err.rethrow();
}

template <class Body>
void run(size_t n, size_t min_parallel, Body &&body) {
    run(n, slots(), min_parallel, [&](size_t i, size_t) { body(i); });
}

}  // namespace detail

// Calls f(i) for every i < n.
template <class F>
void for_each(size_t n, F &&f, size_t min_parallel = detail::MIN_PARALLEL) {
    detail::run(n, min_parallel, [&](size_t i) { f(i); });
}

// [f(0), f(1), ..., f(n-1)].
template <class F>
auto map(size_t n, F &&f, size_t min_parallel = detail::MIN_PARALLEL)
    -> std::vector<std::decay_t<decltype(f(size_t{}))>> {
    using T = std::decay_t<decltype(f(size_t{}))>;
    std::vector<std::optional<T>> slots(n);
    detail::run(n, min_parallel, [&](size_t i) { slots[i].emplace(f(i)); });
    std::vector<T> out;
    out.reserve(n);
    for (auto &s : slots) out.push_back(std::move(*s));
    return out;
}

// The present values of f(i) (an std::optional) in index order. Callers keep
// few of many items (the subcircuit selections), so each thread collects its
// own (index, value) pairs instead of filling a slot per item.
template <class F>
auto filter_map(size_t n, F &&f, size_t min_parallel = detail::MIN_PARALLEL)
    -> std::vector<typename std::decay_t<decltype(f(size_t{}))>::value_type> {
    using T = typename std::decay_t<decltype(f(size_t{}))>::value_type;
    size_t nslots = detail::slots();
    std::vector<std::vector<std::pair<size_t, T>>> parts(nslots);
    detail::run(n, nslots, min_parallel, [&](size_t i, size_t slot) {
        auto r = f(i);
        if (r) parts[slot].emplace_back(i, std::move(*r));
    });
    std::vector<std::pair<size_t, T>> all;
    for (auto &p : parts)
        for (auto &e : p) all.push_back(std::move(e));
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<T> out;
    out.reserve(all.size());
    for (auto &e : all) out.push_back(std::move(e.second));
    return out;
}

// The indices i < n for which pred(i) holds, ascending.
template <class P>
std::vector<size_t> filter(size_t n, P &&pred, size_t min_parallel = detail::MIN_PARALLEL) {
    std::vector<unsigned char> keep(n, 0);
    detail::run(n, min_parallel, [&](size_t i) { keep[i] = pred(i) ? 1 : 0; });
    std::vector<size_t> out;
    for (size_t i = 0; i < n; ++i)
        if (keep[i]) out.push_back(i);
    return out;
}

}  // namespace larkspan::pool
