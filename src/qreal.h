// Tolerant reals: doubles that compare, order and hash through their value on
// a 2^-24 grid, so that equivalent circuits simulated in floating point give
// equal fingerprints. Arithmetic stays plain double arithmetic.
#pragma once

#include <complex>
#include <cstdint>
#include <string>

#include "utils/siphash.h"

namespace larkspan {

constexpr double QREAL_SCALE = 16777216.0;             // 2^24
constexpr double QREAL_EPSILON = 5.960464477539063e-08;  // 2^-24

// Saturating conversion as a float-to-int cast with NaN -> 0.
int64_t saturating_i64(double y);

// x * 2^24, rounded half away from zero, saturated to int64.
// Inline fast path for |y| < 2^52 (NaN fails the test): truncate, then step
// away from zero on halves; this is the inner loop of every state comparison.
inline int64_t percision_repr(double x) {
    double y = x * QREAL_SCALE;
    if (__builtin_fabs(y) < 4503599627370496.0) {
        int64_t t = static_cast<int64_t>(y);
        double frac = y - static_cast<double>(t);  // exact
        return t + (frac >= 0.5) - (frac <= -0.5);
    }
    return saturating_i64(__builtin_round(y));
}

inline bool qreal_eq(double a, double b) { return percision_repr(a) == percision_repr(b); }
// The total order of the grid values read as unsigned words: non-negative before negative.
inline bool qreal_lt(double a, double b) {
    return static_cast<uint64_t>(percision_repr(a)) < static_cast<uint64_t>(percision_repr(b));
}
inline int qreal_cmp(double a, double b) {
    uint64_t x = static_cast<uint64_t>(percision_repr(a)), y = static_cast<uint64_t>(percision_repr(b));
    return x < y ? -1 : (x > y ? 1 : 0);
}
inline bool near_zero(double x) { return __builtin_fabs(x) < QREAL_EPSILON; }
inline bool loose_eq(double a, double b) {
    return saturating_i64(__builtin_trunc(a * 256.0)) == saturating_i64(__builtin_trunc(b * 256.0));
}
inline void hash_qreal(SipHasher13 &h, double x) { h.write_i64(percision_repr(x)); }

// Shortest round-trip decimal without exponent ("1", "0.1", "0.0000001", "NaN", "inf", "-0").
std::string format_real(double x);
// Fixed number of digits after the point, correctly rounded ("0.2500").
std::string format_real(double x, int precision);

// A double with the tolerant comparison; the value type of amplitudes and matrix entries.
struct Qreal {
    double v = 0.0;
    Qreal() = default;
    constexpr Qreal(double x) : v(x) {}
    operator double() const { return v; }
    friend bool operator==(Qreal a, Qreal b) { return qreal_eq(a.v, b.v); }
    friend bool operator<(Qreal a, Qreal b) { return qreal_lt(a.v, b.v); }
};

using Complex = std::complex<double>;

inline bool complex_eq(Complex a, Complex b) {
    return qreal_eq(a.real(), b.real()) && qreal_eq(a.imag(), b.imag());
}
inline void hash_complex(SipHasher13 &h, Complex c) {
    hash_qreal(h, c.real());
    hash_qreal(h, c.imag());
}

}  // namespace larkspan
