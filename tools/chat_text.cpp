// SPDX-License-Identifier: MIT
#include "chat_text.h"

#include "utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace zefa_chat {

namespace {

constexpr char kDelete = 0x7F;
// The UTF-8 lead byte of U+0080 ... U+00BF, which holds the C1 controls U+0080 ... U+009F.
constexpr unsigned char kC1Lead = 0xC2;
constexpr unsigned char kC1Last = 0x9F;

// What a file that is not regular is, in words.
const char* fileTypeOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

// "16 MiB", "4 KiB", "100 bytes".
std::string sizeText(std::size_t bytes) {
    constexpr std::size_t kKiB = 1024;
    if (bytes % (kKiB * kKiB) == 0) return std::to_string(bytes / (kKiB * kKiB)) + " MiB";
    if (bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

bool isBlank(std::string_view text) { return text.find_first_not_of(kBlanks) == text.npos; }

std::string trimmed(std::string_view text) {
    const std::size_t start = text.find_first_not_of(kBlanks);
    if (start == text.npos) return std::string();
    return std::string(text.substr(start, text.find_last_not_of(kBlanks) - start + 1));
}

std::string withoutTrailingBlanks(std::string_view text) {
    const std::size_t last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(0, last == text.npos ? 0 : last + 1));
}

bool isControlCharacter(char c) { return static_cast<unsigned char>(c) < 0x20 || c == kDelete; }

bool holdsControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isControlCharacter);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string replacedAll(std::string text, std::string_view what, std::string_view with) {
    if (what.empty()) return text;
    for (std::size_t at = text.find(what); at != text.npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

Outcome<Json::Value> parseJson(std::string_view text) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return value;
    // jsoncpp says where and what on lines of their own ("* Line 1, Column 2\n  Syntax ...\n"),
    // for the first error and what followed from it: the first says it.
    const std::string first = errors.substr(0, errors.find("\n*"));
    return Failure{"not JSON (" + trimmed(replacedAll(replacedAll(first, "* ", ""), "\n  ", ": ")) +
                   ")"};
}

std::string checkedText(std::string_view text) {
    static bool warned = false;
    std::string valid(text);
    if (zefa_nlp_util::repairUtf8(valid) && !warned) {
        std::fputs(
            "zefa-chat: the input is not valid UTF-8; its invalid bytes are sent as U+FFFD "
            "(check the encoding of the terminal or file)\n",
            stderr);
        warned = true;
    }
    return valid;
}

std::string escapedForTerminal(std::string_view text) {
    std::string valid(text);
    zefa_nlp_util::repairUtf8(valid);
    std::string shown;
    shown.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto byte = static_cast<unsigned char>(valid[i]);
        if (isControlCharacter(valid[i]) && valid[i] != '\n' && valid[i] != '\t') {
            shown += '^';
            shown += valid[i] == kDelete ? '?' : static_cast<char>(byte + 0x40);
        } else if (byte == kC1Lead && i + 1 < valid.size() &&
                   static_cast<unsigned char>(valid[i + 1]) <= kC1Last) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned char>(valid[++i]));
            shown += code;
        } else {
            shown += valid[i];
        }
    }
    return shown;
}

bool terminalTakesEscapes() {
    const char* terminal = std::getenv("TERM");
    return terminal != nullptr && *terminal != '\0' && std::strcmp(terminal, "dumb") != 0;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

Failure cannotRead(const std::string& path, int error) {
    return Failure{"cannot read " + path + ": " + std::strerror(error)};
}

Outcome<std::string> readFile(const std::string& path, const FileKind& kind) {
    // Non-blocking, so that a named pipe with no writer cannot hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return cannotRead(path, errno);
    Outcome<std::string> text = readOpenFile(fd, path, kind);
    close(fd);
    return text;
}

Outcome<std::string> readOpenFile(int fd, const std::string& path, const FileKind& kind) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return cannotRead(path, errno);
    // A directory opens, and fails only at the first read.
    if (S_ISDIR(status.st_mode)) return cannotRead(path, EISDIR);
    if (!S_ISREG(status.st_mode)) {
        return Failure{"cannot read " + path + ": it is " + fileTypeOf(status.st_mode) +
                       ", not a regular file"};
    }
    const Failure tooLong{"cannot read " + path + ": " +
                          (kind.firstLineOnly ? "its first line holds" : "it holds") +
                          " more than " + sizeText(kind.limit) + ", the limit for " + kind.name};
    if (!kind.firstLineOnly && static_cast<std::size_t>(status.st_size) > kind.limit) {
        return tooLong;
    }
    // Read in turns, as the file may grow meanwhile (or, as in /proc, tell no size).
    std::string text;
    char buffer[4096];
    for (;;) {
        const std::size_t lineEnd = kind.firstLineOnly ? text.find('\n') : std::string::npos;
        if (lineEnd != std::string::npos && lineEnd <= kind.limit) return text.substr(0, lineEnd);
        if (text.size() > kind.limit) return tooLong;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return text;
        } else if (errno != EINTR) {
            return cannotRead(path, errno);
        }
    }
}

}  // namespace zefa_chat
