#include "state/kernels.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "state/state_vec.h"
#include "utils/fatal.h"

namespace larkspan {

namespace {

constexpr double KAPPA = 0.7071067811865476;  // 0x3FE6A09E667F3BCD

// The first pair a gate on qubit q touches is (0, 2^q): report that index.
[[noreturn]] void qubit_out_of_range(uint8_t q, size_t len) {
    fatal_index(q < 64 ? (size_t{1} << q) : SIZE_MAX, len);
}

void check_arity(std::span<const uint8_t> qargs, size_t k) {
    if (qargs.size() != k) fatal("Number of qubit arguments does not match gate arity");
}

// Calls f(i0, i1) for every index i0 with bit q clear and i1 = i0 | 2^q,
// in increasing order of the remaining bits.
template <class F>
inline void for_pairs(const StateVec &s, uint8_t q, F &&f) {
    size_t len = s.len();
    size_t step = size_t{1} << q;
    for (size_t hi = 0; hi < len; hi += 2 * step)
        for (size_t i0 = hi; i0 < hi + step; ++i0) f(i0, i0 + step);
}

// Calls f(base) for every index with bits a and b clear, in increasing order.
template <class F>
inline void for_quads(const StateVec &s, uint8_t a, uint8_t b, F &&f) {
    uint8_t lo = a < b ? a : b, hi = a < b ? b : a;
    size_t len = s.len(), slo = size_t{1} << lo, shi = size_t{1} << hi;
    for (size_t x = 0; x < len; x += 2 * shi)
        for (size_t y = x; y < x + shi; y += 2 * slo)
            for (size_t base = y; base < y + slo; ++base) f(base);
}

uint8_t one_qubit(const StateVec &s, std::span<const uint8_t> qargs) {
    check_arity(qargs, 1);
    check_qargs(s, qargs);
    return qargs[0];
}

// Applies diag(1, phase) with the phase product written out by `f(re, im, i1)`.
template <class F>
inline void phase_kernel(StateVec &s, std::span<const uint8_t> qargs, F &&f) {
    uint8_t q = one_qubit(s, qargs);
    double *re = s.re_data(), *im = s.im_data();
    for_pairs(s, q, [&](size_t, size_t i1) { f(re[i1], im[i1]); });
}

}  // namespace

void check_qargs(const StateVec &s, std::span<const uint8_t> qargs) {
    size_t n = s.nqubits();
    for (size_t t = 0; t < qargs.size(); ++t) {
        if (qargs[t] >= n) qubit_out_of_range(qargs[t], s.len());
        for (size_t u = 0; u < t; ++u)
            if (qargs[u] == qargs[t]) fatal("Qubit arguments must be unique");
    }
}

void perform_h_gate(StateVec &s, std::span<const uint8_t> qargs) {
    uint8_t q = one_qubit(s, qargs);
    double *re = s.re_data(), *im = s.im_data();
    for_pairs(s, q, [&](size_t i0, size_t i1) {
        double ar = re[i0], ai = im[i0], br = re[i1], bi = im[i1];
        re[i0] = (ar + br) * KAPPA;
        im[i0] = (ai + bi) * KAPPA;
        re[i1] = (ar - br) * KAPPA;
        im[i1] = (ai - bi) * KAPPA;
    });
}

void perform_x_gate(StateVec &s, std::span<const uint8_t> qargs) {
    uint8_t q = one_qubit(s, qargs);
    double *re = s.re_data(), *im = s.im_data();
    for_pairs(s, q, [&](size_t i0, size_t i1) {
        std::swap(re[i0], re[i1]);
        std::swap(im[i0], im[i1]);
    });
}

void perform_z_gate(StateVec &s, std::span<const uint8_t> qargs) {
    phase_kernel(s, qargs, [](double &r, double &i) {
        r = -r;
        i = -i;
    });
}

void perform_s_gate(StateVec &s, std::span<const uint8_t> qargs) {
    phase_kernel(s, qargs, [](double &r, double &i) {
        double r0 = r;
        r = -i;
        i = r0;
    });
}

void perform_sdg_gate(StateVec &s, std::span<const uint8_t> qargs) {
    phase_kernel(s, qargs, [](double &r, double &i) {
        double r0 = r;
        r = i;
        i = -r0;
    });
}

void perform_t_gate(StateVec &s, std::span<const uint8_t> qargs) {
    phase_kernel(s, qargs, [](double &r, double &i) {
        double r0 = r, i0 = i;
        r = r0 * KAPPA - i0 * KAPPA;
        i = r0 * KAPPA + i0 * KAPPA;
    });
}

void perform_tdg_gate(StateVec &s, std::span<const uint8_t> qargs) {
    phase_kernel(s, qargs, [](double &r, double &i) {
        double r0 = r, i0 = i;
        r = r0 * KAPPA + i0 * KAPPA;
        i = i0 * KAPPA - r0 * KAPPA;
    });
}

void perform_cx_gate(StateVec &s, std::span<const uint8_t> qargs) {
    check_arity(qargs, 2);
    check_qargs(s, qargs);
    size_t c = size_t{1} << qargs[0], t = size_t{1} << qargs[1];
    double *re = s.re_data(), *im = s.im_data();
    for_quads(s, qargs[0], qargs[1], [&](size_t base) {
        size_t i = base | c, j = base | c | t;
        std::swap(re[i], re[j]);
        std::swap(im[i], im[j]);
    });
}

void perform_swap_gate(StateVec &s, std::span<const uint8_t> qargs) {
    check_arity(qargs, 2);
    check_qargs(s, qargs);
    size_t a = size_t{1} << qargs[0], b = size_t{1} << qargs[1];
    double *re = s.re_data(), *im = s.im_data();
    for_quads(s, qargs[0], qargs[1], [&](size_t base) {
        size_t i = base | a, j = base | b;
        std::swap(re[i], re[j]);
        std::swap(im[i], im[j]);
    });
}

GateKernel find_kernel(Gate16 gate) {
    // Indexed by handle: the table is the map, the handle its own hash.
    static const std::vector<GateKernel> table = [] {
        struct Named {
            const char *name;
            GateKernel kernel;
        };
        const Named named[] = {
            {"h", perform_h_gate},   {"x", perform_x_gate},     {"z", perform_z_gate},
            {"t", perform_t_gate},   {"tdg", perform_tdg_gate}, {"s", perform_s_gate},
            {"sdg", perform_sdg_gate}, {"swap", perform_swap_gate}, {"cx", perform_cx_gate},
        };
        std::vector<GateKernel> t;
        for (const Named &e : named) {
            Gate16 g = Gate16::deserialize(e.name);
            if (t.size() <= g.idx) t.resize(g.idx + 1u, nullptr);
            t[g.idx] = e.kernel;
        }
        return t;
    }();
    return gate.idx < table.size() ? table[gate.idx] : nullptr;
}

void check_matrix_shape(size_t k, size_t rows, size_t cols) {
    switch (k) {
        case 1:
            if (rows != 2 || cols != 2) fatal("assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2");
            return;
        case 2:
            if (rows != 4 || cols != 4) fatal("assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4");
            return;
        case 3:
            if (rows != 8 || cols != 8) fatal("assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8");
            return;
        default:
            fatal("Unsupported number of qubits: " + std::to_string(k));
    }
}

FixedMatrix to_fixed_matrix(const GateMatrix &m) {
    FixedMatrix f;
    f.k = static_cast<unsigned>(__builtin_ctzll(m.rows));
    for (size_t r = 0; r < m.rows; ++r)
        for (size_t c = 0; c < m.cols; ++c) {
            Complex z = m(r, c);
            f.re[r * m.rows + c] = z.real();
            f.im[r * m.rows + c] = z.imag();
        }
    return f;
}

const FixedMatrix *cached_gate_matrix(Gate16 gate) {
    struct Slot {
        bool known = false;
        std::unique_ptr<FixedMatrix> m;  // null for matrices the dense path refuses
    };
    thread_local std::vector<Slot> cache;
    if (gate.idx < cache.size() && cache[gate.idx].known) return cache[gate.idx].m.get();
    std::unique_ptr<FixedMatrix> m = gate.with_matrix([](const GateMatrix &g) -> std::unique_ptr<FixedMatrix> {
        if (g.rows != g.cols || (g.rows != 2 && g.rows != 4 && g.rows != 8)) return nullptr;
        return std::make_unique<FixedMatrix>(to_fixed_matrix(g));
    });
    if (cache.size() <= gate.idx) cache.resize(gate.idx + 1u);
    cache[gate.idx].known = true;
    cache[gate.idx].m = std::move(m);
    return cache[gate.idx].m.get();
}

namespace {

template <unsigned K>
void multiply_k(StateVec &s, std::span<const uint8_t> qargs, const FixedMatrix &m) {
    constexpr size_t D = size_t{1} << K;
    // Member j of a block: qargs[0] is the most significant bit of j.
    std::array<size_t, D> offset{};
    for (size_t j = 0; j < D; ++j)
        for (unsigned t = 0; t < K; ++t)
            if (j >> (K - 1 - t) & 1) offset[j] |= size_t{1} << qargs[t];
    std::array<uint8_t, K> pos;
    for (unsigned t = 0; t < K; ++t) pos[t] = qargs[t];
    std::sort(pos.begin(), pos.end());
    double *re = s.re_data(), *im = s.im_data();
    size_t blocks = s.len() >> K;
    for (size_t b = 0; b < blocks; ++b) {
        size_t base = b;
        for (unsigned t = 0; t < K; ++t) {
            size_t low = base & ((size_t{1} << pos[t]) - 1);
            base = ((base >> pos[t]) << (pos[t] + 1)) | low;
        }
        double vr[D], vi[D];
        for (size_t j = 0; j < D; ++j) {
            vr[j] = re[base | offset[j]];
            vi[j] = im[base | offset[j]];
        }
        for (size_t j = 0; j < D; ++j) {
            double wr = 0.0, wi = 0.0;
            for (size_t l = 0; l < D; ++l) {
                double mr = m.re[j * D + l], mi = m.im[j * D + l];
                wr += mr * vr[l] - mi * vi[l];
                wi += mr * vi[l] + mi * vr[l];
            }
            re[base | offset[j]] = wr;
            im[base | offset[j]] = wi;
        }
    }
}

}  // namespace

void multiply_fixed(StateVec &s, std::span<const uint8_t> qargs, const FixedMatrix &m) {
    switch (m.k) {
        case 1: multiply_k<1>(s, qargs, m); break;
        case 2: multiply_k<2>(s, qargs, m); break;
        case 3: multiply_k<3>(s, qargs, m); break;
        default: fatal("Unsupported number of qubits: " + std::to_string(m.k));
    }
}

}  // namespace larkspan
