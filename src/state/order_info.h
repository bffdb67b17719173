// Canonical qubit order of a state. Each qubit gets a key read from two
// amplitudes; qubits are ranked by key, and runs of equal keys form equality
// classes inside which no order can be preferred. The evaluator tries every
// arrangement inside the classes (from EQMASK_TO_PERMS) instead of all n!
// permutations, so a generic state costs a single candidate.
//
// Everything here is fixed-size (at most eight qubits, the Permut32 limit):
// building, refining and reading an OrderInfo never allocates.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>

#include "groups/permutation.h"
#include "qreal.h"
#include "utils/fatal.h"

namespace larkspan {

constexpr size_t ORDER_MAX_QUBITS = PERMUT_MAX_LEN;

namespace detail {
[[noreturn]] void order_fatal_too_many(size_t n);
}  // namespace detail

// The key of one qubit: [re[e], im[e], re[ē], im[ē]] with e = only that
// qubit set and ē = all other qubits set, each on the tolerant 2^-24 grid
// and ordered as unsigned words (the Qreal order).
struct QubitKey {
    std::array<uint64_t, 4> v{};

    friend constexpr bool operator==(const QubitKey &, const QubitKey &) = default;
    friend constexpr std::strong_ordering operator<=>(const QubitKey &, const QubitKey &) = default;

    // `re` and `im` hold the 2^n amplitudes (doubles or Qreals) of an n-qubit state.
    template <class Re, class Im>
    static QubitKey of(const Re &re, const Im &im, size_t nqubits, size_t q) {
        size_t e = size_t{1} << q;
        size_t ebar = ((size_t{1} << nqubits) - 1) & ~e;
        return QubitKey{{grid(re[e]), grid(im[e]), grid(re[ebar]), grid(im[ebar])}};
    }

  private:
    static uint64_t grid(double x) { return static_cast<uint64_t>(percision_repr(x)); }
};

// The candidate permutations of an ordering: canonical * p for every p of
// its EQMASK_TO_PERMS row, in row order. The first is the canonical one.
struct CandidatePerms {
    Permut32 canonical;
    std::span<const Permut32> row;

    size_t size() const { return row.size(); }
    Permut32 operator[](size_t i) const { return canonical.compose_unchecked(row[i]); }

    struct Iter {
        Permut32 canonical;
        const Permut32 *p;
        using value_type = Permut32;
        using difference_type = std::ptrdiff_t;
        Permut32 operator*() const { return canonical.compose_unchecked(*p); }
        Iter &operator++() {
            ++p;
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            ++p;
            return old;
        }
        friend bool operator==(const Iter &a, const Iter &b) { return a.p == b.p; }
    };
    Iter begin() const { return {canonical, row.data()}; }
    Iter end() const { return {canonical, row.data() + row.size()}; }
};

struct OrderInfo {
    // Creates a single-class ordering of `size` qubits.
    explicit OrderInfo(size_t size) : n_(static_cast<uint8_t>(size)) {
        if (size > ORDER_MAX_QUBITS) detail::order_fatal_too_many(size);
        for (uint8_t i = 0; i < n_; ++i) permut_[i] = i;
        ends_[0] = n_;
    }
    static OrderInfo make(size_t size) { return OrderInfo(size); }

    // The ordering of a state given by its 2^n amplitudes: qubits ranked by
    // key, every class a maximal run of equal keys.
    template <class Re, class Im>
    static OrderInfo of_state(const Re &re, const Im &im, size_t nqubits) {
        OrderInfo o(nqubits);
        o.sort_eqclass_by_key(0, [&](size_t q) { return QubitKey::of(re, im, nqubits, q); });
        return o;
    }

    size_t len() const { return n_; }
    // permut()[r] is the qubit of rank r.
    std::span<const uint8_t> permut() const { return {permut_.data(), n_}; }
    // Exclusive end positions of the classes, strictly increasing, last = len().
    std::span<const uint8_t> eq_classes() const { return {ends_.data(), nclasses_}; }
    size_t num_eqclasses() const { return nclasses_; }

    std::pair<size_t, size_t> get_eqclass_range(size_t c) const {
        check_index(c, nclasses_);
        return {c == 0 ? 0 : ends_[c - 1], ends_[c]};
    }
    std::span<const uint8_t> get_eqclass(size_t c) const {
        auto [start, end] = get_eqclass_range(c);
        return {permut_.data() + start, end - start};
    }

    // Stable-sorts class c by key(qubit) and splits it where keys differ.
    // Keys are computed once per qubit.
    template <class KeyFn>
    void sort_eqclass_by_key(size_t c, KeyFn &&key) {
        auto [start, end] = get_eqclass_range(c);
        using Key = decltype(key(size_t{0}));
        Key keys[ORDER_MAX_QUBITS];
        for (size_t i = start; i < end; ++i) keys[i] = key(static_cast<size_t>(permut_[i]));
        // Insertion sort: stable, and at most eight elements.
        for (size_t i = start + 1; i < end; ++i) {
            Key k = keys[i];
            uint8_t q = permut_[i];
            size_t j = i;
            for (; j > start && k < keys[j - 1]; --j) {
                keys[j] = keys[j - 1];
                permut_[j] = permut_[j - 1];
            }
            keys[j] = k;
            permut_[j] = q;
        }
        // New ends go just before this class's end, in increasing order.
        size_t at = c;
        for (size_t p = start + 1; p < end; ++p) {
            if (keys[p - 1] == keys[p]) continue;
            for (size_t k = nclasses_; k > at; --k) ends_[k] = ends_[k - 1];
            ends_[at++] = static_cast<uint8_t>(p);
            ++nclasses_;
        }
    }

    // The canonical permutation (entry r = qubit of rank r) and the equality
    // mask: bit p (1 <= p < n) set when positions p-1 and p share a class.
    std::pair<Permut32, uint8_t> as_bits() const {
        if (n_ <= 1) return {Permut32::identity_unchecked(n_), 0};
        return {canonical(), eq_mask()};
    }

    // The candidates (canonical permutation rearranged inside the classes,
    // in EQMASK_TO_PERMS order) and the canonical permutation.
    CandidatePerms as_perms() const;

  private:
    Permut32 canonical() const {
        return Permut32::from_iter_unchecked(std::span<const uint8_t>(permut_.data(), n_));
    }
    uint8_t eq_mask() const {
        unsigned m = ((1u << n_) - 2) & 0xFFu;
        for (uint8_t i = 0; i < nclasses_; ++i) m &= ~(1u << (ends_[i] & 7));
        return static_cast<uint8_t>(m);
    }

    std::array<uint8_t, ORDER_MAX_QUBITS> permut_{};
    std::array<uint8_t, ORDER_MAX_QUBITS> ends_{};
    uint8_t n_ = 0;
    uint8_t nclasses_ = 1;
};

// For n positions and a mask m of n-1 bits (bit k: positions k and k+1 share
// a class), the permutations of row n of ALL_PERMUTATIONS, in that row's
// order, that map every class into itself. Rows begin with the identity.
// Built once per n on first use; n > 8 or m >= 2^(n-1) is a fatal index error.
struct EqMaskToPerms {
    std::span<const Permut32> row(size_t n, size_t m) const;
    // Number of masks for n positions (1 for n <= 1).
    static size_t rows(size_t n) { return n <= 1 ? 1 : size_t{1} << (n - 1); }
    // The five-position rows (16 masks), as used for states of five qubits.
    std::span<const Permut32> operator[](size_t m) const { return row(5, m); }
};
inline constexpr EqMaskToPerms EQMASK_TO_PERMS{};

inline CandidatePerms OrderInfo::as_perms() const {
    if (n_ <= 1) return {Permut32::identity_unchecked(n_), EQMASK_TO_PERMS.row(n_, 0)};
    return {canonical(), EQMASK_TO_PERMS.row(n_, eq_mask() >> 1)};
}

}  // namespace larkspan
