// Register-style instructions for callers that name registers, as in
// assembly-like circuit texts: a gate applied to quantum and classical
// arguments, each a register name and an index ("q[0]", "c[2]"). Nothing
// relates the gate's arity to the arguments; these are plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "circ/gate.h"
#include "circ/instr.h"
#include "utils/siphash.h"

namespace larkspan {

struct Argument {
    std::string regid;
    size_t index = 0;

    std::string str() const;    // "q[0]"
    std::string debug() const;  // Argument { regid: "q", index: 0 }
    // The name's bytes, a 0xFF terminator, then the index as a machine word.
    void hash_into(SipHasher13 &h) const;
    uint64_t hash_value() const;

    friend bool operator==(const Argument &, const Argument &) = default;
};

struct Instruction {
    Gate16 gate;
    std::vector<Argument> qargs;
    std::vector<Argument> cargs;

    std::string str() const;    // "cx q[0], q[1];", "h ;"
    std::string debug() const;  // Instruction { gate: Gate(1 -> h), qargs: [...], cargs: [] }
    // The 16-bit gate, then each list as its length and its items.
    void hash_into(SipHasher13 &h) const;
    uint64_t hash_value() const;

    friend bool operator==(const Instruction &, const Instruction &) = default;
};

// Binding a gate to qubit indices (Python's gate(0, 1)): the count must equal
// the gate's arity, but repeated qubits are allowed, unlike Instr(...).
Instr32 bind_qubits(Gate16 gate, std::span<const uint8_t> qubits);
// Binding a gate to register arguments: the first nqargs arguments are the
// quantum ones, the rest classical.
Instruction bind_arguments(Gate16 gate, std::span<const Argument> args);

}  // namespace larkspan
