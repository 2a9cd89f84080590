// SPDX-License-Identifier: MIT
// The text helpers of zefa-chat: one meaning of "blank", JSON in the engine's form, files read
// with the reason when they cannot be, and text made safe for a terminal.
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>
#include <variant>

namespace zefa_chat {

// Why something could not be done, as a line for the user (without the "zefa-chat: " prefix).
struct Failure {
    std::string message;
};
// A value, or the failure that took its place.
template <typename T>
using Outcome = std::variant<T, Failure>;

// The failure of outcome, or null when it holds a value.
template <typename T>
const Failure* failureOf(const Outcome<T>& outcome) {
    return std::get_if<Failure>(&outcome);
}

// Blanks and line ends.
constexpr std::string_view kBlanks = " \t\r\n";

bool isBlank(std::string_view text);
// Without leading and trailing blanks and line ends.
std::string trimmed(std::string_view text);
// Without trailing blanks and line ends.
std::string withoutTrailingBlanks(std::string_view text);
bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view end);
// Every occurrence of what replaced by with.
std::string replacedAll(std::string text, std::string_view what, std::string_view with);

// One line of JSON, characters beyond ASCII as they are.
std::string compactJson(const Json::Value& value);
// The JSON value of text, or why it is none.
Outcome<Json::Value> parseJson(std::string_view text);

// A C0 control character (line feed and tab among them) or DEL.
bool isControlCharacter(char c);
bool holdsControlCharacter(std::string_view text);

// Text for the service, which takes UTF-8 only: invalid bytes become U+FFFD, which is said once
// per run on standard error.
std::string checkedText(std::string_view text);

// Text from elsewhere (a service, a file) that may not drive the terminal it is shown on: UTF-8
// repaired, and control characters other than line feed and tab shown as ^X (^? for DEL) or,
// for those beyond ASCII, as \u0080 ... \u009f.
std::string escapedForTerminal(std::string_view text);

// TERM names a terminal that takes escape sequences: it is set, and not "dumb".
bool terminalTakesEscapes();

// Writes all of text to fd, going on after a signal; false (errno telling why) when it cannot.
bool writeAll(int fd, std::string_view text);

// "cannot read PATH: reason", the reason of the errno value error.
Failure cannotRead(const std::string& path, int error);

// What a file is read for, which bounds how much of it is read: a file that would need more is
// refused with a line that names the limit and the kind.
struct FileKind {
    const char* name;            // "a saved conversation"
    std::size_t limit;           // in bytes
    bool firstLineOnly = false;  // only the first line is of use: the rest is not read
};

// The text of the regular file at path (its first line, without the line end, for a kind that
// wants only that), or "cannot read PATH: reason": missing, permission, a directory, any other
// file that is not regular (a named pipe would hold the read, a device never end it), or more
// text than the kind's limit.
Outcome<std::string> readFile(const std::string& path, const FileKind& kind);
// The same for the file open as fd (which stays open), named path in a failure.
Outcome<std::string> readOpenFile(int fd, const std::string& path, const FileKind& kind);

}  // namespace zefa_chat
