// SPDX-License-Identifier: MIT
#include "split_surrogates.h"

#include "unicode_escape.h"
#include "zefa_nlp_util.h"

#include <cstdint>
#include <string_view>

namespace zefa_nlp_util {

namespace {

constexpr const char* kReplacementEscape = "\\ufffd";

// The code unit of the \uXXXX escape at text[at], if there is one before end.
bool codeUnitAt(const std::string& text, std::size_t at, std::size_t end, std::uint32_t& unit) {
    return at < end && decodeUnicodeEscape(std::string_view(text).substr(at, end - at), unit);
}

bool lowSurrogateAt(const std::string& text, std::size_t at, std::size_t end) {
    std::uint32_t unit = 0;
    return codeUnitAt(text, at, end, unit) && isLowSurrogate(unit);
}

bool isBlank(char c) { return zefa_nlp_util::kJsonBlanks.find(c) != std::string_view::npos; }

// Where the characters of the "content" string value lie: [begin, end), end at its closing quote.
bool findContentString(const std::string& text, std::size_t& begin, std::size_t& end) {
    static const std::string kKey = "\"content\"";
    const auto skipBlanks = [&text](std::size_t at) {
        while (at < text.size() && isBlank(text[at])) ++at;
        return at;
    };
    for (std::size_t key = text.find(kKey); key != std::string::npos;
         key = text.find(kKey, key + kKey.size())) {
        std::size_t at = skipBlanks(key + kKey.size());
        if (at >= text.size() || text[at] != ':') continue;
        at = skipBlanks(at + 1);
        if (at >= text.size() || text[at] != '"') continue;
        begin = at + 1;
        for (std::size_t i = begin; i < text.size(); ++i) {
            if (text[i] == '\\') {
                ++i;
            } else if (text[i] == '"') {
                end = i;
                return true;
            }
        }
        return false;
    }
    return false;
}

}  // namespace

void repairSplitSurrogates(std::string& payload, std::string& carried) {
    if (carried.empty() && payload.find("\\u") == std::string::npos) return;
    std::size_t begin = 0;
    std::size_t end = 0;
    if (!findContentString(payload, begin, end)) return;

    std::string repaired;
    std::size_t i = begin;
    if (!carried.empty()) {
        if (lowSurrogateAt(payload, i, end)) {
            repaired = carried + payload.substr(i, kUnicodeEscapeLength);
            i += kUnicodeEscapeLength;
        } else {
            repaired = kReplacementEscape;
        }
        carried.clear();
    }
    while (i < end) {
        std::uint32_t unit = 0;
        if (payload[i] != '\\') {
            repaired += payload[i++];
        } else if (!codeUnitAt(payload, i, end, unit)) {
            repaired.append(payload, i, 2);  // another escape: \" \\ \n ...
            i += 2;
        } else if (isHighSurrogate(unit) &&
                   lowSurrogateAt(payload, i + kUnicodeEscapeLength, end)) {
            repaired.append(payload, i, 2 * kUnicodeEscapeLength);
            i += 2 * kUnicodeEscapeLength;
        } else if (isHighSurrogate(unit) && i + kUnicodeEscapeLength == end) {
            // Its partner comes with the next event.
            carried = payload.substr(i, kUnicodeEscapeLength);
            i += kUnicodeEscapeLength;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            repaired += kReplacementEscape;
            i += kUnicodeEscapeLength;
        } else {
            repaired.append(payload, i, kUnicodeEscapeLength);
            i += kUnicodeEscapeLength;
        }
    }
    payload.replace(begin, end - begin, repaired);
}

}  // namespace zefa_nlp_util
