// Compact instructions: one gate handle and up to two 8-bit qubit indices in
// 32 bits, so circuits are short arrays of words that compare, hash, relabel
// and copy without allocation.
//
// As a word: bits 0-15 the gate, 16-23 the first qubit, 24-31 the second;
// 255 marks an absent qubit and absent positions always come last.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "circ/gate.h"
#include "groups/permutation.h"
#include "utils/fatal.h"
#include "utils/siphash.h"

namespace larkspan {

struct QArgs16 {
    static constexpr uint8_t ABSENT = 255;

    std::array<uint8_t, 2> q{ABSENT, ABSENT};

    constexpr QArgs16() = default;
    constexpr explicit QArgs16(uint8_t a) : q{a, ABSENT} {}
    constexpr QArgs16(uint8_t a, uint8_t b) : q{a, b} {}

    // At most two qubits; a third is a fatal index error.
    static QArgs16 from_slice(std::span<const uint8_t> qubits) {
        if (qubits.size() > 2) check_index(2, 2);
        QArgs16 r;
        for (size_t i = 0; i < qubits.size(); ++i) r.q[i] = qubits[i];
        return r;
    }

    constexpr size_t len() const { return q[0] == ABSENT ? 0 : (q[1] == ABSENT ? 1 : 2); }
    constexpr bool empty() const { return q[0] == ABSENT; }
    // The present qubits, in position order.
    std::span<const uint8_t> as_slice() const { return {q.data(), len()}; }
    const uint8_t *begin() const { return q.data(); }
    const uint8_t *end() const { return q.data() + len(); }
    std::span<const uint8_t> iter() const { return as_slice(); }
    constexpr bool contains(uint8_t x) const {
        return x != ABSENT && (q[0] == x || q[1] == x);
    }
    uint8_t operator[](size_t i) const {
        check_index(i, len());
        return q[i];
    }

    // Packed as bits 16-31 of an Instr32 word.
    constexpr uint16_t bits() const { return static_cast<uint16_t>(q[0] | (q[1] << 8)); }

    friend constexpr bool operator==(QArgs16 a, QArgs16 b) { return a.q == b.q; }
    // Lexicographic on the bytes: an absent position sorts after every qubit.
    friend constexpr std::strong_ordering operator<=>(QArgs16 a, QArgs16 b) {
        return a.order_key() <=> b.order_key();
    }
    constexpr uint16_t order_key() const { return static_cast<uint16_t>((q[0] << 8) | q[1]); }

    // Length-prefixed byte sequence: the length 2 as four bytes, then the bytes.
    void hash_into(SipHasher13 &h) const {
        h.write_u32(2);
        h.write(q.data(), 2);
    }
};

struct alignas(4) Instr32 {
    Gate16 gate;
    QArgs16 qargs;

    constexpr Instr32() = default;
    constexpr Instr32(Gate16 g, QArgs16 qa) : gate(g), qargs(qa) {}
    constexpr Instr32(Gate16 g, uint8_t a) : gate(g), qargs(a) {}
    constexpr Instr32(Gate16 g, uint8_t a, uint8_t b) : gate(g), qargs(a, b) {}

    // The checked constructor of Python's Instr(gate, qargs): the count must
    // match the gate's arity, the qubits must be unique, and at most two fit.
    static Instr32 make(Gate16 g, const uint8_t *qubits, size_t n);
    // Binding without the arity and uniqueness checks (callers that did
    // their own arity check); a third qubit is still a fatal index error.
    static Instr32 bind(Gate16 g, std::span<const uint8_t> qubits) {
        return Instr32(g, QArgs16::from_slice(qubits));
    }

    static constexpr Instr32 from_word(uint32_t w) {
        return Instr32(Gate16(static_cast<uint16_t>(w)),
                       QArgs16(static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)));
    }
    constexpr uint32_t word() const {
        return static_cast<uint32_t>(gate.idx) | (static_cast<uint32_t>(qargs.bits()) << 16);
    }
    // A word whose unsigned order is the instruction order: qubits, then gate.
    constexpr uint32_t order_key() const {
        return (static_cast<uint32_t>(qargs.order_key()) << 16) | gate.idx;
    }

    friend constexpr bool operator==(Instr32 a, Instr32 b) { return a.word() == b.word(); }
    friend constexpr std::strong_ordering operator<=>(Instr32 a, Instr32 b) {
        return a.order_key() <=> b.order_key();
    }

    // Eight bytes: gate (2, LE), then the QArgs16 feed (2, 0, 0, 0, q0, q1).
    void hash_into(SipHasher13 &h) const { h.write_u64(hash_feed()); }
    constexpr uint64_t hash_feed() const {
        return static_cast<uint64_t>(gate.idx) | (uint64_t{2} << 16) |
               (static_cast<uint64_t>(qargs.q[0]) << 48) | (static_cast<uint64_t>(qargs.q[1]) << 56);
    }
    uint64_t hash_value() const {
        SipHasher13 h;
        hash_into(h);
        return h.finish();
    }

    // Bit (q mod 8) for every present qubit q.
    constexpr uint8_t arg_mask() const {
        uint8_t m = 0;
        if (qargs.q[0] != QArgs16::ABSENT) {
            m |= static_cast<uint8_t>(1u << (qargs.q[0] & 7));
            if (qargs.q[1] != QArgs16::ABSENT) m |= static_cast<uint8_t>(1u << (qargs.q[1] & 7));
        }
        return m;
    }

    // The frontier mask {0..m-1} extended by this instruction, or nothing when
    // a qubit used for the first time is not the lowest unused index.
    constexpr std::optional<uint8_t> pass_mask(uint8_t mask) const {
        for (size_t i = 0, n = qargs.len(); i < n; ++i) {
            unsigned q = qargs.q[i];
            if (mask & (1u << (q & 7))) continue;
            unsigned lowest = static_cast<unsigned>(std::countr_one(mask));
            if (q != lowest) return std::nullopt;
            mask = static_cast<uint8_t>(mask | (1u << q));
        }
        return mask;
    }

    // The largest qubit used; 0 when there is none.
    constexpr uint8_t largest_qubit() const {
        switch (qargs.len()) {
            case 0: return 0;
            case 1: return qargs.q[0];
            default: return qargs.q[0] > qargs.q[1] ? qargs.q[0] : qargs.q[1];
        }
    }

    constexpr bool disjoint(Instr32 other) const { return (arg_mask() & other.arg_mask()) == 0; }

    // May register the adjoint gate.
    Instr32 adjoint() const { return Instr32(gate.adjoint(), qargs); }

    constexpr std::optional<uint8_t> position_of_qubit(uint8_t x) const {
        if (x == QArgs16::ABSENT) return std::nullopt;
        if (qargs.q[0] == x) return 0;
        if (qargs.q[1] == x) return 1;
        return std::nullopt;
    }

    // Every present qubit q becomes perm.at(q) (q >= 8 is a fatal error).
    Instr32 apply_permutation(Permut32 perm) const {
        Instr32 r = *this;
        if (qargs.q[0] != QArgs16::ABSENT) {
            r.qargs.q[0] = perm.at(qargs.q[0]);
            if (qargs.q[1] != QArgs16::ABSENT) r.qargs.q[1] = perm.at(qargs.q[1]);
        }
        return r;
    }
    Instr32 permut(Permut32 perm) const { return apply_permutation(perm); }

    std::string str() const;  // "h(3)", "cx(0, 1)", "rz(pi/3)(2)", "g()"
    friend std::ostream &operator<<(std::ostream &os, Instr32 i);
};

static_assert(sizeof(Instr32) == 4);

}  // namespace larkspan

template <>
struct std::hash<larkspan::Instr32> {
    size_t operator()(larkspan::Instr32 i) const noexcept {
        return static_cast<size_t>((static_cast<uint64_t>(i.word()) * 0x9E3779B97F4A7C15ULL) >> 16);
    }
};
