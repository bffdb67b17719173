// The process-wide gate registry. Every gate is a 16-bit handle into
// INSTRUCTION_SET; circuits, kernels and files carry handles, never matrices.
// A gate is identified by its matrix: registering a known matrix returns the
// existing handle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qreal.h"

namespace larkspan {

// Dense square matrix stored column by column.
struct GateMatrix {
    size_t rows = 0, cols = 0;
    std::vector<Complex> data;  // data[c * rows + r]

    // Fatal unless rows is a power of two and the matrix is square (in that order).
    static void check_shape(size_t rows, size_t cols);

    Complex operator()(size_t r, size_t c) const { return data[c * rows + r]; }
    uint64_t hash_value() const;
    GateMatrix adjoint() const;
};

struct GateData {
    std::string name;
    std::vector<std::string> params;
    GateMatrix matrix;
    std::optional<uint16_t> adjoint;

    uint64_t hash_value() const { return matrix.hash_value(); }
    std::string display() const;
};

struct Gate16 {
    uint16_t idx = 0;

    constexpr Gate16() = default;
    constexpr explicit Gate16(uint16_t i) : idx(i) {}

    // Registers the gate, or returns the registered gate with the same matrix.
    static Gate16 create(std::string name, std::vector<std::string> params, GateMatrix matrix);
    // First registered gate whose display form equals `text` byte for byte.
    static std::optional<Gate16> from_name(std::string_view text);
    // Reads a serialized display form; unknown names are a fatal error.
    static Gate16 deserialize(std::string_view text);
    static size_t registry_len();

    unsigned nqargs() const;
    Gate16 adjoint() const;
    std::string name() const;
    std::vector<std::string> params() const;
    GateMatrix matrix() const;
    std::string display() const;  // "h", "rz(pi/3)"
    std::string debug() const;    // "Gate(17 -> rz(pi/3))"
    uint64_t hash_value() const;  // SipHash of the 2-byte handle

    // Runs f(const GateMatrix&) while holding read access to the registry.
    template <class F>
    decltype(auto) with_matrix(F &&f) const;

    friend constexpr bool operator==(Gate16 a, Gate16 b) { return a.idx == b.idx; }
    friend constexpr auto operator<=>(Gate16 a, Gate16 b) { return a.idx <=> b.idx; }
};

// Named built-in handles (their positions in the built-in table).
namespace gates {
constexpr Gate16 I{0}, H{1}, X{2}, Z{3}, Y{4}, S{5}, SDG{6}, T{7}, TDG{8}, CX{9}, CZ{10}, CY{11},
    CS{12}, CSDG{13}, SWAP{14};
constexpr uint16_t BUILTIN_COUNT = 23;
}  // namespace gates

namespace detail {
struct RegistryReadLock {
    RegistryReadLock();
    ~RegistryReadLock();
    RegistryReadLock(const RegistryReadLock &) = delete;
    RegistryReadLock &operator=(const RegistryReadLock &) = delete;
};
// Caller must hold a RegistryReadLock.
const GateData &registry_entry(uint16_t idx);
}  // namespace detail

template <class F>
decltype(auto) Gate16::with_matrix(F &&f) const {
    detail::RegistryReadLock lock;
    return f(detail::registry_entry(idx).matrix);
}

}  // namespace larkspan
