// Finished equivalence classes. An ECC lists its members as (instructions,
// trailing permutation) pairs, each read as the circuit followed by the
// relabelling; all members denote the same operator. ECCs is the collection
// for one qubit count, as produced by RawECCs::simplify.
#pragma once

#include <compare>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "circ/instr.h"
#include "groups/permutation.h"

namespace larkspan {

// One member: the circuit and its trailing permutation.
using EccMember = std::pair<std::vector<Instr32>, Permut32>;

struct ECC {
    std::vector<EccMember> members;

    ECC() = default;
    explicit ECC(std::vector<EccMember> m) : members(std::move(m)) {}

    size_t len() const { return members.size(); }
    const EccMember &operator[](size_t i) const {
        check_index(i, members.size());
        return members[i];
    }

    // Every member with its permutation, relative to the first member's,
    // written out as SWAP instructions.
    std::vector<std::vector<Instr32>> circuits() const;
    // The first member's permutation becomes the identity, the others are
    // expressed relative to it; instructions are unchanged.
    ECC simplify_permute() &&;
    // "ECC {\n\t<circuit>,\n...}"
    std::string str() const;

    friend bool operator==(const ECC &, const ECC &) = default;
    // Member by member; each member by instructions (a proper prefix first),
    // then permutation; a proper prefix of members first.
    friend auto operator<=>(const ECC &a, const ECC &b) { return a.members <=> b.members; }
};

struct ECCs {
    std::vector<ECC> eccs;
    size_t nqubits = 0;

    size_t len() const { return eccs.size(); }
    // The classes whose circuits do not all give the same state (up to
    // global phase) from one fresh random state.
    std::vector<ECC> check() const;
    // The classes with more than one member.
    ECCs filter_single() const;
    // The classes with at least two members, joined by " & ".
    std::string str() const;

    friend bool operator==(const ECCs &, const ECCs &) = default;
};

}  // namespace larkspan
