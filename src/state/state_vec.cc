#include "state/state_vec.h"

#include <cfloat>
#include <cmath>
#include <new>
#include <unistd.h>

#include "state/kernels.h"
#include "utils/siphash.h"

namespace larkspan {

namespace {

constexpr size_t MAX_QUBITS = 32;  // exclusive

// 2^n amplitudes; refuses sizes the machine's memory cannot hold rather
// than letting the kernel kill the process half-way through filling them.
size_t checked_len(size_t nqubits) {
    if (nqubits >= MAX_QUBITS) fatal("Number of qubits too large, resulting in overflow for state vector size.");
    size_t len = size_t{1} << nqubits;
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0 && len > static_cast<size_t>(pages) * static_cast<size_t>(page) / (2 * sizeof(double)))
        throw std::bad_alloc();
    return len;
}

bool is_normal_positive(double x) { return x >= DBL_MIN && x <= DBL_MAX; }

}  // namespace

// ---------------------------------------------------------------- construction

StateVec StateVec::from_parts(std::vector<double> re, std::vector<double> im) {
    if (re.size() != im.size())
        fatal("assertion `left == right` failed: Real and imaginary parts must have the same length\n  left: " +
              std::to_string(re.size()) + "\n right: " + std::to_string(im.size()));
    size_t len = re.size();
    if (len == 0 || (len & (len - 1)) != 0) fatal("Length must be a power of 2");
    re.shrink_to_fit();
    im.shrink_to_fit();
    return StateVec(std::move(re), std::move(im));
}

StateVec StateVec::zeros(size_t nqubits) {
    size_t len = checked_len(nqubits);
    return StateVec(std::vector<double>(len, 0.0), std::vector<double>(len, 0.0));
}

StateVec StateVec::from_random(Rng &rng, size_t nqubits) {
    StateVec s = zeros(nqubits);
    for (double &x : s.re_) x = rng.next_f64();
    for (double &x : s.im_) x = rng.next_f64();
    s.normalize();
    return s;
}

StateVec StateVec::from_random_symmetric(Rng &rng, size_t nqubits) {
    StateVec s = zeros(nqubits);
    std::vector<double> h_re(nqubits + 1), h_im(nqubits + 1);
    for (double &x : h_re) x = rng.next_f64();
    for (double &x : h_im) x = rng.next_f64();
    for (size_t i = 0; i < s.len(); ++i) {
        size_t w = static_cast<size_t>(__builtin_popcountll(i));
        s.re_[i] = h_re[w];
        s.im_[i] = h_im[w];
    }
    s.normalize();
    return s;
}

// ---------------------------------------------------------------- gates

void StateVec::apply(std::span<const uint8_t> qargs, Gate16 gate) {
    if (GateKernel kernel = find_kernel(gate)) {
        kernel(*this, qargs);
        return;
    }
    const FixedMatrix *m = cached_gate_matrix(gate);
    if (!m) {
        // Not a 2x2, 4x4 or 8x8 matrix: `multiply` reports why.
        gate.with_matrix([&](const GateMatrix &g) { multiply(qargs, g); });
        return;
    }
    size_t d = size_t{1} << m->k;
    check_matrix_shape(qargs.size(), d, d);
    check_qargs(*this, qargs);
    multiply_fixed(*this, qargs, *m);
}

void StateVec::multiply(std::span<const uint8_t> qargs, const GateMatrix &matrix) {
    check_matrix_shape(qargs.size(), matrix.rows, matrix.cols);
    check_qargs(*this, qargs);
    multiply_fixed(*this, qargs, to_fixed_matrix(matrix));
}

// ---------------------------------------------------------------- permutation

namespace {

struct StateVecCache {
    std::vector<StateVec> entries;  // entry k has 2^k amplitudes
    bool borrowed = false;
};

StateVecCache &state_vec_cache() {
    thread_local StateVecCache cache;
    return cache;
}

class CacheBorrow {
  public:
    CacheBorrow() : cache_(state_vec_cache()) {
        if (cache_.borrowed) fatal("The thread's state vector scratch cache is already in use");
        cache_.borrowed = true;
    }
    ~CacheBorrow() { cache_.borrowed = false; }
    CacheBorrow(const CacheBorrow &) = delete;
    CacheBorrow &operator=(const CacheBorrow &) = delete;
    StateVec &entry(size_t n) { return cache_.entries[n]; }

  private:
    StateVecCache &cache_;
};

}  // namespace

void reserve_state_vec_cache(size_t nqubits) {
    StateVecCache &cache = state_vec_cache();
    if (cache.borrowed) fatal("The thread's state vector scratch cache is already in use");
    while (cache.entries.size() <= nqubits) cache.entries.push_back(StateVec::zeros(cache.entries.size()));
}

namespace {

[[noreturn]] void permutation_length_mismatch(size_t perm_len, size_t nqubits) {
    fatal("Permutation of length " + std::to_string(perm_len) + " cannot relabel a state of " +
          std::to_string(nqubits) + " qubits");
}

}  // namespace

void StateVec::apply_permutation(Permut32 perm) {
    size_t n = nqubits();
    if (len() == 0 || perm.len() != n) permutation_length_mismatch(perm.len(), n);
    reserve_state_vec_cache(n);
    CacheBorrow borrow;
    StateVec &scratch = borrow.entry(n);
    scratch.assign_permuted(*this, perm);
    re_.swap(scratch.re_);
    im_.swap(scratch.im_);
}

void StateVec::assign_permuted(const StateVec &src, Permut32 perm) {
    if (&src == this) {
        apply_permutation(perm);
        return;
    }
    size_t n = src.nqubits();
    if (src.len() == 0 || perm.len() != n) permutation_length_mismatch(perm.len(), n);
    if (len() != src.len()) fatal("assertion failed: self.len() == src.len()");
    // Target index of i, updated incrementally: going from i-1 to i clears
    // bits 0..t-1 and sets bit t (t = ctz(i)), so only their images change.
    size_t image[PERMUT_MAX_LEN], below[PERMUT_MAX_LEN + 1];
    below[0] = 0;
    for (size_t k = 0; k < n; ++k) {
        image[k] = size_t{1} << perm.get(static_cast<unsigned>(k));
        below[k + 1] = below[k] | image[k];
    }
    const double *re = src.re_.data(), *im = src.im_.data();
    double *dre = re_.data(), *dim = im_.data();
    dre[0] = re[0];
    dim[0] = im[0];
    size_t j = 0;
    for (size_t i = 1, len = src.len(); i < len; ++i) {
        unsigned t = static_cast<unsigned>(__builtin_ctzll(i));
        j = (j & ~below[t]) | image[t];
        dre[j] = re[i];
        dim[j] = im[i];
    }
}

// ---------------------------------------------------------------- normalisation

void StateVec::unit_norm() {
    size_t len = re_.size();
    double s = 0.0;
    for (size_t i = 0; i < len; ++i) s += re_[i] * re_[i] + im_[i] * im_[i];
    if (!is_normal_positive(s) && !std::isnan(s)) {
        // The squares under- or overflowed: rescale by the largest part first,
        // and make an all-zero vector the |0...0> state instead of dividing by zero.
        double mx = 0.0;
        for (size_t i = 0; i < len; ++i) mx = std::fmax(mx, std::fmax(std::fabs(re_[i]), std::fabs(im_[i])));
        if (mx == 0.0) {
            re_[0] = 1.0;
            return;
        }
        if (std::isfinite(mx)) {
            for (size_t i = 0; i < len; ++i) {
                re_[i] /= mx;
                im_[i] /= mx;
            }
            s = 0.0;
            for (size_t i = 0; i < len; ++i) s += re_[i] * re_[i] + im_[i] * im_[i];
        }
    }
    double r = std::sqrt(s);
    for (size_t i = 0; i < len; ++i) {
        re_[i] /= r;
        im_[i] /= r;
    }
}

void StateVec::normalize() {
    if (re_.empty()) return;
    unit_norm();
    normalize_arg();
}

void StateVec::normalize_arg() {
    size_t len = re_.size();
    check_index(0, len);
    double zr, zi;
    if (!(near_zero(re_[0]) && near_zero(im_[0]))) {
        zr = re_[0];
        zi = im_[0];
    } else if (!(near_zero(re_[len - 1]) && near_zero(im_[len - 1]))) {
        zr = re_[len - 1];
        zi = im_[len - 1];
    } else {
        double sr = 0.0, si = 0.0;
        for (size_t i = 0; i < len; ++i) {
            sr += re_[i];
            si += im_[i];
        }
        double a = std::sqrt(sr * sr + si * si);
        if (a == 0.0) {
            // The amplitudes cancel: take the first one that is not near zero,
            // and leave an all-near-zero vector's phase alone.
            sr = 1.0;
            si = 0.0;
            for (size_t i = 0; i < len; ++i)
                if (!(near_zero(re_[i]) && near_zero(im_[i]))) {
                    sr = re_[i];
                    si = im_[i];
                    break;
                }
            a = std::sqrt(sr * sr + si * si);
        }
        zr = sr / a;
        zi = si / a;
    }
    double m = zr * zr + zi * zi;
    double sq = std::sqrt(m);
    double fr = (zr / m) * sq, fi = (-zi / m) * sq;
    for (size_t i = 0; i < len; ++i) {
        double r = re_[i], im = im_[i];
        re_[i] = fr * r - fi * im;
        im_[i] = fr * im + fi * r;
    }
    im_[0] = 0.0;
}

// ---------------------------------------------------------------- fingerprint, checks, text

uint64_t StateVec::hash_value() const {
    SipHasher13 h;
    h.write_u32(static_cast<uint32_t>(re_.size()));
    for (double x : re_) hash_qreal(h, x);
    h.write_u32(static_cast<uint32_t>(im_.size()));
    for (double x : im_) hash_qreal(h, x);
    return h.finish();
}

bool StateVec::check() const {
    if (re_.empty()) return false;
    double s = 0.0;
    for (size_t i = 0; i < re_.size(); ++i) s += re_[i] * re_[i] + im_[i] * im_[i];
    return std::fabs(s - 1.0) < QREAL_EPSILON;
}

bool StateVec::loose_eq(const StateVec &other) const {
    size_t nr = std::min(re_.size(), other.re_.size());
    for (size_t i = 0; i < nr; ++i)
        if (!larkspan::loose_eq(re_[i], other.re_[i])) return false;
    size_t ni = std::min(im_.size(), other.im_.size());
    for (size_t i = 0; i < ni; ++i)
        if (!larkspan::loose_eq(im_[i], other.im_[i])) return false;
    return true;
}

std::string StateVec::str() const {
    std::string out = "[";
    size_t n = std::min(re_.size(), im_.size());
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ", ";
        double r = re_[i], im = im_[i];
        if (std::fabs(im) < QREAL_EPSILON) {
            out += format_real(r, 4);
        } else if (std::fabs(r) < QREAL_EPSILON) {
            out += format_real(im, 4);
            out += 'j';
        } else {
            out += format_real(r, 4);
            std::string ims = format_real(im, 4);
            if (ims[0] != '-') out += '+';
            out += ims;
            out += 'j';
        }
    }
    return out + "]";
}

namespace {

int compare_parts(std::span<const double> a, std::span<const double> b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (int c = qreal_cmp(a[i], b[i])) return c;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

int StateVec::compare(const StateVec &other) const {
    if (int c = compare_parts(re_, other.re_)) return c;
    return compare_parts(im_, other.im_);
}

bool operator==(const StateVec &a, const StateVec &b) {
    if (a.re_.size() != b.re_.size() || a.im_.size() != b.im_.size()) return false;
    for (size_t i = 0; i < a.re_.size(); ++i)
        if (!qreal_eq(a.re_[i], b.re_[i])) return false;
    for (size_t i = 0; i < a.im_.size(); ++i)
        if (!qreal_eq(a.im_[i], b.im_[i])) return false;
    return true;
}

}  // namespace larkspan
