// Debug forms of texts: double quotes around the text, with the usual
// escapes for quotes, backslashes and characters that do not print.
#pragma once

#include <string>
#include <string_view>

namespace larkspan {

// "q" -> "\"q\"", a"b -> "\"a\\\"b\"", a newline -> "\\n", ESC -> "\\u{1b}".
std::string debug_quote(std::string_view text);

}  // namespace larkspan
