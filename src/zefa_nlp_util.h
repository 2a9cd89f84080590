// SPDX-License-Identifier: MIT
// Helpers shared by the engine's units: reading JSON, masking secrets for diagnostics, and the
// diagnostic lines themselves.
#pragma once

#include <json/value.h>

#include <memory>
#include <string>
#include <string_view>

namespace Json {
class CharReader;
}

namespace zefa_nlp_util {

// The bytes JSON allows around its tokens.
inline constexpr std::string_view kJsonBlanks = " \t\r\n";

// A C0 control character or DEL: what must not reach a header or a terminal unescaped.
[[nodiscard]] constexpr bool isControlByte(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// Parses text with the JSON reader's default settings and returns what it read: null when
// nothing could be read; the first value when text follows it. Never throws.
Json::Value formatJsonFromString(const std::string& text);

// Parses text like formatJsonFromString and tells whether the reader accepted it.
[[nodiscard]] bool parseJson(const std::string& text, Json::Value& value);

// JSON readers made once by their owner, for the texts it reads again and again (making a reader
// costs more than reading a short text). One thread at a time.
class JsonReader {
public:
    JsonReader();
    ~JsonReader();
    JsonReader(const JsonReader&) = delete;
    JsonReader& operator=(const JsonReader&) = delete;

    // As parseJson.
    [[nodiscard]] bool parse(const std::string& text, Json::Value& value);
    // As parse, but accepts only one JSON object with nothing but whitespace before or after it.
    [[nodiscard]] bool parseWholeObject(const std::string& text, Json::Value& value);

private:
    std::unique_ptr<Json::CharReader> reader_;
    std::unique_ptr<Json::CharReader> strictReader_;
};

// True when value is an object that has the member key. Safe on values of any type.
[[nodiscard]] bool hasMember(const Json::Value& value, const char* key);

// The member key of an object, or nullptr when value is no object or lacks the member.
[[nodiscard]] const Json::Value* findMember(const Json::Value& value, const char* key);

// The text of a JSON value with every scalar in it (not the member names) replaced by the
// string "***", written on one line: a JSON text safe to show in a diagnostic.
std::string maskedJson(const Json::Value& value);

// What a diagnostic may show of a configuration text, which may hold a secret anywhere: of a
// JSON object its maskedJson, of any other text only its length.
std::string maskedConfig(const std::string& text);

// Writes one diagnostic line to standard error: lead, then text with its control characters
// escaped (\n, \r, \t, \u001b, ...), so that text from elsewhere can neither break the line
// nor drive a terminal.
void printDiagnostic(std::string_view lead, std::string_view text);

// text with its control characters (C0, DEL and the C1 range written as UTF-8) escaped as in
// JSON; everything else unchanged.
std::string escapeControlCharacters(std::string_view text);

}  // namespace zefa_nlp_util
