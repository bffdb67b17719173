// Complex state vectors of n qubits, the values every circuit is simulated on.
// Amplitude i is (re[i], im[i]); qubit q is bit q of the basis index. Both
// arrays are allocated once at their final length 2^n and never resized, so
// gate application works in place and copies between equal-sized vectors
// reuse storage. Comparison and hashing go through the tolerant reals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "circ/gate.h"
#include "circ/instr.h"
#include "groups/permutation.h"
#include "qreal.h"
#include "state/order_info.h"
#include "utils/fatal.h"
#include "utils/random.h"

namespace larkspan {

struct StateVec {
  public:
    // Length 0: only a placeholder to assign into (no constructor of the
    // public API yields it).
    StateVec() = default;

    // `new(re, im)`: the lengths must agree and be a power of two.
    static StateVec from_parts(std::vector<double> re, std::vector<double> im);
    // 2^n zero amplitudes (not a normalised state).
    static StateVec zeros(size_t nqubits);
    // Uniform re then im draws in [0, 1), normalised.
    static StateVec from_random(Rng &rng, size_t nqubits);
    // Amplitude i depends only on popcount(i): unchanged by every qubit relabelling.
    static StateVec from_random_symmetric(Rng &rng, size_t nqubits);

    StateVec clone() const { return *this; }
    // Copies `other` into this vector, reusing the storage when the lengths agree.
    void assign(const StateVec &other) {
        re_.assign(other.re_.begin(), other.re_.end());
        im_.assign(other.im_.begin(), other.im_.end());
    }

    size_t len() const { return re_.size(); }
    size_t nqubits() const { return re_.empty() ? 0 : static_cast<size_t>(__builtin_ctzll(re_.size())); }

    double *re_data() { return re_.data(); }
    double *im_data() { return im_.data(); }
    const double *re_data() const { return re_.data(); }
    const double *im_data() const { return im_.data(); }
    std::span<const double> re() const { return re_; }
    std::span<const double> im() const { return im_; }

    Complex at(size_t i) const {
        check_index(i, re_.size());
        return {re_[i], im_[i]};
    }
    void set(size_t i, Complex c) {
        check_index(i, re_.size());
        re_[i] = c.real();
        im_[i] = c.imag();
    }
    template <size_t K>
    std::array<Complex, K> access(const std::array<size_t, K> &indices) const {
        std::array<Complex, K> out;
        for (size_t t = 0; t < K; ++t) out[t] = at(indices[t]);
        return out;
    }
    template <size_t K>
    void update(const std::array<size_t, K> &indices, const std::array<Complex, K> &values) {
        for (size_t t = 0; t < K; ++t) set(indices[t], values[t]);
    }

    // ------------------------------------------------------------ gates

    // A built-in gate with a fast kernel runs that kernel; any other gate
    // multiplies by its registered matrix.
    void apply(std::span<const uint8_t> qargs, Gate16 gate);
    void apply(Instr32 instr) { apply(instr.qargs.as_slice(), instr.gate); }
    // Dense 2^k x 2^k matrix on k = 1, 2 or 3 qubits; qargs[0] is the most
    // significant bit of the matrix's local index.
    void multiply(std::span<const uint8_t> qargs, const GateMatrix &matrix);
    // Qubit k becomes qubit perm[k]. Uses the calling thread's scratch vector
    // of this size and swaps buffers, so it allocates only on a thread's
    // first use of a size.
    void apply_permutation(Permut32 perm);
    // This vector becomes `src` relabelled by `perm` (as src.clone() followed
    // by apply_permutation, without the intermediate copy). The lengths of
    // both vectors must agree.
    void assign_permuted(const StateVec &src, Permut32 perm);

    // ------------------------------------------------------------ qubit order

    // Qubits ranked by their keys, equal keys forming classes (at most 8 qubits).
    OrderInfo get_orderinfo() const { return OrderInfo::of_state(re_, im_, nqubits()); }
    // The canonical permutation: entry r is the qubit of rank r.
    Permut32 get_permutation() const { return get_orderinfo().as_bits().first; }

    // ------------------------------------------------------------ normalisation and fingerprint

    // Unit norm, then phase canonicalisation.
    void normalize();
    // Turns a reference amplitude (element 0, else the last, else the sum)
    // real and positive; keeps the norm.
    void normalize_arg();
    uint64_t hash_value() const;
    // Unit norm within 2^-24.
    bool check() const;
    // Element-wise 1/256-truncation equality over the common length.
    bool loose_eq(const StateVec &other) const;
    // "[0.7071, 0.7071j, 0.5000-0.5000j, 0.0000]"
    std::string str() const;

    // Lexicographic over re, then im, in the tolerant order; stops at the first difference.
    int compare(const StateVec &other) const;
    friend bool operator==(const StateVec &a, const StateVec &b);
    friend bool operator<(const StateVec &a, const StateVec &b) { return a.compare(b) < 0; }

  private:
    StateVec(std::vector<double> re, std::vector<double> im) : re_(std::move(re)), im_(std::move(im)) {}
    void unit_norm();

    std::vector<double> re_, im_;
};

// Grows the calling thread's scratch cache to hold a vector of `nqubits` qubits.
void reserve_state_vec_cache(size_t nqubits);

}  // namespace larkspan
