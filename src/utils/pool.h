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

// Below this many items a parallel region costs more than it saves (items
// of the callers take a microsecond or less; waking the team costs several).
constexpr size_t MIN_PARALLEL = 32;

// Runs body(i) for every i < n, catching per item. `body` must not throw
// past this function.
template <class Body>
void run(size_t n, Body &&body) {
    FirstError err;
    auto one = [&](size_t i) {
        if (err.skip(i)) return;
        try {
            body(i);
        } catch (...) {
            err.record(i);
        }
    };
    if (n < MIN_PARALLEL) {
        for (size_t i = 0; i < n; ++i) one(i);
    } else {
        // Dynamic scheduling: item costs vary widely (most subcircuit
        // selections are rejected at once, a few run a full split).
#pragma omp parallel for schedule(dynamic, 16)
        for (size_t i = 0; i < n; ++i) one(i);
    }
    err.rethrow();
}

}  // namespace detail

// Calls f(i) for every i < n.
template <class F>
void for_each(size_t n, F &&f) {
    detail::run(n, [&](size_t i) { f(i); });
}

// [f(0), f(1), ..., f(n-1)].
template <class F>
auto map(size_t n, F &&f) -> std::vector<std::decay_t<decltype(f(size_t{}))>> {
    using T = std::decay_t<decltype(f(size_t{}))>;
    std::vector<std::optional<T>> slots(n);
    detail::run(n, [&](size_t i) { slots[i].emplace(f(i)); });
    std::vector<T> out;
    out.reserve(n);
    for (auto &s : slots) out.push_back(std::move(*s));
    return out;
}

// The present values of f(i) (an std::optional) in index order.
template <class F>
auto filter_map(size_t n, F &&f) -> std::vector<typename std::decay_t<decltype(f(size_t{}))>::value_type> {
    using T = typename std::decay_t<decltype(f(size_t{}))>::value_type;
    std::vector<std::optional<T>> slots(n);
    detail::run(n, [&](size_t i) { slots[i] = f(i); });
    std::vector<T> out;
    for (auto &s : slots)
        if (s) out.push_back(std::move(*s));
    return out;
}

// The indices i < n for which pred(i) holds, ascending.
template <class P>
std::vector<size_t> filter(size_t n, P &&pred) {
    std::vector<unsigned char> keep(n, 0);
    detail::run(n, [&](size_t i) { keep[i] = pred(i) ? 1 : 0; });
    std::vector<size_t> out;
    for (size_t i = 0; i < n; ++i)
        if (keep[i]) out.push_back(i);
    return out;
}

}  // namespace larkspan::pool
