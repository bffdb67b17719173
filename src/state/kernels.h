// Gate kernels: the nine built-in gates that dominate the search get direct
// in-place loops over their amplitude pairs (no matrix product, no registry
// lock); every other gate goes through the dense path on fixed 2x2, 4x4 or
// 8x8 blocks held on the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "circ/gate.h"

namespace larkspan {

struct StateVec;

using GateKernel = void (*)(StateVec &, std::span<const uint8_t>);

void perform_h_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_x_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_z_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_s_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_sdg_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_t_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_tdg_gate(StateVec &s, std::span<const uint8_t> qargs);
void perform_cx_gate(StateVec &s, std::span<const uint8_t> qargs);  // qargs[0] controls
void perform_swap_gate(StateVec &s, std::span<const uint8_t> qargs);

// GATE_FUNCS: the fast kernel of a gate, or null. Built on first use from the
// registry's display names; read without locking afterwards.
GateKernel find_kernel(Gate16 gate);

// A gate matrix in the form the dense path multiplies with: row-major, split
// into real and imaginary parts, for k = 1, 2 or 3 qubits.
struct FixedMatrix {
    unsigned k = 0;
    double re[64];
    double im[64];
};

// Checks k and the matrix shape with the dense path's fatal errors.
void check_matrix_shape(size_t k, size_t rows, size_t cols);
FixedMatrix to_fixed_matrix(const GateMatrix &m);  // shape already checked
// The calling thread's converted copy of a registered gate's matrix, or null
// when the matrix is not 2x2, 4x4 or 8x8 (the caller then reports the shape
// error through `multiply`). Registered matrices never change, so the copy
// stays valid; only the first use per thread and gate takes the registry lock.
const FixedMatrix *cached_gate_matrix(Gate16 gate);

// Dense application on k = m.k qubits; qargs are checked by the caller.
void multiply_fixed(StateVec &s, std::span<const uint8_t> qargs, const FixedMatrix &m);

// Fatal index error unless every qubit is below the state's qubit count, and
// a fatal error when a qubit repeats.
void check_qargs(const StateVec &s, std::span<const uint8_t> qargs);

}  // namespace larkspan
