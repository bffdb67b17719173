#include "qreal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace larkspan {

int64_t saturating_i64(double y) {
    if (std::isnan(y)) return 0;
    if (y <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    if (y >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(y);
}

std::string format_real(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    // Shortest round-trip digits in scientific form, then laid out without exponent.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string s(buf, res.ptr);
    std::string out;
    size_t pos = 0;
    if (s[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    size_t epos = s.find('e');
    std::string digits;
    for (size_t i = pos; i < epos; ++i)
        if (s[i] != '.') digits.push_back(s[i]);
    int exp = std::stoi(s.substr(epos + 1));
    // value = 0.d1d2d3... * 10^(exp+1)
    int point = exp + 1;
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    if (digits == "0") return out + "0";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (static_cast<size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out.push_back('.');
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

std::string format_real(double x, int precision) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, precision);
    if (res.ec != std::errc()) return format_real(x);
    return std::string(buf, res.ptr);
}

}  // namespace larkspan
