// Display adapter joining a sequence with a separator, optionally wrapped in
// start/end texts and with a replacement text for an empty sequence. It lets
// every text form write nested lists straight into the stream, without
// building intermediate strings.
#pragma once

#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace larkspan {

// A missing start, end or orelse text: displays as nothing.
using FmtText = std::optional<std::string_view>;
inline constexpr std::nullopt_t FmtNone = std::nullopt;

// Writes an item with its own stream operator.
struct FmtItem {
    template <class T>
    void operator()(std::ostream &os, const T &item) const {
        os << item;
    }
};

template <class It, class Fmt = FmtItem>
struct FmtJoin {
    std::string_view sep;
    It first, last;  // the sequence (read once per display)
    FmtText start = FmtNone, end = FmtNone, orelse = FmtNone;
    Fmt fmt{};

    friend std::ostream &operator<<(std::ostream &os, const FmtJoin &j) {
        if (j.first == j.last) {
            if (j.orelse) os << *j.orelse;
            return os;
        }
        if (j.start) os << *j.start;
        It it = j.first;
        j.fmt(os, *it);
        for (++it; it != j.last; ++it) {
            os << j.sep;
            j.fmt(os, *it);
        }
        if (j.end) os << *j.end;
        return os;
    }

    std::string str() const {
        std::ostringstream os;
        os << *this;
        return os.str();
    }
};

// Items separated by `sep`; nothing around them, nothing for an empty sequence.
template <class Range, class Fmt = FmtItem>
auto fjoin(std::string_view sep, const Range &range, Fmt fmt = {}) {
    using It = decltype(std::begin(range));
    return FmtJoin<It, Fmt>{sep, std::begin(range), std::end(range), FmtNone, FmtNone, FmtNone,
                            std::move(fmt)};
}

// Items between `start` and `end`; an empty sequence shows nothing at all,
// not even the braces.
template <class Range, class Fmt = FmtItem>
auto fjoin_opt_braces(std::string_view sep, std::string_view start, std::string_view end,
                      const Range &range, Fmt fmt = {}) {
    using It = decltype(std::begin(range));
    return FmtJoin<It, Fmt>{sep, std::begin(range), std::end(range), start, end, FmtNone,
                            std::move(fmt)};
}

}  // namespace larkspan
