// Fatal errors: a violated precondition inside a native operation.
// They unwind to the Python boundary, which turns them into the module's
// BaseException-derived error with the same message.
#pragma once

#include <stdexcept>
#include <string>

namespace larkspan {

struct FatalError : std::runtime_error {
    explicit FatalError(const std::string &msg) : std::runtime_error(msg) {}
};

[[noreturn]] inline void fatal(const std::string &msg) { throw FatalError(msg); }

// Index checks that would be a bounds panic elsewhere.
[[noreturn]] void fatal_index(size_t index, size_t len);

inline void check_index(size_t index, size_t len) {
    if (index >= len) fatal_index(index, len);
}

}  // namespace larkspan
