#include "identity/circuit.h"

#include <algorithm>

#include "circ/gate.h"
#include "utils/fatal.h"
#include "utils/siphash.h"

namespace larkspan {

namespace {

// Relabelling table for a permutation: qubit q -> p.at(q). The at() check
// stays, so a qubit index of 8 or more fails as it would one at a time.
inline Instr32 relabel(Instr32 i, Permut32 p) { return i.apply_permutation(p); }

}  // namespace

int largest_qubit_used(const std::vector<Instr32> &instrs) {
    int m = -1;
    for (Instr32 i : instrs)
        for (uint8_t q : i.qargs) m = std::max(m, static_cast<int>(q));
    return m;
}

Circ Circ::make(std::vector<Instr32> instrs, Permut32 perm) {
    int m = largest_qubit_used(instrs);
    if (m >= 0 && m >= static_cast<int>(perm.len()))
        fatal("Permutation length must be greater than the max qubit index.");
    Circ c;
    c.instrs = std::move(instrs);
    c.perm = perm;
    return c;
}

Circ Circ::new_no_perm(std::vector<Instr32> instrs) {
    int m = largest_qubit_used(instrs);
    Permut32 perm = m < 0 ? Permut32() : Permut32::identity(static_cast<size_t>(m) + 1);
    Circ c;
    c.instrs = std::move(instrs);
    c.perm = perm;
    return c;
}

// ---------------------------------------------------------------- transformations

Circ Circ::permut(Permut32 p) const {
    auto [s, q] = perm.coordinate_permute(p);
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (Instr32 i : instrs) out.push_back(relabel(i, q));
    return make(std::move(out), q * s * q.inv());
}

void Circ::permut_into(const Circ &src, Permut32 p, Circ &out) {
    out.instrs.resize(src.instrs.size());
    for (size_t k = 0; k < src.instrs.size(); ++k) out.instrs[k] = relabel(src.instrs[k], p);
    out.perm = p * src.perm * p.inv();
}

Circ Circ::rotate(int64_t n) const {
    size_t len = instrs.size();
    size_t start;
    if (n >= 0) {
        start = static_cast<size_t>(n);
    } else {
        // Negative n counts from the end; beyond -len the start wraps past the length.
        start = len + static_cast<size_t>(n);
    }
    if (start > len)
        fatal("range start index " + std::to_string(start) + " out of range for slice of length " +
              std::to_string(len));
    Circ out;
    if (n >= 0) {
        rotate_into(*this, start, out);
    } else {
        // The last -n gates move in front of the circuit: past the permutation.
        out.instrs.reserve(len);
        for (size_t k = start; k < len; ++k) out.instrs.push_back(relabel(instrs[k], perm));
        for (size_t k = 0; k < start; ++k) out.instrs.push_back(instrs[k]);
    }
    return make(std::move(out.instrs), perm);
}

void Circ::rotate_into(const Circ &src, size_t n, Circ &out) {
    size_t len = src.instrs.size();
    out.instrs.resize(len);
    out.perm = src.perm;
    Permut32 inv = src.perm.inv();
    std::copy(src.instrs.begin() + static_cast<ptrdiff_t>(n), src.instrs.end(), out.instrs.begin());
    for (size_t k = 0; k < n; ++k) out.instrs[len - n + k] = relabel(src.instrs[k], inv);
}

Circ Circ::inverse() const {
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (auto it = instrs.rbegin(); it != instrs.rend(); ++it) out.push_back(relabel(it->adjoint(), perm));
    return make(std::move(out), perm.inv());
}

Circ operator+(const Circ &a, const Circ &b) {
    auto [pa, pb] = a.perm.coordinate_permute(b.perm);
    Permut32 pa_inv = pa.inv();
    std::vector<Instr32> out;
    out.reserve(a.instrs.size() + b.instrs.size());
    out.insert(out.end(), a.instrs.begin(), a.instrs.end());
    for (Instr32 i : b.instrs) out.push_back(relabel(i, pa_inv));
    return Circ::make(std::move(out), pb * pa);
}

Circ Circ::remove_swaps() const {
    size_t n = perm.len();
    uint8_t map[16];
    for (size_t q = 0; q < n; ++q) map[q] = static_cast<uint8_t>(q);
    auto slot = [&](uint8_t q) -> uint8_t & {
        check_index(q, n);
        return map[q];
    };
    std::vector<Instr32> out;
    out.reserve(instrs.size());
    for (Instr32 i : instrs) {
        if (i.gate == gates::SWAP) {
            if (i.qargs.len() != 2) fatal("Index out of bounds");
            std::swap(slot(i.qargs.q[0]), slot(i.qargs.q[1]));
            continue;
        }
        Instr32 r = i;
        for (size_t k = 0; k < i.qargs.len(); ++k) r.qargs.q[k] = slot(i.qargs.q[k]);
        out.push_back(r);
    }
    Permut32 m = Permut32::from_iter_unchecked(std::span<const uint8_t>(map, n));
    return make(std::move(out), perm * m.inv());
}

std::vector<uint8_t> Circ::affected_qubits() const {
    std::vector<uint8_t> out;
    for (Instr32 i : instrs)
        for (uint8_t q : i.qargs) out.push_back(q);
    for (size_t q = 0; q < perm.len(); ++q)
        if (perm.at(q) != q) out.push_back(static_cast<uint8_t>(q));
    return out;
}

void Circ::compact_qubits_in_place() {
    if (instrs.empty()) return;
    int m = largest_qubit_used(instrs);
    size_t n = perm.len();
    for (size_t q = n; q-- > 0;)
        if (perm.at(q) != q) {
            m = std::max(m, static_cast<int>(q));
            break;
        }
    if (m < 0 || static_cast<size_t>(m) + 1 >= n) return;
    uint8_t head[8];
    for (int q = 0; q <= m; ++q) head[q] = perm.get(static_cast<unsigned>(q));
    perm = Permut32::from_iter(std::span<const uint8_t>(head, static_cast<size_t>(m) + 1));
}

Circ Circ::compact_qubits() const {
    Circ c = *this;
    c.compact_qubits_in_place();
    return c;
}

void Circ::reorder_instrs_in_place() {
    // Insertion sort that moves an instruction only past neighbours on other qubits.
    for (size_t i = 1; i < instrs.size(); ++i) {
        for (size_t j = i; j >= 1; --j) {
            Instr32 a = instrs[j - 1], b = instrs[j];
            if (!a.disjoint(b) || !(b < a)) break;
            instrs[j - 1] = b;
            instrs[j] = a;
        }
    }
}

Circ Circ::reorder_instrs() const {
    Circ c = *this;
    c.reorder_instrs_in_place();
    return c;
}

std::vector<Instr32> Circ::instrs_with_swaps() const {
    std::vector<Instr32> out = instrs;
    for (SwapPair s : perm.generate_swaps()) out.push_back(Instr32(gates::SWAP, s.a, s.b));
    return out;
}

// ---------------------------------------------------------------- canonical forms

namespace {

Circ canonical_base(const Circ &c) { return c.compact_qubits().remove_swaps(); }

// One relabelled candidate, left in `cand`.
inline void make_candidate(const Circ &base, Permut32 p, Circ &cand) {
    Circ::permut_into(base, p, cand);
    cand.reorder_instrs_in_place();
    cand.compact_qubits_in_place();
}

}  // namespace

Circ Circ::representative() const {
    Circ base = canonical_base(*this);
    if (base.is_empty()) return base;
    Circ best, cand;
    best.instrs.reserve(base.len());
    cand.instrs.reserve(base.len());
    bool have = false;
    for (Permut32 p : Permut32::all(base.perm.len())) {
        make_candidate(base, p, cand);
        if (!have || cand < best) {
            std::swap(best, cand);
            have = true;
        }
    }
    return best;
}

std::pair<Circ, Permut32> Circ::representative_with_perm() const {
    Circ base = canonical_base(*this);
    if (base.is_empty()) return {std::move(base), Permut32()};
    Circ best, cand;
    best.instrs.reserve(base.len());
    cand.instrs.reserve(base.len());
    Permut32 best_p;
    bool have = false;
    for (Permut32 p : Permut32::all(base.perm.len())) {
        make_candidate(base, p, cand);
        auto c = have ? cand <=> best : std::strong_ordering::less;
        if (c < 0 || (c == 0 && p.raw < best_p.raw)) {
            std::swap(best, cand);
            best_p = p;
            have = true;
        }
    }
    return {std::move(best), best_p};
}

// ---------------------------------------------------------------- values

std::strong_ordering operator<=>(const Circ &a, const Circ &b) {
    if (auto c = a.instrs.size() <=> b.instrs.size(); c != 0) return c;
    for (size_t k = 0; k < a.instrs.size(); ++k)
        if (auto c = a.instrs[k].order_key() <=> b.instrs[k].order_key(); c != 0) return c;
    return a.perm.raw <=> b.perm.raw;
}

uint64_t Circ::hash_value() const {
    SipHasher13 h;
    h.write_u32(static_cast<uint32_t>(instrs.size()));
    for (Instr32 i : instrs) i.hash_into(h);
    h.write_u32(perm.raw);
    return h.finish();
}

std::string Circ::str() const {
    std::string s = "Circuit { ";
    for (Instr32 i : instrs) {
        s += i.str();
        s += ' ';
    }
    s += perm.str();
    s += " }";
    return s;
}

std::string Circ::debug() const {
    std::string s = "Circ { instrs: [";
    for (size_t k = 0; k < instrs.size(); ++k) {
        if (k) s += ", ";
        s += instrs[k].str();
    }
    s += "], perm: ";
    s += perm.str();
    s += " }";
    return s;
}

}  // namespace larkspan
