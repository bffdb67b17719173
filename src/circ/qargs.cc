#include "circ/qargs.h"

#include "utils/debug_str.h"
#include "utils/fatal.h"

namespace larkspan {

namespace {

void hash_args(SipHasher13 &h, const std::vector<Argument> &args) {
    h.write_usize(args.size());
    for (const Argument &a : args) a.hash_into(h);
}

void append_debug_list(std::string &out, const std::vector<Argument> &args) {
    out += '[';
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) out += ", ";
        out += args[i].debug();
    }
    out += ']';
}

}  // namespace

std::string Argument::str() const { return regid + "[" + std::to_string(index) + "]"; }

std::string Argument::debug() const {
    return "Argument { regid: " + debug_quote(regid) + ", index: " + std::to_string(index) + " }";
}

void Argument::hash_into(SipHasher13 &h) const {
    h.write(regid.data(), regid.size());
    h.write_u8(0xFF);
    h.write_usize(index);
}

uint64_t Argument::hash_value() const {
    SipHasher13 h;
    hash_into(h);
    return h.finish();
}

std::string Instruction::str() const {
    std::string out = gate.display() + " ";
    bool first = true;
    for (const auto *list : {&qargs, &cargs})
        for (const Argument &a : *list) {
            if (!first) out += ", ";
            out += a.str();
            first = false;
        }
    out += ';';
    return out;
}

std::string Instruction::debug() const {
    std::string out = "Instruction { gate: " + gate.debug() + ", qargs: ";
    append_debug_list(out, qargs);
    out += ", cargs: ";
    append_debug_list(out, cargs);
    out += " }";
    return out;
}

void Instruction::hash_into(SipHasher13 &h) const {
    h.write_u16(gate.idx);
    hash_args(h, qargs);
    hash_args(h, cargs);
}

uint64_t Instruction::hash_value() const {
    SipHasher13 h;
    hash_into(h);
    return h.finish();
}

Instr32 bind_qubits(Gate16 gate, std::span<const uint8_t> qubits) {
    if (qubits.size() != gate.nqargs()) fatal("Number of arguments not match for gate " + gate.display());
    // 255 marks an absent position in QArgs16; as a qubit it would silently
    // shorten the instruction.
    for (uint8_t q : qubits)
        if (q == QArgs16::ABSENT) fatal("Qubit index 255 is reserved for an absent qubit");
    return Instr32::bind(gate, qubits);
}

Instruction bind_arguments(Gate16 gate, std::span<const Argument> args) {
    size_t k = gate.nqargs();
    if (k > args.size()) check_index(k - 1, args.size());
    return Instruction{gate, {args.begin(), args.begin() + static_cast<std::ptrdiff_t>(k)},
                       {args.begin() + static_cast<std::ptrdiff_t>(k), args.end()}};
}

}  // namespace larkspan
