#include "circ/instr.h"

namespace larkspan {

Instr32 Instr32::make(Gate16 g, const uint8_t *qubits, size_t n) {
    if (n != g.nqargs()) fatal("Number of qubit arguments does not match gate arity");
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (qubits[i] == qubits[j]) fatal("Qubit arguments must be unique");
    // 255 marks an absent position; as a qubit it would silently shorten the instruction.
    for (size_t i = 0; i < n; ++i)
        if (qubits[i] == QArgs16::ABSENT) fatal("Qubit index 255 is reserved for an absent qubit");
    return bind(g, std::span<const uint8_t>(qubits, n));
}

std::string Instr32::str() const {
    std::string s = gate.display();
    s += '(';
    for (size_t i = 0, n = qargs.len(); i < n; ++i) {
        if (i) s += ", ";
        s += std::to_string(qargs.q[i]);
    }
    s += ')';
    return s;
}

std::ostream &operator<<(std::ostream &os, Instr32 i) { return os << i.str(); }

}  // namespace larkspan
