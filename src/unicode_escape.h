// SPDX-License-Identifier: MIT
// The \uXXXX escapes of JSON strings: one UTF-16 code unit in four hexadecimal digits, a
// character beyond U+FFFF as two of them (a high and a low surrogate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zefa_nlp_util {

constexpr std::size_t kUnicodeEscapeLength = 6;  // \uXXXX

// The code unit of the \uXXXX escape that text begins with; false when text begins with none.
// Inline: the fast fragment reader decodes every escape of a reply with it.
[[nodiscard]] inline bool decodeUnicodeEscape(std::string_view text, std::uint32_t& unit) {
    if (text.size() < kUnicodeEscapeLength || text[0] != '\\' || text[1] != 'u') return false;
    unit = 0;
    for (std::size_t i = 2; i < kUnicodeEscapeLength; ++i) {
        const char c = text[i];
        unit <<= 4;
        if (c >= '0' && c <= '9') {
            unit |= static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            unit |= static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            unit |= static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
    }
    return true;
}

[[nodiscard]] constexpr bool isHighSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

[[nodiscard]] constexpr bool isLowSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point that a high and a low surrogate stand for together.
[[nodiscard]] constexpr std::uint32_t combineSurrogates(std::uint32_t high, std::uint32_t low) {
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

}  // namespace zefa_nlp_util
