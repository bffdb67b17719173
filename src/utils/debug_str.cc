#include "utils/debug_str.h"

#include <cstdint>
#include <cstdio>

namespace larkspan {

namespace {

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when the
// bytes are not valid UTF-8.
size_t decode_utf8(std::string_view text, size_t i, uint32_t &cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    unsigned char c = b(0);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    static constexpr uint32_t MIN[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Control and invisible formatting characters; everything else prints as is.
bool needs_escape(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x2064) || cp == 0xFEFF;
}

void push_code(std::string &out, uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
    out += buf;
}

}  // namespace

std::string debug_quote(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        size_t len = decode_utf8(text, i, cp);
        if (len == 0) {  // a stray byte: show it rather than emit broken UTF-8
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(text[i]));
            out += buf;
            ++i;
            continue;
        }
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (needs_escape(cp))
                    push_code(out, cp);
                else
                    out.append(text.substr(i, len));
        }
        i += len;
    }
    out += '"';
    return out;
}

}  // namespace larkspan
