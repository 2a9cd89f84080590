// SPDX-License-Identifier: MIT
#include "zefa_nlp_util.h"

#include "utf8.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cstdio>
#include <memory>

namespace zefa_nlp_util {

namespace {

bool parseWith(Json::CharReader& reader, const std::string& text, Json::Value& value) {
    value = Json::Value();
    // The reader keeps a pointer to the end of the text; a std::string is NUL-terminated, which
    // keeps the reader's look-ahead after a trailing CR inside the buffer.
    try {
        return reader.parse(text.data(), text.data() + text.size(), &value, nullptr);
    } catch (const Json::Exception&) {
        // Nesting deeper than the reader's stack limit raises instead of failing.
        value = Json::Value();
        return false;
    }
}

std::unique_ptr<Json::CharReader> strictReader() {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

bool startsAnObject(const std::string& text) {
    const std::size_t first = text.find_first_not_of(kJsonBlanks);
    return first != std::string::npos && text[first] == '{';
}

}  // namespace

bool parseJson(const std::string& text, Json::Value& value) {
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    return parseWith(*reader, text, value);
}

JsonReader::JsonReader()
    : reader_(Json::CharReaderBuilder().newCharReader()), strictReader_(strictReader()) {}

JsonReader::~JsonReader() = default;

bool JsonReader::parse(const std::string& text, Json::Value& value) {
    return parseWith(*reader_, text, value);
}

bool JsonReader::parseWholeObject(const std::string& text, Json::Value& value) {
    value = Json::Value();
    return startsAnObject(text) && parseWith(*strictReader_, text, value) && value.isObject();
}

Json::Value formatJsonFromString(const std::string& text) {
    Json::Value value;
    (void)parseJson(text, value);
    return value;
}

const Json::Value* findMember(const Json::Value& value, const char* key) {
    if (!value.isObject()) return nullptr;
    return value.find(key, key + std::char_traits<char>::length(key));
}

bool hasMember(const Json::Value& value, const char* key) {
    return findMember(value, key) != nullptr;
}

namespace {

constexpr const char* kMask = "***";

Json::Value masked(const Json::Value& value) {
    if (value.isArray()) {
        Json::Value copy(Json::arrayValue);
        for (const Json::Value& element : value) copy.append(masked(element));
        return copy;
    }
    if (value.isObject()) {
        Json::Value copy(Json::objectValue);
        for (auto it = value.begin(); it != value.end(); ++it) copy[it.name()] = masked(*it);
        return copy;
    }
    // A key may be given as a number, or hide in any other value.
    return Json::Value(kMask);
}

}  // namespace

std::string maskedJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";  // the reader keeps comments, and a comment may hold a key
    return Json::writeString(builder, masked(value));
}

std::string maskedConfig(const std::string& text) {
    Json::Value value;
    // The reader takes the number at the start of "8675309SECRET" and leaves the rest: of text
    // that is no object, even the part it read may be secret.
    if (!parseJson(text, value) || !value.isObject()) {
        return "(not a JSON object, " + std::to_string(text.size()) + " bytes)";
    }
    return maskedJson(value);
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendHex(unsigned char byte, std::string& out) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

// The escape of one control character: \n, \r and \t by name, the others by number.
void appendEscape(unsigned char code, std::string& out) {
    switch (code) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += "\\u00";
            appendHex(code, out);
    }
}

bool isC1Range(unsigned char byte) { return byte >= 0x80 && byte <= 0x9F; }

}  // namespace

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = s + text.size();
    while (s < end) {
        if (*s < 0x80) {
            if (isControlByte(*s)) {
                appendEscape(*s, out);
            } else {
                out += static_cast<char>(*s);
            }
            ++s;
            continue;
        }
        std::size_t illFormed = 0;
        const std::size_t length = utf8SequenceLength(s, end, &illFormed);
        if (length == 2 && s[0] == 0xC2 && isC1Range(s[1])) {
            appendEscape(s[1], out);  // U+0080 to U+009F
        } else if (length > 0) {
            out.append(reinterpret_cast<const char*>(s), length);
        } else {
            // Bytes of no character, as they are, except those an 8-bit terminal takes for
            // controls (0x9B introduces a command there).
            for (std::size_t i = 0; i < illFormed; ++i) {
                if (isC1Range(s[i])) {
                    out += "\\x";
                    appendHex(s[i], out);
                } else {
                    out += static_cast<char>(s[i]);
                }
            }
        }
        s += length > 0 ? length : illFormed;
    }
    return out;
}

void printDiagnostic(std::string_view lead, std::string_view text) {
    const std::string line = std::string(lead) + escapeControlCharacters(text) + "\n";
    // One write, so that lines of engines on several threads do not interleave.
    fputs(line.c_str(), stderr);
}

}  // namespace zefa_nlp_util
