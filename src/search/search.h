// Instruction sets for generation: every gate placed on every qubit (pair)
// of the evaluator, adjoints added, in the fixed order the search relies on.
#pragma once

#include <cstddef>
#include <vector>

#include "circ/gate.h"
#include "circ/instr.h"

namespace larkspan {

// Adds the missing adjoints, sorts the gates by (qubit count, handle), places
// each on every qubit / ordered qubit pair of `nqubits`, then sorts stably by
// the largest qubit used. Gates of other than one or two qubits are a fatal
// error, raised before anything is registered or searched.
std::vector<Instr32> generation_instrs(std::vector<Gate16> gates, size_t nqubits);

}  // namespace larkspan
