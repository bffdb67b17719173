#include "circ/gate.h"

#include <deque>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "circ/gates.h"
#include "utils/fatal.h"

namespace larkspan {

namespace {

constexpr size_t MAX_GATES = 65536;

struct Registry {
    std::shared_mutex lock;
    std::deque<GateData> entries;  // a deque keeps references stable while it grows
    // Identity hash -> first entry with that hash; replaces rescanning every entry on registration.
    std::unordered_map<uint64_t, uint16_t> by_hash;

    Registry() {
        for (auto &g : builtin_gates()) {
            uint64_t h = g.hash_value();
            append(std::move(g), h);
        }
    }

    uint16_t append(GateData g, uint64_t h) {
        auto idx = static_cast<uint16_t>(entries.size());
        entries.push_back(std::move(g));
        by_hash.emplace(h, idx);
        return idx;
    }
};

Registry &registry() {
    static Registry r;  // thread-safe one-time initialisation
    return r;
}

const GateData &entry(const Registry &r, uint16_t idx) {
    check_index(idx, r.entries.size());
    return r.entries[idx];
}

}  // namespace

namespace detail {
RegistryReadLock::RegistryReadLock() { registry().lock.lock_shared(); }
RegistryReadLock::~RegistryReadLock() { registry().lock.unlock_shared(); }
const GateData &registry_entry(uint16_t idx) { return entry(registry(), idx); }
}  // namespace detail

uint64_t GateMatrix::hash_value() const {
    SipHasher13 h;
    h.write_usize(rows);
    h.write_usize(cols);
    for (const Complex &c : data) hash_complex(h, c);
    return h.finish();
}

GateMatrix GateMatrix::adjoint() const {
    GateMatrix m;
    m.rows = cols;
    m.cols = rows;
    m.data.resize(data.size());
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) m.data[r * m.rows + c] = std::conj((*this)(r, c));
    return m;
}

std::string GateData::display() const {
    if (params.empty()) return name;
    std::string s = name + "(";
    for (size_t i = 0; i < params.size(); ++i) {
        if (i) s += ", ";
        s += params[i];
    }
    return s + ")";
}

void GateMatrix::check_shape(size_t rows, size_t cols) {
    if (rows == 0 || (rows & (rows - 1)) != 0) fatal("Matrix must have a number of rows that is a power of two");
    if (rows != cols) fatal("Matrix must be squared");
}

Gate16 Gate16::create(std::string name, std::vector<std::string> params, GateMatrix matrix) {
    GateMatrix::check_shape(matrix.rows, matrix.cols);
    GateData cand{std::move(name), std::move(params), std::move(matrix), std::nullopt};
    uint64_t h = cand.hash_value();
    Registry &reg = registry();
    std::unique_lock lock(reg.lock);
    if (auto it = reg.by_hash.find(h); it != reg.by_hash.end()) return Gate16(it->second);
    if (reg.entries.size() >= MAX_GATES)
        fatal("Gate registry is full: at most 65536 distinct gates can be registered");
    return Gate16(reg.append(std::move(cand), h));
}

std::optional<Gate16> Gate16::from_name(std::string_view text) {
    Registry &reg = registry();
    std::shared_lock lock(reg.lock);
    for (size_t i = 0; i < reg.entries.size(); ++i)
        if (reg.entries[i].display() == text) return Gate16(static_cast<uint16_t>(i));
    return std::nullopt;
}

Gate16 Gate16::deserialize(std::string_view text) {
    auto g = from_name(text);
    if (!g) fatal("Failed to deserialize Gate16 from " + std::string(text));
    return *g;
}

size_t Gate16::registry_len() {
    Registry &reg = registry();
    std::shared_lock lock(reg.lock);
    return reg.entries.size();
}

unsigned Gate16::nqargs() const {
    detail::RegistryReadLock lock;
    size_t d = detail::registry_entry(idx).matrix.rows;
    return d == 0 ? 0 : static_cast<unsigned>(__builtin_ctzll(d));
}

Gate16 Gate16::adjoint() const {
    GateData cand;
    {
        detail::RegistryReadLock lock;
        const GateData &e = detail::registry_entry(idx);
        if (e.adjoint) return Gate16(*e.adjoint);
        cand.name = e.name + "\xE2\x80\xA0";  // U+2020 DAGGER
        cand.params = e.params;
        cand.matrix = e.matrix.adjoint();
    }
    Gate16 adj = create(std::move(cand.name), std::move(cand.params), std::move(cand.matrix));
    Registry &reg = registry();
    std::unique_lock lock(reg.lock);
    reg.entries[idx].adjoint = adj.idx;
    return adj;
}

std::string Gate16::name() const {
    detail::RegistryReadLock lock;
    return detail::registry_entry(idx).name;
}

std::vector<std::string> Gate16::params() const {
    detail::RegistryReadLock lock;
    return detail::registry_entry(idx).params;
}

GateMatrix Gate16::matrix() const {
    detail::RegistryReadLock lock;
    return detail::registry_entry(idx).matrix;
}

std::string Gate16::display() const {
    detail::RegistryReadLock lock;
    return detail::registry_entry(idx).display();
}

std::string Gate16::debug() const {
    detail::RegistryReadLock lock;
    const GateData &e = detail::registry_entry(idx);
    std::string disp = e.display();
    return "Gate(" + std::to_string(idx) + " -> " + disp + ")";
}

uint64_t Gate16::hash_value() const {
    SipHasher13 h;
    h.write_u16(idx);
    return h.finish();
}

}  // namespace larkspan
