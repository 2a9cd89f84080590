// SPDX-License-Identifier: MIT
#include "fragment.h"

#include "unicode_escape.h"
#include "utf8.h"
#include "zefa_nlp_util.h"

#include <cstdint>

namespace zefa_nlp_fragment {

namespace {

using zefa_nlp_util::combineSurrogates;
using zefa_nlp_util::decodeUnicodeEscape;
using zefa_nlp_util::findMember;
using zefa_nlp_util::isHighSurrogate;
using zefa_nlp_util::isLowSurrogate;
using zefa_nlp_util::kUnicodeEscapeLength;
using zefa_nlp_util::utf8SequenceLength;

// Element 0 of an array, or nullptr.
const Json::Value* firstElement(const Json::Value* value) {
    if (value == nullptr || !value->isArray() || value->empty()) return nullptr;
    return &(*value)[0];
}

const Json::Value* member(const Json::Value* value, const char* key) {
    return value == nullptr ? nullptr : findMember(*value, key);
}

// Nesting the fast reader follows; deeper payloads take the general way.
constexpr int kMaxDepth = 64;

// Appends code point cp as UTF-8.
void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::uint32_t decodeUtf8(const unsigned char* s, std::size_t length) {
    switch (length) {
        case 2:
            return (std::uint32_t(s[0] & 0x1F) << 6) | (s[1] & 0x3F);
        case 3:
            return (std::uint32_t(s[0] & 0x0F) << 12) | (std::uint32_t(s[1] & 0x3F) << 6) |
                   (s[2] & 0x3F);
        default:
            return (std::uint32_t(s[0] & 0x07) << 18) | (std::uint32_t(s[1] & 0x3F) << 12) |
                   (std::uint32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    }
}

// Bytes a JSON string holds as they are: printable ASCII but the quote and the backslash.
constexpr struct PlainAsciiTable {
    bool plain[256] = {};
    constexpr PlainAsciiTable() {
        for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    }
} kPlainAscii;

bool isPlainAscii(unsigned char c) { return kPlainAscii.plain[c]; }

// One pass over plain JSON; every read returns false on anything it does not fully understand.
class PlainReader {
public:
    PlainReader(std::string_view text, std::string& nameBuffer, std::string& valueBuffer)
        : p_(text.data()),
          end_(text.data() + text.size()),
          key_(nameBuffer),
          scratch_(valueBuffer) {}

    bool readChunk(PlainChunk& chunk) {
        bool seenChoices = false;
        const bool read = readObject(1, [&](std::string_view key) {
            if (key == "error") return false;  // the service's refusal: the general way
            if (key != "choices") return skipValue(1);
            if (seenChoices) return false;
            seenChoices = true;
            return readChoices(chunk);
        });
        skipBlanks();
        return read && p_ == end_;
    }

private:
    void skipBlanks() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
    }

    bool next(char c) {
        skipBlanks();
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    bool at(char c) {
        skipBlanks();
        return p_ < end_ && *p_ == c;
    }

    // Reads an object, handing each member name to onMember, which must read the value.
    template <typename OnMember>
    bool readObject(int depth, OnMember&& onMember) {
        if (depth > kMaxDepth || !next('{')) return false;
        if (next('}')) return true;
        do {
            // One buffer for every member name: onMember looks at the name before it reads
            // the value, which may hold objects of its own.
            if (!at('"') || !readString(key_) || !next(':') || !onMember(key_)) return false;
        } while (next(','));
        return next('}');
    }

    bool readString(std::string& out) {
        out.clear();
        ++p_;  // the opening quote
        while (p_ < end_) {
            // Plain ASCII in one piece: the common case.
            const char* run = p_;
            while (p_ < end_ && isPlainAscii(static_cast<unsigned char>(*p_))) ++p_;
            out.append(run, static_cast<std::size_t>(p_ - run));
            if (p_ == end_) break;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                if (!readEscape(out)) return false;
            } else if (c < 0x20) {
                return false;
            } else {
                const auto* s = reinterpret_cast<const unsigned char*>(p_);
                const std::size_t length =
                    utf8SequenceLength(s, reinterpret_cast<const unsigned char*>(end_));
                if (length == 0) return false;
                out.append(p_, length);
                p_ += length;
            }
        }
        return false;
    }

    bool readEscape(std::string& out) {
        if (end_ - p_ < 2) return false;
        const char escape = p_[1];
        if (escape == 'u') return readUnicodeEscape(out);
        p_ += 2;
        switch (escape) {
            case '"':
                out += '"';
                return true;
            case '/':
                out += '/';
                return true;
            case '\\':
                out += '\\';
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            default:
                return false;
        }
    }

    // A \uXXXX escape, or two for a character beyond U+FFFF; a surrogate without its partner
    // takes the general way.
    bool readUnicodeEscape(std::string& out) {
        std::uint32_t unit = 0;
        if (!takeUnicodeEscape(unit) || isLowSurrogate(unit)) return false;
        if (isHighSurrogate(unit)) {
            std::uint32_t low = 0;
            if (!takeUnicodeEscape(low) || !isLowSurrogate(low)) return false;
            unit = combineSurrogates(unit, low);
        }
        appendUtf8(out, unit);
        return true;
    }

    bool takeUnicodeEscape(std::uint32_t& unit) {
        if (!decodeUnicodeEscape(std::string_view(p_, static_cast<std::size_t>(end_ - p_)), unit)) {
            return false;
        }
        p_ += kUnicodeEscapeLength;
        return true;
    }

    bool skipDigits() {
        const char* start = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return p_ != start;
    }

    // A JSON number without exponent (the JSON library refuses some exponents JSON allows).
    bool skipNumber() {
        if (p_ < end_ && *p_ == '-') ++p_;
        if (p_ < end_ && *p_ == '0') {
            ++p_;
        } else if (!skipDigits()) {
            return false;
        }
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            if (!skipDigits()) return false;
        }
        return !(p_ < end_ && (*p_ == 'e' || *p_ == 'E'));
    }

    bool skipWord(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::string_view(p_, word.size()) != word) {
            return false;
        }
        p_ += word.size();
        return true;
    }

    bool skipValue(int depth) {
        skipBlanks();
        if (p_ >= end_ || depth > kMaxDepth) return false;
        switch (*p_) {
            case '{':
                return readObject(depth + 1,
                                  [&](const std::string&) { return skipValue(depth + 1); });
            case '[':
                return skipArray(depth + 1);
            case '"':
                return readString(scratch_);
            case 't':
                return skipWord("true");
            case 'f':
                return skipWord("false");
            case 'n':
                return skipWord("null");
            default:
                return skipNumber();
        }
    }

    bool skipArray(int depth) {
        ++p_;  // [
        if (next(']')) return true;
        do {
            if (!skipValue(depth)) return false;
        } while (next(','));
        return next(']');
    }

    bool readChoices(PlainChunk& chunk) {
        if (!at('[')) return skipValue(2);  // no array: no choice
        ++p_;
        if (next(']')) return true;
        if (!(at('{') ? readChoice(chunk) : skipValue(3))) return false;
        while (next(',')) {
            if (!skipValue(3)) return false;
        }
        return next(']');
    }

    bool readChoice(PlainChunk& chunk) {
        bool seenDelta = false;
        bool seenFinish = false;
        return readObject(3, [&](std::string_view key) {
            if (key == "delta") {
                if (seenDelta) return false;
                seenDelta = true;
                return at('{') ? readDelta(chunk) : skipValue(3);
            }
            if (key == "finish_reason") {
                if (seenFinish) return false;
                seenFinish = true;
                if (!at('"')) return skipValue(3);
                if (!readString(scratch_)) return false;
                chunk.isEnd = std::string_view(scratch_) == "stop";
                return true;
            }
            return skipValue(3);
        });
    }

    bool readDelta(PlainChunk& chunk) {
        bool seenContent = false;
        return readObject(4, [&](std::string_view key) {
            if (key != "content") return skipValue(4);
            if (seenContent) return false;
            seenContent = true;
            if (at('"')) {
                chunk.hasContent = readString(chunk.content);
                return chunk.hasContent;
            }
            return skipWord("null");  // any other type: the general way
        });
    }

    const char* p_;
    const char* end_;
    std::string& key_;
    std::string& scratch_;
};

void appendHex(std::string& out, std::uint32_t unit) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 0xF];
}

// A string as the JSON library's writer quotes it (no raw UTF-8: \u escapes).
void appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = s + text.size();
    while (s < end) {
        const unsigned char c = *s;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    appendHex(out, c);
                } else if (c < 0x80) {
                    out += static_cast<char>(c);
                } else {
                    // The reader let only well-formed UTF-8 through.
                    const std::size_t length = utf8SequenceLength(s, end);
                    std::uint32_t cp = decodeUtf8(s, length);
                    if (cp < 0x10000) {
                        appendHex(out, cp);
                    } else {
                        cp -= 0x10000;
                        appendHex(out, 0xD800 + ((cp >> 10) & 0x3FF));
                        appendHex(out, 0xDC00 + (cp & 0x3FF));
                    }
                    s += length;
                    continue;
                }
        }
        ++s;
    }
    out += '"';
}

}  // namespace

Json::Value fragmentJson(const Json::Value& payload, int sentenceId) {
    const Json::Value* choice = firstElement(findMember(payload, "choices"));
    const Json::Value* finishReason = member(choice, "finish_reason");
    const Json::Value* content = member(member(choice, "delta"), "content");

    Json::Value fragment(Json::objectValue);
    fragment["is_end"] = finishReason != nullptr && *finishReason == Json::Value("stop");
    fragment["result"] = content != nullptr ? *content : Json::Value();
    fragment["sentence_id"] = sentenceId;
    return fragment;
}

bool readPlainChunk(std::string_view payload, PlainChunk& chunk) {
    chunk.isEnd = false;
    chunk.hasContent = false;
    chunk.content.clear();
    return PlainReader(payload, chunk.nameBuffer, chunk.valueBuffer).readChunk(chunk);
}

void writeFragment(const PlainChunk& chunk, int sentenceId, std::string& out) {
    out.assign("{\n\t\"is_end\" : ");
    out += chunk.isEnd ? "true" : "false";
    out += ",\n\t\"result\" : ";
    if (chunk.hasContent) {
        appendQuoted(out, chunk.content);
    } else {
        out += "null";
    }
    out += ",\n\t\"sentence_id\" : ";
    out += std::to_string(sentenceId);
    out += "\n}\n";
}

void warmUp() {
    static const std::string kSample =
        R"({"choices":[{"delta":{"content":"\u4f60"},"finish_reason":null}]})";
    PlainChunk chunk;
    std::string text;
    if (readPlainChunk(kSample, chunk)) writeFragment(chunk, 0, text);
    text = fragmentJson(zefa_nlp_util::formatJsonFromString(kSample), 0).toStyledString();
}

}  // namespace zefa_nlp_fragment
