// Circuits with a trailing qubit permutation, and their canonical forms.
//
// Running a Circ applies `instrs` in order and then moves qubit i to qubit
// perm[i]. Swap gates, relabellings and cyclic rotations are all expressed by
// moving permutations through the instruction list, so circuits that differ
// only in such bookkeeping reach the same canonical representative.
//
// Canonicalisation is the prover's inner loop: the `*_into` / `*_in_place`
// forms below reuse the buffers of their output, so a search over all
// relabellings allocates nothing per candidate.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "circ/instr.h"
#include "groups/permutation.h"

namespace larkspan {

struct IdentityCirc;

struct Circ {
    std::vector<Instr32> instrs;
    Permut32 perm;

    Circ() = default;

    // Checks that every qubit used is below the permutation's length.
    static Circ make(std::vector<Instr32> instrs, Permut32 perm);
    // The identity permutation over the qubits used (largest + 1).
    static Circ new_no_perm(std::vector<Instr32> instrs);

    size_t len() const { return instrs.size(); }
    bool is_empty() const { return instrs.empty(); }
    size_t nqubits() const { return perm.len(); }

    // ------------------------------------------------------------ transformations

    Circ permut(Permut32 p) const;
    Circ rotate(int64_t n) const;
    Circ inverse() const;
    friend Circ operator+(const Circ &a, const Circ &b);
    Circ remove_swaps() const;
    Circ compact_qubits() const;
    Circ reorder_instrs() const;
    std::vector<Instr32> instrs_with_swaps() const;
    // The qubits used by the instructions, then the positions the permutation moves.
    std::vector<uint8_t> affected_qubits() const;

    // ------------------------------------------------------------ canonical forms

    Circ representative() const;
    std::pair<Circ, Permut32> representative_with_perm() const;
    // Canonical under relabelling and cyclic rotation; checks that the result
    // is an identity (defined with IdentityCirc).
    IdentityCirc rotate_representative() const;

    // ------------------------------------------------------------ buffer-reusing forms

    // out = src.permut(p) for a p of the same length as src.perm.
    static void permut_into(const Circ &src, Permut32 p, Circ &out);
    // out = src.rotate(n) for 0 <= n <= src.len().
    static void rotate_into(const Circ &src, size_t n, Circ &out);
    void compact_qubits_in_place();
    void reorder_instrs_in_place();

    // ------------------------------------------------------------ values

    // SipHash-1-3 over: count (4 bytes), each instruction's 8-byte feed, raw perm (4 bytes).
    uint64_t hash_value() const;
    std::string str() const;    // "Circuit { h(0) cx(0, 1) (0 1) }"
    std::string debug() const;  // "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }"

    friend bool operator==(const Circ &a, const Circ &b) {
        return a.perm == b.perm && a.instrs == b.instrs;
    }
    // Length first, then the instructions in order, then the raw permutation word.
    friend std::strong_ordering operator<=>(const Circ &a, const Circ &b);
};

// The largest qubit any instruction uses, or -1 when none uses a qubit.
int largest_qubit_used(const std::vector<Instr32> &instrs);

}  // namespace larkspan
