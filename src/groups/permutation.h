// Qubit permutations of at most eight positions, packed into one 32-bit word
// so that they copy, compare and hash as integers inside circuit records and
// hash-table entries.
//
// Layout of `raw`: bits 3i..3i+2 hold entry i (0 <= i < 8), bits 24..27 the
// length, bits 28..31 are zero. p[i] = at(i); (a * b)[i] = a[b[i]].
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "utils/fatal.h"
#include "utils/siphash.h"

namespace larkspan {

constexpr uint8_t PERMUT_MAX_LEN = 8;

namespace detail {
// Out of line so the inline fast paths stay small.
[[noreturn]] void permut_fatal_len();       // "Permutation length must be ..."
[[noreturn]] void permut_fatal_value();     // "Permutation values must be less than 8"
[[noreturn]] void permut_fatal_unique();    // "Permutation values must be unique"
[[noreturn]] void permut_fatal_idx();       // "assertion failed: idx < 8"
[[noreturn]] void permut_fatal_same_len();  // "assertion failed: self.len() == other.len()"

template <class T>
constexpr bool below_8(T v) {
    if constexpr (std::is_signed_v<T>) {
        if (v < 0) return false;
    }
    return static_cast<uint64_t>(v) < 8;
}
}  // namespace detail

// One comparator of a sorting network, or one emitted transposition.
struct SwapPair {
    uint8_t a, b;
    friend constexpr bool operator==(SwapPair, SwapPair) = default;
};

// The transpositions that sort one permutation; at most 19 (length 8).
struct SwapList {
    std::array<SwapPair, 19> items{};
    uint8_t count = 0;

    const SwapPair *begin() const { return items.data(); }
    const SwapPair *end() const { return items.data() + count; }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    SwapPair operator[](size_t i) const { return items[i]; }
};

struct Permut32Iter;

struct Permut32 {
    uint32_t raw = 0;

    constexpr Permut32() = default;
    constexpr explicit Permut32(uint32_t r) : raw(r) {}

    // ------------------------------------------------------------ construction

    static constexpr Permut32 identity_unchecked(uint8_t n) {
        uint32_t r = static_cast<uint32_t>(n) << 24;
        for (uint32_t i = 0; i < n; ++i) r |= i << (3 * i);
        return Permut32(r);
    }
    static Permut32 identity(size_t n) {
        if (n > PERMUT_MAX_LEN) detail::permut_fatal_len();
        return identity_unchecked(static_cast<uint8_t>(n));
    }

    // Entry i = i-th value. Checks each value in turn: range first, then uniqueness.
    template <class Range>
    static Permut32 from_iter(const Range &values) {
        uint32_t r = 0, len = 0;
        unsigned seen = 0;
        for (auto v : values) {
            if (!detail::below_8(v)) detail::permut_fatal_value();
            unsigned u = static_cast<unsigned>(v);
            if (seen & (1u << u)) detail::permut_fatal_unique();
            seen |= 1u << u;
            r |= u << (3 * len);
            ++len;  // at most 8: a ninth value < 8 always repeats
        }
        return Permut32(r | (len << 24));
    }
    static Permut32 from_iter(std::initializer_list<int> values) {
        return from_iter<std::initializer_list<int>>(values);
    }

    // No checks: the caller guarantees at most eight values below 8.
    template <class Range>
    static constexpr Permut32 from_iter_unchecked(const Range &values) {
        uint32_t r = 0, len = 0;
        for (auto v : values) {
            r |= (static_cast<uint32_t>(v) & 7u) << (3 * len);
            ++len;
        }
        return Permut32(r | (len << 24));
    }

    // Length n; the first entries are `values`, the rest are filled with the
    // position itself when still free, else the smallest free value.
    template <class Range>
    static Permut32 from_iter_with_ext(size_t n, const Range &values) {
        if (n > PERMUT_MAX_LEN) detail::permut_fatal_len();
        uint32_t r = 0;
        unsigned seen = 0;
        auto it = std::begin(values);
        auto end = std::end(values);
        for (unsigned i = 0; i < n; ++i) {
            unsigned v;
            if (it != end) {
                auto x = *it;
                ++it;
                if (!detail::below_8(x)) detail::permut_fatal_value();
                v = static_cast<unsigned>(x);
            } else if (!(seen & (1u << i))) {
                v = i;
            } else {
                v = static_cast<unsigned>(__builtin_ctz(~seen));
            }
            if (seen & (1u << v)) detail::permut_fatal_unique();
            seen |= 1u << v;
            r |= v << (3 * i);
        }
        return Permut32(r | (static_cast<uint32_t>(n) << 24));
    }
    static Permut32 from_iter_with_ext(size_t n, std::initializer_list<int> values) {
        return from_iter_with_ext<std::initializer_list<int>>(n, values);
    }

    // Row n of ALL_PERMUTATIONS (built on first use); n > 8 is a fatal index error.
    static const std::vector<Permut32> &all(size_t n);

    // ------------------------------------------------------------ access

    constexpr uint8_t len() const { return static_cast<uint8_t>((raw >> 24) & 0xF); }
    constexpr bool empty() const { return len() == 0; }
    // Entry i without any check; i must be below 8.
    constexpr uint8_t get(unsigned i) const { return static_cast<uint8_t>((raw >> (3 * i)) & 7u); }
    uint8_t at(size_t i) const {
        if (i >= 8) detail::permut_fatal_idx();
        return get(static_cast<unsigned>(i));
    }
    uint8_t operator[](size_t i) const { return at(i); }

    void set(size_t i, uint8_t v) {
        if (i >= 8) detail::permut_fatal_idx();
        if (v >= 8) detail::permut_fatal_value();
        unsigned s = 3 * static_cast<unsigned>(i);
        raw = (raw & ~(7u << s)) | (static_cast<uint32_t>(v) << s);
    }
    void set_len(size_t n) {
        if (n > PERMUT_MAX_LEN) detail::permut_fatal_len();
        raw = (raw & 0x00FFFFFFu) | (static_cast<uint32_t>(n) << 24);
    }
    // Clears the entries at positions >= n and sets the length to n.
    Permut32 shrink(size_t n) const {
        if (n > PERMUT_MAX_LEN) detail::permut_fatal_len();
        uint32_t keep = n == 8 ? 0x00FFFFFFu : ((1u << (3 * n)) - 1);
        return Permut32((raw & keep) | (static_cast<uint32_t>(n) << 24));
    }

    Permut32Iter iter() const;
    Permut32Iter begin() const;
    std::default_sentinel_t end() const { return {}; }

    // ------------------------------------------------------------ algebra

    constexpr Permut32 inv() const {
        unsigned n = len();
        uint32_t r = raw & 0x0F000000u;
        for (unsigned i = 0; i < n; ++i) r |= i << (3 * get(i));
        return Permut32(r);
    }
    constexpr Permut32 inverse() const { return inv(); }

    constexpr bool is_identity() const { return raw == identity_unchecked(len()).raw; }

    // Exchanges the entries at positions a and b.
    void swap_inputs(size_t a, size_t b) {
        uint8_t va = at(a), vb = at(b);
        set(a, vb);
        set(b, va);
    }

    // Moves bit k of a basis-state index to bit p[k]; bits at k >= n are dropped.
    constexpr uint64_t permut_bv(uint64_t bv) const {
        uint64_t r = 0;
        unsigned n = len();
        for (unsigned k = 0; k < n; ++k, bv >>= 1) r |= (bv & 1u) << get(k);
        return r;
    }

    // Both extended by fixed points to the larger of the two lengths.
    std::pair<Permut32, Permut32> coordinate_permute(Permut32 other) const {
        return {extended_to(other.len()), other.extended_to(len())};
    }
    // Appends fixed points up to length n (no-op when already that long).
    constexpr Permut32 extended_to(uint8_t n) const {
        uint8_t s = len();
        if (s >= n) return *this;
        uint32_t r = raw & 0x00FFFFFFu;
        for (uint32_t i = s; i < n; ++i) r = (r & ~(7u << (3 * i))) | (i << (3 * i));
        return Permut32(r | (static_cast<uint32_t>(n) << 24));
    }

    // The transpositions, in order, that the sorting network of this length
    // performs to sort the entries; applying them leaves the identity.
    SwapList generate_swaps() const;

    // (a * b)[i] = a[b[i]]: b is applied first.
    friend Permut32 operator*(Permut32 a, Permut32 b) {
        if (a.len() != b.len()) detail::permut_fatal_same_len();
        return a.compose_unchecked(b);
    }
    // Same as *, the caller guarantees equal lengths.
    constexpr Permut32 compose_unchecked(Permut32 b) const {
        unsigned n = len();
        uint32_t r = raw & 0x0F000000u;
        for (unsigned i = 0; i < n; ++i) r |= static_cast<uint32_t>(get(b.get(i))) << (3 * i);
        return Permut32(r);
    }

    // ------------------------------------------------------------ values

    friend constexpr bool operator==(Permut32 a, Permut32 b) { return a.raw == b.raw; }
    // By the raw word: length first, then the highest position down to entry 0.
    friend constexpr std::strong_ordering operator<=>(Permut32 a, Permut32 b) {
        return a.raw <=> b.raw;
    }
    void hash_into(SipHasher13 &h) const { h.write_u32(raw); }

    std::string str() const;  // "(0 2 1)", "()"
    friend std::ostream &operator<<(std::ostream &os, Permut32 p);
};

struct Permut32Iter {
    using value_type = uint8_t;
    using difference_type = std::ptrdiff_t;

    Permut32 perm;
    uint8_t idx = 0;

    // Rust-style stepping: false once all entries are yielded.
    bool next(uint8_t &out) {
        if (idx >= perm.len()) return false;
        out = perm.get(idx++);
        return true;
    }

    uint8_t operator*() const { return perm.get(idx); }
    Permut32Iter &operator++() {
        ++idx;
        return *this;
    }
    Permut32Iter operator++(int) {
        Permut32Iter old = *this;
        ++idx;
        return old;
    }
    friend bool operator==(const Permut32Iter &it, std::default_sentinel_t) {
        return it.idx >= it.perm.len();
    }
    Permut32Iter begin() const { return *this; }
    std::default_sentinel_t end() const { return {}; }
};

inline Permut32Iter Permut32::iter() const { return Permut32Iter{*this, 0}; }
inline Permut32Iter Permut32::begin() const { return iter(); }

// ---------------------------------------------------------------- tables

// Comparator lists per length 0..8; each row is a sorting network.
namespace detail {
inline constexpr SwapPair SORT_NET_2[] = {{0, 1}};
inline constexpr SwapPair SORT_NET_3[] = {{0, 2}, {0, 1}, {1, 2}};
inline constexpr SwapPair SORT_NET_4[] = {{0, 2}, {1, 3}, {0, 1}, {2, 3}, {1, 2}};
inline constexpr SwapPair SORT_NET_5[] = {{0, 3}, {1, 4}, {0, 2}, {1, 3}, {0, 1},
                                          {2, 4}, {1, 2}, {3, 4}, {2, 3}};
inline constexpr SwapPair SORT_NET_6[] = {{0, 5}, {1, 3}, {2, 4}, {1, 2}, {3, 4}, {0, 3},
                                          {2, 5}, {0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}};
inline constexpr SwapPair SORT_NET_7[] = {{0, 6}, {2, 3}, {4, 5}, {0, 2}, {1, 4}, {3, 6},
                                          {0, 1}, {2, 5}, {3, 4}, {1, 2}, {4, 6}, {2, 3},
                                          {4, 5}, {1, 2}, {3, 4}, {5, 6}};
inline constexpr SwapPair SORT_NET_8[] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6},
                                          {3, 7}, {0, 1}, {2, 3}, {4, 5}, {6, 7}, {2, 4}, {3, 5},
                                          {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6}};
}  // namespace detail

inline constexpr std::array<std::span<const SwapPair>, 9> SORTING_NETWORKS = {
    std::span<const SwapPair>(),      std::span<const SwapPair>(),
    std::span<const SwapPair>(detail::SORT_NET_2), std::span<const SwapPair>(detail::SORT_NET_3),
    std::span<const SwapPair>(detail::SORT_NET_4), std::span<const SwapPair>(detail::SORT_NET_5),
    std::span<const SwapPair>(detail::SORT_NET_6), std::span<const SwapPair>(detail::SORT_NET_7),
    std::span<const SwapPair>(detail::SORT_NET_8),
};

inline SwapList Permut32::generate_swaps() const {
    SwapList out;
    Permut32 step = *this;
    for (SwapPair c : SORTING_NETWORKS[len()]) {
        uint8_t va = step.get(c.a), vb = step.get(c.b);
        if (va > vb) {
            step.raw = (step.raw & ~((7u << (3 * c.a)) | (7u << (3 * c.b)))) |
                       (static_cast<uint32_t>(vb) << (3 * c.a)) |
                       (static_cast<uint32_t>(va) << (3 * c.b));
            out.items[out.count++] = c;
        }
    }
    return out;
}

// Every permutation of each length 0..8 (Heap's order, identity first).
// Built once on first use; concurrent first users wait for the builder.
struct AllPermutations {
    const std::vector<Permut32> &operator[](size_t n) const { return Permut32::all(n); }
    size_t size() const { return PERMUT_MAX_LEN + 1; }
};
inline constexpr AllPermutations ALL_PERMUTATIONS{};

}  // namespace larkspan

template <>
struct std::hash<larkspan::Permut32> {
    size_t operator()(larkspan::Permut32 p) const noexcept {
        return static_cast<size_t>((static_cast<uint64_t>(p.raw) * 0x9E3779B97F4A7C15ULL) >> 16);
    }
};
