// Identity circuits (circuits equal to the identity, read cyclically) and the
// subcircuit machinery that cuts a selected piece out of one.
//
// Any rotation of an identity is again an identity, and any contiguous piece
// of the cycle equals the inverse of the rest: the prover rewrites identities
// by extracting a selected, connected and convex group of gates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "identity/circuit.h"

namespace larkspan {

// The neighbours of one gate along its wires: one entry per qubit argument.
struct WireSlots {
    static constexpr size_t UNSET = SIZE_MAX;
    size_t v[2] = {UNSET, UNSET};
    uint8_t n = 0;

    const size_t *begin() const { return v; }
    const size_t *end() const { return v + n; }
    std::vector<size_t> to_vector() const { return {begin(), end()}; }
};

struct IdentityCirc {
    Circ circ;

    IdentityCirc() = default;
    // Construction with the randomized identity check.
    static IdentityCirc checked(Circ c);
    // Taken as it is (data read from Python or from files).
    static IdentityCirc unchecked(Circ c);

    // Randomized check that the circuit is the identity; fatal error otherwise.
    bool check() const;
    uint64_t hash_value() const { return circ.hash_value(); }
    size_t nqubits() const { return circ.nqubits(); }
    size_t len() const { return circ.len(); }
    const Circ &inner() const { return circ; }
    Circ get_inner() const { return circ; }

    // For each qubit argument of gate g: the next (previous) gate, cyclically,
    // on the same wire. A wire may come back to g itself.
    WireSlots forward_slots(size_t g) const;
    WireSlots backward_slots(size_t g) const;
    std::vector<size_t> qargs_forward(size_t g) const { return forward_slots(g).to_vector(); }
    std::vector<size_t> qargs_backward(size_t g) const { return backward_slots(g).to_vector(); }

    std::string str() const;    // "Identity { h(0) h(0) (0) }"
    std::string debug() const;  // "IdentityCirc(Circ { ... })"

    friend bool operator==(const IdentityCirc &a, const IdentityCirc &b) { return a.circ == b.circ; }
    friend std::strong_ordering operator<=>(const IdentityCirc &a, const IdentityCirc &b) {
        return a.circ <=> b.circ;
    }
};

// Where a wire enters or leaves a subcircuit.
struct Port {
    uint8_t qubit;
    size_t instr_id;
    size_t qargs_idx;

    friend bool operator==(const Port &, const Port &) = default;
};

// A selection of gates of an identity; lives only while its identity does.
struct IdentitySubcircuit {
    const IdentityCirc *circuit;
    std::vector<uint8_t> gates;  // one flag per instruction

    IdentitySubcircuit(const IdentityCirc &c, std::vector<uint8_t> selected);
    // Selects the given instruction indices (each below the circuit's length).
    static IdentitySubcircuit from_indices(const IdentityCirc &c, std::span<const uint8_t> indices);

    bool is_connected() const;
    std::vector<Port> inputs() const;
    std::vector<Port> outputs() const;
    bool is_convex() const;
    // (extracted, remaining), or nothing when the selection cannot be cut out.
    std::optional<std::pair<Circ, Circ>> split() const;

  private:
    bool selected(size_t i) const { return gates[i] != 0; }
    template <class F>
    void for_each_port(bool forward, F &&f) const;
};

// Row n of COMBINATIONS: every k-subset of {0..n-1} for k = 0..n/2+1, sizes
// ascending, each size in lexicographic order; a subset as a bit mask.
// n must be below 20 (fatal error otherwise).
constexpr size_t COMBINATIONS_ROWS = 20;
std::span<const uint32_t> combinations_row(size_t n);

// Every split of the identity over the selections of its COMBINATIONS row, in
// selection order, computed on the work pool.
std::vector<std::pair<Circ, Circ>> par_subcircuit_splits(const IdentityCirc &circuit);

}  // namespace larkspan
