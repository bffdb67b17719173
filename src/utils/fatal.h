// Fatal errors: a violated precondition inside a native operation.
// They unwind to the Python boundary, which turns them into the module's
// BaseException-derived error with the same message.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace larkspan {

struct FatalError : std::runtime_error {
    explicit FatalError(const std::string &msg) : std::runtime_error(msg), size_(msg.size()) {}
    // The whole message; what() ends at the first NUL, which user text (a gate name) may hold.
    std::string_view message() const noexcept { return {what(), size_}; }

  private:
    size_t size_;
};

[[noreturn]] inline void fatal(const std::string &msg) { throw FatalError(msg); }

// Index checks that would be a bounds panic elsewhere.
[[noreturn]] void fatal_index(size_t index, size_t len);

inline void check_index(size_t index, size_t len) {
    if (index >= len) fatal_index(index, len);
}

}  // namespace larkspan
