// The raw ECC map: the working store of the search. Each 64-bit class key
// (an evaluator fingerprint) maps to one bucket holding the circuits filed
// under it, every one equivalent to the others up to qubit relabellings
// before and after. Circuits are stored as shared newest-first lists, so a
// bucket entry costs one cell and one reference.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "circ/instr.h"
#include "groups/permutation.h"
#include "search/ecc.h"
#include "utils/alias_list.h"
#include "utils/key_map.h"
#include "utils/small_vec.h"

namespace larkspan {

struct Evaluator;

// One stored circuit with the permutation pair the evaluator reported for it.
struct CircTriple {
    Permut32 front_perm;
    AliasList circ;
    Permut32 back_perm;

    // The canonical form: the circuit relabelled by front_perm^-1, followed
    // by back_perm * front_perm.
    EccMember simplify() const;
    std::string str() const;    // canonical instructions, then the permutation
    std::string debug() const;  // front_perm, stored instructions, back_perm
};

// One raw class. Entry 0 is the circuit that opened it.
struct CircuitECC {
    size_t size = 0;  // instruction count of the opener
    SmallVec<Instr32, 4> front_gates;  // small insertion-ordered sets
    SmallVec<Instr32, 4> back_gates;
    SmallVec<CircTriple, 1> circuits;

    static CircuitECC root(size_t nqubits);
    // Sorted members, relabelled so that the smallest member's qubits come first.
    ECC simplify() const;
    std::string str() const;
    std::string debug() const;
};

// Receives each progress line (with its line end) as the search goes.
using SearchProgress = std::function<void(std::string_view)>;

struct SearchResult;

struct RawECCs {
    // Class key -> bucket; the keys are their own hash codes. Iterates in
    // insertion order.
    KeyMap<CircuitECC> inner;
    size_t nqubits = 0;
    // Owns the cells of the lists of `inner` (and keeps alive those of any
    // map whose lists this one reuses).
    AliasStore cells;
    // Scratch of add_entry, kept to spare the allocations.
    std::vector<Instr32> front_scratch, back_scratch;

    RawECCs() = default;
    // Holds only the class of the empty circuit.
    explicit RawECCs(const Evaluator &evaluator);

    size_t len() const { return inner.size(); }

    // Files `instr_vec` (a whole, non-empty circuit whose list without the
    // last instruction is `circ`) under `key`. Returns its new list when it
    // opened a bucket. A circuit of a known class is stored only when none of
    // its relabelled front and back surface gates is already in the bucket.
    std::optional<AliasList> add_entry(uint64_t key, Permut32 front_perm, Permut32 back_perm,
                                       AliasList circ, std::span<const Instr32> instr_vec);

    // Every bucket simplified, sorted.
    ECCs simplify() const;

    // Breadth-first enumeration (see search.cc); all return the map and the
    // counters [circuits extended, circuits evaluated, add_entry calls].
    static SearchResult search(const Evaluator &evaluator, std::span<const Instr32> instrs,
                               size_t max_size, const SearchProgress &progress);
    static SearchResult search_naive(const Evaluator &evaluator, std::span<const Instr32> instrs,
                                     size_t max_size, const SearchProgress &progress);
    static SearchResult generate(const Evaluator &evaluator, std::vector<Gate16> gates,
                                 size_t max_size, const SearchProgress &progress);
    static SearchResult generate_naive(const Evaluator &evaluator, std::vector<Gate16> gates,
                                       size_t max_size, const SearchProgress &progress);
};

struct SearchResult {
    RawECCs map;
    std::array<size_t, 3> counters{};
};

// Gates that qualify instructions as surface gates, in scan order: those none
// of whose qubits an earlier scanned instruction used. `reverse` scans from
// the last instruction. Each is relabelled by `relabel` before it is appended.
void circuit_get_surface_gates(std::span<const Instr32> circuit, bool reverse, Permut32 relabel,
                               std::vector<Instr32> &out);

}  // namespace larkspan
