#include "groups/permutation.h"

namespace larkspan {

namespace detail {
void permut_fatal_len() { fatal("Permutation length must be less than or equal to 8"); }
void permut_fatal_value() { fatal("Permutation values must be less than 8"); }
void permut_fatal_unique() { fatal("Permutation values must be unique"); }
void permut_fatal_idx() { fatal("assertion failed: idx < 8"); }
void permut_fatal_same_len() { fatal("assertion failed: self.len() == other.len()"); }
}  // namespace detail

namespace {

// Iterative Heap's algorithm. The order matters beyond this file: wherever
// several candidates tie, the first one in its row wins.
std::vector<Permut32> heap_permutations(unsigned n) {
    std::vector<Permut32> out;
    uint8_t arr[PERMUT_MAX_LEN];
    unsigned c[PERMUT_MAX_LEN] = {};
    for (unsigned i = 0; i < n; ++i) arr[i] = static_cast<uint8_t>(i);
    auto emit = [&] { out.push_back(Permut32::from_iter_unchecked(std::span<const uint8_t>(arr, n))); };
    emit();
    unsigned k = 0;
    while (k + 1 < n) {
        if (c[k] <= k) {
            unsigned j = (k % 2 == 0) ? c[k] : 0;
            std::swap(arr[j], arr[k + 1]);
            ++c[k];
            k = 0;
            emit();
        } else {
            c[k] = 0;
            ++k;
        }
    }
    return out;
}

struct AllRows {
    std::vector<Permut32> rows[PERMUT_MAX_LEN + 1];
    AllRows() {
        for (unsigned n = 0; n <= PERMUT_MAX_LEN; ++n) rows[n] = heap_permutations(n);
    }
};

}  // namespace

const std::vector<Permut32> &Permut32::all(size_t n) {
    check_index(n, PERMUT_MAX_LEN + 1);
    // Function-local static: built once, concurrent first callers wait.
    static const AllRows table;
    return table.rows[n];
}

std::string Permut32::str() const {
    std::string s = "(";
    for (unsigned i = 0, n = len(); i < n; ++i) {
        if (i) s += ' ';
        s += static_cast<char>('0' + get(i));
    }
    s += ')';
    return s;
}

std::ostream &operator<<(std::ostream &os, Permut32 p) { return os << p.str(); }

}  // namespace larkspan
