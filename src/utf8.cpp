// SPDX-License-Identifier: MIT
#include "utf8.h"

#include <cstdint>
#include <cstring>

namespace zefa_nlp_util {

// NOLINTNEXTLINE(readability-function-cognitive-complexity): UTF-8's byte ranges, in one piece
std::size_t utf8SequenceLength(const unsigned char* s, const unsigned char* end,
                               std::size_t* illFormed) {
    const unsigned char lead = s[0];
    if (lead < 0x80) return 1;
    // The range of the second byte excludes overlong forms, surrogates and code points past
    // U+10FFFF; every later byte is a plain continuation byte.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    std::size_t valid = length == 0 ? 0 : 1;
    while (valid < length && s + valid < end) {
        const unsigned char c = s[valid];
        const bool fits = valid == 1 ? c >= low && c <= high : (c & 0xC0) == 0x80;
        if (!fits) break;
        ++valid;
    }
    if (length != 0 && valid == length) return length;
    if (illFormed != nullptr) *illFormed = valid == 0 ? 1 : valid;
    return 0;
}

namespace {

// The first byte at or after p that is not ASCII, or end; eight bytes at a time, since almost
// every payload is mostly ASCII.
const unsigned char* skipAscii(const unsigned char* p, const unsigned char* end) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    std::uint64_t word = 0;
    while (end - p >= static_cast<std::ptrdiff_t>(sizeof word)) {
        std::memcpy(&word, p, sizeof word);
        if ((word & kHighBits) != 0) break;
        p += sizeof word;
    }
    while (p < end && *p < 0x80) ++p;
    return p;
}

}  // namespace

bool repairUtf8(std::string& text) {
    static const std::string kReplacementCharacter = "\xEF\xBF\xBD";
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    std::string repaired;
    bool changed = false;
    const unsigned char* kept = begin;  // the first byte not yet in repaired
    for (const unsigned char* p = skipAscii(begin, end); p < end; p = skipAscii(p, end)) {
        std::size_t illFormed = 0;
        const std::size_t length = utf8SequenceLength(p, end, &illFormed);
        if (length > 0) {
            p += length;
            continue;
        }
        repaired.append(reinterpret_cast<const char*>(kept), static_cast<std::size_t>(p - kept));
        repaired += kReplacementCharacter;
        p += illFormed;
        kept = p;
        changed = true;
    }
    if (!changed) return false;
    repaired.append(reinterpret_cast<const char*>(kept), static_cast<std::size_t>(end - kept));
    text.swap(repaired);
    return true;
}

}  // namespace zefa_nlp_util
