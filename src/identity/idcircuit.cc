#include "identity/idcircuit.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "state/state_vec.h"
#include "utils/fatal.h"
#include "utils/pool.h"
#include "utils/random.h"

namespace larkspan {

// ---------------------------------------------------------------- identity circuits

IdentityCirc IdentityCirc::checked(Circ c) {
    IdentityCirc id = unchecked(std::move(c));
    id.check();
    return id;
}

IdentityCirc IdentityCirc::unchecked(Circ c) {
    IdentityCirc id;
    id.circ = std::move(c);
    return id;
}

std::string IdentityCirc::str() const {
    std::string s = circ.str();
    return "Identity" + s.substr(sizeof("Circuit") - 1);
}

std::string IdentityCirc::debug() const { return "IdentityCirc(" + circ.debug() + ")"; }

// Runs the first half of the gates forwards and the second half backwards
// from the permuted state; for an identity both meet in the middle. A fresh
// random state every call: repeated checks test different inputs.
bool IdentityCirc::check() const {
    const std::vector<Instr32> &instrs = circ.instrs;
    size_t half = instrs.size() / 2;
    Rng rng = Rng::from_os();
    StateVec a = StateVec::from_random(rng, circ.perm.len());
    StateVec b = a.clone();
    for (size_t i = 0; i < half; ++i) a.apply(instrs[i]);
    a.normalize_arg();
    b.apply_permutation(circ.perm.inv());
    for (size_t i = instrs.size(); i-- > half;) b.apply(instrs[i].adjoint());
    b.normalize_arg();
    if (!a.loose_eq(b)) fatal("IdentityCirc: circuit is not identity " + circ.str() + " " + a.str() + " " + b.str());
    return true;
}

namespace {

// Fails exactly as rotating the circuit would: relabelling the instructions in
// [lo, hi) checks their qubits against 8, then the rebuilt circuit checks every
// qubit against the permutation's length.
void check_rotatable(const Circ &c, size_t lo, size_t hi) {
    for (size_t k = lo; k < hi; ++k)
        for (uint8_t q : c.instrs[k].qargs) (void)c.perm.at(q);
    int m = largest_qubit_used(c.instrs);
    if (m >= 0 && m >= static_cast<int>(c.perm.len()))
        fatal("Permutation length must be greater than the max qubit index.");
}

// The slot of `slots` that qubit x of a neighbour continues, if any.
inline int slot_of(Instr32 target, const WireSlots &slots, uint8_t x) {
    if (x == target.qargs.q[0]) return 0;
    if (slots.n == 2 && x == target.qargs.q[1]) return 1;
    return -1;
}

inline bool fill(WireSlots &slots, Instr32 target, Instr32 neighbour, size_t value) {
    for (uint8_t x : neighbour.qargs) {
        int s = slot_of(target, slots, x);
        if (s >= 0 && slots.v[s] == WireSlots::UNSET) slots.v[s] = value;
    }
    return slots.n == 0 || (slots.v[0] != WireSlots::UNSET && (slots.n == 1 || slots.v[1] != WireSlots::UNSET));
}

std::string slots_debug(const WireSlots &s) {
    std::string out = "[";
    for (uint8_t k = 0; k < s.n; ++k) {
        if (k) out += ", ";
        out += std::to_string(s.v[k]);
    }
    return out + "]";
}

}  // namespace

// Walks the cycle after g without building the rotated circuit: the gates
// 0..g come around behind the permutation, so they are read relabelled by its
// inverse.
WireSlots IdentityCirc::forward_slots(size_t g) const {
    size_t len = circ.len();
    check_index(g, len);
    check_rotatable(circ, 0, g + 1);
    Instr32 target = circ.instrs[g];
    WireSlots slots;
    slots.n = static_cast<uint8_t>(target.qargs.len());
    Permut32 inv = circ.perm.inv();
    bool done = slots.n == 0;
    for (size_t p = 0; p < len && !done; ++p) {
        size_t idx = (g + 1 + p) % len;
        Instr32 ins = circ.instrs[idx];
        if (idx <= g) ins = ins.apply_permutation(inv);
        done = fill(slots, target, ins, idx);
    }
    if (!done) fatal(slots_debug(slots) + " " + str());
    return slots;
}

// The mirror image: the gates g..L-1 come around in front of the circuit,
// read relabelled by the permutation, and the cycle is walked backwards.
WireSlots IdentityCirc::backward_slots(size_t g) const {
    size_t len = circ.len();
    check_index(g, len);
    check_rotatable(circ, g, len);
    Instr32 target = circ.instrs[g];
    WireSlots slots;
    slots.n = static_cast<uint8_t>(target.qargs.len());
    bool done = slots.n == 0;
    for (size_t p = len; p-- > 0 && !done;) {
        size_t idx = (g + p) % len;
        Instr32 ins = circ.instrs[idx];
        if (idx >= g) ins = ins.apply_permutation(circ.perm);
        done = fill(slots, target, ins, idx);
    }
    if (!done)
        fatal("a " + std::to_string(g) + " " + circ.rotate(static_cast<int64_t>(g) - static_cast<int64_t>(len)).debug() +
              " " + str());
    return slots;
}

// ---------------------------------------------------------------- rotate_representative

IdentityCirc Circ::rotate_representative() const {
    Circ base = compact_qubits().remove_swaps();
    if (base.is_empty()) return IdentityCirc::checked(std::move(base));
    Circ best, d, cand;
    best.instrs.reserve(base.len());
    d.instrs.reserve(base.len());
    cand.instrs.reserve(base.len());
    bool have = false;
    for (Permut32 p : Permut32::all(base.perm.len())) {
        permut_into(base, p, d);
        // Only rotations that start on a gate touching qubit 0 can be minimal
        // after relabelling; they are the candidates.
        for (size_t i = 0; i < d.len(); ++i) {
            if (!d.instrs[i].qargs.contains(0)) continue;
            rotate_into(d, i, cand);
            cand.reorder_instrs_in_place();
            cand.compact_qubits_in_place();
            if (!have || cand < best) {
                std::swap(best, cand);
                have = true;
            }
        }
    }
    if (!have) fatal("rotate_representative: the circuit has instructions but none acts on a qubit");
    return IdentityCirc::checked(std::move(best));
}

// ---------------------------------------------------------------- subcircuits

IdentitySubcircuit::IdentitySubcircuit(const IdentityCirc &c, std::vector<uint8_t> selected)
    : circuit(&c), gates(std::move(selected)) {
    if (gates.size() != c.len())
        fatal("a subcircuit selection needs one flag per instruction: got " + std::to_string(gates.size()) +
              " flags for " + std::to_string(c.len()) + " instructions");
}

IdentitySubcircuit IdentitySubcircuit::from_indices(const IdentityCirc &c, std::span<const uint8_t> indices) {
    std::vector<uint8_t> sel(c.len(), 0);
    for (uint8_t i : indices) {
        check_index(i, sel.size());
        sel[i] = 1;
    }
    return IdentitySubcircuit(c, std::move(sel));
}

bool IdentitySubcircuit::is_connected() const {
    size_t len = gates.size();
    size_t first = std::find(gates.begin(), gates.end(), 1) - gates.begin();
    if (first == len) return true;
    std::vector<uint8_t> visited(len, 0);
    std::vector<size_t> queue;
    queue.reserve(len);
    queue.push_back(first);
    visited[first] = 1;
    for (size_t head = 0; head < queue.size(); ++head) {
        size_t i = queue[head];
        auto visit = [&](const WireSlots &s) {
            for (size_t j : s)
                if (selected(j) && !visited[j]) {
                    visited[j] = 1;
                    queue.push_back(j);
                }
        };
        visit(circuit->forward_slots(i));
        visit(circuit->backward_slots(i));
    }
    for (size_t i = 0; i < len; ++i)
        if (selected(i) && !visited[i]) return false;
    return true;
}

template <class F>
void IdentitySubcircuit::for_each_port(bool forward, F &&f) const {
    for (size_t i = 0; i < gates.size(); ++i) {
        if (!selected(i)) continue;
        WireSlots s = forward ? circuit->forward_slots(i) : circuit->backward_slots(i);
        for (uint8_t k = 0; k < s.n; ++k) {
            size_t j = s.v[k];
            if (j == i || !selected(j)) f(Port{circuit->circ.instrs[i].qargs.q[k], i, k});
        }
    }
}

std::vector<Port> IdentitySubcircuit::inputs() const {
    std::vector<Port> out;
    for_each_port(false, [&](const Port &p) { out.push_back(p); });
    return out;
}

std::vector<Port> IdentitySubcircuit::outputs() const {
    std::vector<Port> out;
    for_each_port(true, [&](const Port &p) { out.push_back(p); });
    return out;
}

bool IdentitySubcircuit::is_convex() const {
    auto distinct = [&](bool forward) {
        std::array<uint64_t, 4> seen{};
        bool ok = true;
        for_each_port(forward, [&](const Port &p) {
            uint64_t bit = uint64_t{1} << (p.qubit & 63);
            uint64_t &word = seen[p.qubit >> 6];
            if (word & bit) ok = false;
            word |= bit;
        });
        return ok;
    };
    return distinct(false) && distinct(true);
}

namespace {

// In-place rotations of the working copy of a split; the same as Circ::rotate
// on a circuit that already satisfies the qubit invariant.
void rotate_left(Circ &c, std::vector<uint8_t> &sel, size_t n) {
    Permut32 inv = c.perm.inv();
    for (size_t k = 0; k < n; ++k) c.instrs[k] = c.instrs[k].apply_permutation(inv);
    std::rotate(c.instrs.begin(), c.instrs.begin() + static_cast<ptrdiff_t>(n), c.instrs.end());
    std::rotate(sel.begin(), sel.begin() + static_cast<ptrdiff_t>(n), sel.end());
}

void rotate_right(Circ &c, std::vector<uint8_t> &sel, size_t n) {
    size_t len = c.instrs.size();
    for (size_t k = len - n; k < len; ++k) c.instrs[k] = c.instrs[k].apply_permutation(c.perm);
    std::rotate(c.instrs.begin(), c.instrs.begin() + static_cast<ptrdiff_t>(len - n), c.instrs.end());
    std::rotate(sel.begin(), sel.begin() + static_cast<ptrdiff_t>(len - n), sel.end());
}

}  // namespace

std::optional<std::pair<Circ, Circ>> IdentitySubcircuit::split() const {
    size_t u = std::find(gates.begin(), gates.end(), 1) - gates.begin();
    if (u == gates.size()) return std::nullopt;
    Circ c = circuit->circ.rotate(static_cast<int64_t>(u));
    std::vector<uint8_t> sel = gates;
    std::rotate(sel.begin(), sel.begin() + static_cast<ptrdiff_t>(u), sel.end());
    // E as a vector: it never exceeds the circuit's length (< 20 in practice),
    // so inserting at the front is cheaper than a deque.
    std::vector<Instr32> extracted;
    extracted.reserve(c.len());
    uint8_t extracted_mask = 0;  // disjoint from every instruction of E <=> disjoint from the union
    auto any_selected = [&] { return std::find(sel.begin(), sel.end(), 1) != sel.end(); };

    bool back = false;
    while (!back && any_selected()) {
        size_t f = std::find(sel.begin(), sel.end(), 1) - sel.begin();
        if (f == 0) {
            extracted.push_back(c.instrs[0]);
            extracted_mask |= c.instrs[0].arg_mask();
            c.instrs.erase(c.instrs.begin());
            sel.erase(sel.begin());
        } else if (c.instrs[f - 1].disjoint(c.instrs[f])) {
            std::swap(c.instrs[f - 1], c.instrs[f]);
            std::swap(sel[f - 1], sel[f]);
        } else {
            uint8_t prefix = 0;
            for (size_t k = 0; k < f; ++k) prefix |= c.instrs[k].arg_mask();
            if (prefix & extracted_mask)
                back = true;
            else
                rotate_left(c, sel, f);
        }
    }
    while (any_selected()) {
        size_t l = sel.size() - 1 - static_cast<size_t>(std::find(sel.rbegin(), sel.rend(), 1) - sel.rbegin());
        size_t len = c.len();
        if (l == len - 1) {
            Instr32 moved = c.instrs.back().apply_permutation(c.perm);
            extracted.insert(extracted.begin(), moved);
            extracted_mask |= moved.arg_mask();
            c.instrs.pop_back();
            sel.pop_back();
        } else if (c.instrs[l].disjoint(c.instrs[l + 1])) {
            std::swap(c.instrs[l], c.instrs[l + 1]);
            std::swap(sel[l], sel[l + 1]);
        } else {
            uint8_t suffix = 0;
            for (size_t k = l + 1; k < len; ++k) suffix |= c.instrs[k].apply_permutation(c.perm).arg_mask();
            if (suffix & extracted_mask) return std::nullopt;
            rotate_right(c, sel, len - 1 - l);
        }
    }
    Circ piece = Circ::make(std::move(extracted), Permut32::identity(circuit->circ.perm.len()));
    return std::make_pair(std::move(piece), std::move(c));
}

// ---------------------------------------------------------------- COMBINATIONS

namespace {

std::vector<uint32_t> build_row(size_t n) {
    std::vector<uint32_t> row;
    size_t kmax = std::min(n, n / 2 + 1);
    for (size_t k = 0; k <= kmax; ++k) {
        // Lexicographic k-subsets: advance the rightmost index that can move.
        std::array<size_t, COMBINATIONS_ROWS> idx{};
        for (size_t t = 0; t < k; ++t) idx[t] = t;
        while (true) {
            uint32_t mask = 0;
            for (size_t t = 0; t < k; ++t) mask |= uint32_t{1} << idx[t];
            row.push_back(mask);
            size_t t = k;
            while (t > 0 && idx[t - 1] == n - k + (t - 1)) --t;
            if (t == 0) break;
            ++idx[t - 1];
            for (size_t s = t; s < k; ++s) idx[s] = idx[s - 1] + 1;
        }
    }
    return row;
}

const std::array<std::vector<uint32_t>, COMBINATIONS_ROWS> &combinations() {
    static const std::array<std::vector<uint32_t>, COMBINATIONS_ROWS> table = [] {
        std::array<std::vector<uint32_t>, COMBINATIONS_ROWS> t;
        for (size_t n = 0; n < COMBINATIONS_ROWS; ++n) t[n] = build_row(n);
        return t;
    }();
    return table;
}

}  // namespace

std::span<const uint32_t> combinations_row(size_t n) {
    if (n >= COMBINATIONS_ROWS)
        fatal("index out of bounds: the len is " + std::to_string(COMBINATIONS_ROWS) + " but the index is " +
              std::to_string(n) + " (subcircuit selections exist for identities of at most " +
              std::to_string(COMBINATIONS_ROWS - 1) + " instructions)");
    return combinations()[n];
}

namespace {

// The wire neighbours of every gate, computed once per identity so that the
// thousands of selections of one row are tested with mask operations only.
struct WireTable {
    std::vector<uint32_t> neighbours;  // per gate: mask of forward and backward neighbours
    std::vector<WireSlots> fwd, bwd;

    // Nothing when some gate's neighbours cannot be computed; the exact
    // per-selection path then reports the error as the selections meet it.
    static std::optional<WireTable> build(const IdentityCirc &c) {
        WireTable t;
        size_t len = c.len();
        t.fwd.resize(len);
        t.bwd.resize(len);
        t.neighbours.resize(len);
        try {
            for (size_t g = 0; g < len; ++g) {
                t.fwd[g] = c.forward_slots(g);
                t.bwd[g] = c.backward_slots(g);
                for (size_t j : t.fwd[g]) t.neighbours[g] |= uint32_t{1} << j;
                for (size_t j : t.bwd[g]) t.neighbours[g] |= uint32_t{1} << j;
            }
        } catch (const FatalError &) {
            return std::nullopt;
        }
        return t;
    }

    bool connected(uint32_t sel) const {
        if (sel == 0) return true;
        uint32_t visited = sel & (~sel + 1);
        uint32_t todo = visited;
        while (todo) {
            unsigned i = static_cast<unsigned>(__builtin_ctz(todo));
            todo &= todo - 1;
            uint32_t fresh = neighbours[i] & sel & ~visited;
            visited |= fresh;
            todo |= fresh;
        }
        return visited == sel;
    }

    // No wire label enters twice, none leaves twice.
    bool convex(const Circ &c, uint32_t sel) const {
        return distinct_ports(c, bwd, sel) && distinct_ports(c, fwd, sel);
    }

    static bool distinct_ports(const Circ &c, const std::vector<WireSlots> &slots, uint32_t sel) {
        std::array<uint64_t, 4> seen{};
        for (uint32_t rest = sel; rest; rest &= rest - 1) {
            unsigned i = static_cast<unsigned>(__builtin_ctz(rest));
            const WireSlots &s = slots[i];
            for (uint8_t k = 0; k < s.n; ++k) {
                size_t j = s.v[k];
                if (j != i && ((sel >> j) & 1)) continue;
                uint8_t q = c.instrs[i].qargs.q[k];
                uint64_t bit = uint64_t{1} << (q & 63);
                if (seen[q >> 6] & bit) return false;
                seen[q >> 6] |= bit;
            }
        }
        return true;
    }
};

std::vector<uint8_t> selection_flags(uint32_t mask, size_t len) {
    std::vector<uint8_t> sel(len, 0);
    for (size_t i = 0; i < len; ++i) sel[i] = (mask >> i) & 1;
    return sel;
}

}  // namespace

std::vector<std::pair<Circ, Circ>> par_subcircuit_splits(const IdentityCirc &circuit) {
    std::span<const uint32_t> row = combinations_row(circuit.len());
    std::optional<WireTable> table = WireTable::build(circuit);
    return pool::filter_map(row.size(), [&](size_t s) -> std::optional<std::pair<Circ, Circ>> {
        uint32_t mask = row[s];
        if (table) {
            if (!table->connected(mask) || !table->convex(circuit.circ, mask)) return std::nullopt;
            return IdentitySubcircuit(circuit, selection_flags(mask, circuit.len())).split();
        }
        IdentitySubcircuit sub(circuit, selection_flags(mask, circuit.len()));
        if (!sub.is_connected() || !sub.is_convex()) return std::nullopt;
        return sub.split();
    });
}

}  // namespace larkspan
