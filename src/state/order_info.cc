#include "state/order_info.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace larkspan {

namespace detail {
void order_fatal_too_many(size_t n) {
    fatal("Qubit ordering supports at most 8 qubits, got " + std::to_string(n));
}
}  // namespace detail

namespace {

// All rows for one qubit count, stored back to back.
struct EqMaskRows {
    std::vector<Permut32> perms;
    std::vector<uint32_t> offsets;  // rows + 1 entries
};

// A permutation p keeps every class of mask m in place exactly when every
// cut of m (a clear bit b: positions b and b+1 in different classes) is also
// a cut of p (p maps {0..b} onto itself). So with `joined` = the bits that
// are not cuts of p, p belongs to the rows of every superset of `joined`;
// visiting the row in order and appending keeps each table row in that order.
EqMaskRows build_rows(size_t n) {
    size_t nrows = EqMaskToPerms::rows(n);
    uint32_t full = static_cast<uint32_t>(nrows - 1);
    const auto &all = Permut32::all(n);
    std::vector<uint32_t> joined(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        uint32_t j = 0;
        unsigned hi = 0;
        for (unsigned b = 0; b + 1 < n; ++b) {
            hi = std::max<unsigned>(hi, all[i].get(b));
            if (hi != b) j |= 1u << b;
        }
        joined[i] = j;
    }
    EqMaskRows t;
    std::vector<uint32_t> counts(nrows, 0);
    auto for_supersets = [&](uint32_t j, auto &&f) {
        uint32_t free = full & ~j;
        for (uint32_t s = free;; s = (s - 1) & free) {
            f(j | s);
            if (s == 0) break;
        }
    };
    for (uint32_t j : joined) for_supersets(j, [&](uint32_t m) { ++counts[m]; });
    t.offsets.resize(nrows + 1, 0);
    for (size_t m = 0; m < nrows; ++m) t.offsets[m + 1] = t.offsets[m] + counts[m];
    t.perms.resize(t.offsets[nrows]);
    std::vector<uint32_t> fill(t.offsets.begin(), t.offsets.end() - 1);
    for (size_t i = 0; i < all.size(); ++i)
        for_supersets(joined[i], [&](uint32_t m) { t.perms[fill[m]++] = all[i]; });
    return t;
}

}  // namespace

std::span<const Permut32> EqMaskToPerms::row(size_t n, size_t m) const {
    check_index(n, ORDER_MAX_QUBITS + 1);
    check_index(m, rows(n));
    static std::once_flag once[ORDER_MAX_QUBITS + 1];
    static EqMaskRows tables[ORDER_MAX_QUBITS + 1];
    std::call_once(once[n], [n] { tables[n] = build_rows(n); });
    const EqMaskRows &t = tables[n];
    return {t.perms.data() + t.offsets[m], t.offsets[m + 1] - t.offsets[m]};
}

}  // namespace larkspan
