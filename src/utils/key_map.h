// A map from 64-bit keys that already are uniformly spread hashes (evaluator
// fingerprints): open addressing on the key's own low bits, no mixing. The
// values live densely in insertion order, so iteration is deterministic and
// a lookup touches one small probe cell and then the value itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "utils/fatal.h"

namespace larkspan {

template <class V>
class KeyMap {
  public:
    // Key first, so `for (auto &[key, value] : map)` reads like a std::map.
    using value_type = std::pair<uint64_t, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    iterator find(uint64_t key) {
        size_t i = locate(key);
        return i == NONE ? end() : begin() + static_cast<std::ptrdiff_t>(i);
    }
    const_iterator find(uint64_t key) const {
        size_t i = locate(key);
        return i == NONE ? end() : begin() + static_cast<std::ptrdiff_t>(i);
    }
    bool contains(uint64_t key) const { return locate(key) != NONE; }

    // Inserts when the key is new; otherwise leaves the stored value alone.
    std::pair<iterator, bool> emplace(uint64_t key, V value) {
        if (size_t i = locate(key); i != NONE) return {begin() + static_cast<std::ptrdiff_t>(i), false};
        if (entries_.size() >= MAX_ENTRIES) fatal("Too many ECC classes for one map");
        if (2 * (entries_.size() + 1) > cells_.size()) grow();
        entries_.emplace_back(key, std::move(value));
        place(key, static_cast<uint32_t>(entries_.size() - 1));
        return {end() - 1, true};
    }

    void reserve(size_t n) {
        entries_.reserve(n);
        while (2 * n > cells_.size()) grow();
    }

  private:
    struct Cell {
        uint64_t key;
        uint32_t index;  // EMPTY, or a position in entries_
    };
    static constexpr uint32_t EMPTY = UINT32_MAX;
    static constexpr size_t NONE = SIZE_MAX;
    static constexpr size_t MAX_ENTRIES = UINT32_MAX - 1;

    size_t locate(uint64_t key) const {
        if (cells_.empty()) return NONE;
        size_t mask = cells_.size() - 1;
        for (size_t i = static_cast<size_t>(key) & mask;; i = (i + 1) & mask) {
            const Cell &c = cells_[i];
            if (c.index == EMPTY) return NONE;
            if (c.key == key) return c.index;
        }
    }

    void place(uint64_t key, uint32_t index) {
        size_t mask = cells_.size() - 1;
        size_t i = static_cast<size_t>(key) & mask;
        while (cells_[i].index != EMPTY) i = (i + 1) & mask;
        cells_[i] = Cell{key, index};
    }

    // Doubles the probe table (at most half full) and re-places every key.
    void grow() {
        cells_.assign(cells_.empty() ? 16 : 2 * cells_.size(), Cell{0, EMPTY});
        for (size_t i = 0; i < entries_.size(); ++i)
            place(entries_[i].first, static_cast<uint32_t>(i));
    }

    std::vector<value_type> entries_;
    std::vector<Cell> cells_;  // size a power of two
};

}  // namespace larkspan
