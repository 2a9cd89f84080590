// SPDX-License-Identifier: MIT
#include "failure_report.h"

#include "chat_text.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <unistd.h>

namespace zefa_chat {

namespace {

// Beyond this, the explanation is cut: the whole reply is for --verbose.
constexpr std::size_t kDetailLimit = 200;

// The engine's diagnostic lines about things describeFailure and the model check word.
constexpr std::string_view kEngineDiagnostics[] = {
    "zefa chat failed: ", "net error: ", "Invalid current model name: "};

struct Wording {
    std::string what;
    std::string hint;
};

// By the engine's documented codes; a code stands for a set of HTTP statuses.
Wording wordingOf(int code, const std::string& service) {
    switch (code) {
        case ai_engine::NetworkError:
            return {"the connection to the service at " + service + " failed",
                    "Check the network connection, then retry."};
        case ai_engine::InvalidRequest:
            return {"the service refused the request (HTTP 400, 408 or 500)",
                    "Retry later; if it keeps failing, shorten the conversation (/reset)."};
        case ai_engine::CertificateError:
            return {"the certificate of the service at " + service + " failed verification",
                    "Check the system's CA certificates and clock."};
        case ai_engine::Unauthorized:
            return {"the service refused the API key (HTTP 401, 403 or 404)",
                    "Check the key in ZEFA_API_KEY or the --api-key-file."};
        case ai_engine::EmptyInput:
            return {"there was nothing to send", ""};
        case ai_engine::PayloadTooLarge:
            return {"the request is too large for the service (HTTP 413)",
                    "Shorten the prompt or the conversation (/reset)."};
        case ai_engine::TooManyRequests:
            return {"the service is busy or the rate limit is reached (HTTP 429)", "Retry later."};
        case ai_engine::UnknownServiceError:
            return {"the service gave no usable answer",
                    "The service may be busy or down; retry later."};
        default:
            return {"the request failed", ""};
    }
}

// Blanks and line ends as single spaces, cut to kDetailLimit bytes on a character boundary.
std::string oneLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        const bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!blank) {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    if (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.size() <= kDetailLimit) return line;
    std::size_t cut = kDetailLimit;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    return line.substr(0, cut) + "...";
}

// The title of an HTML error page (a gateway's, for instance), else its text without tags.
std::string textOfPage(const std::string& page) {
    std::string lower(page);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t title = lower.find("<title>");
    const std::size_t titleEnd = lower.find("</title>");
    if (title != std::string::npos && titleEnd != std::string::npos && titleEnd > title) {
        const std::size_t start = title + std::string_view("<title>").size();
        return page.substr(start, titleEnd - start);
    }
    std::string text;
    bool inTag = false;
    for (const char c : page) {
        if (c == '<' || c == '>') {
            inTag = c == '<';
            text += ' ';
        } else if (!inTag) {
            text += c;
        }
    }
    return text;
}

// What the engine's error message says, for a person: the "message" of the service's error
// object, the text of an error page, or the engine's or libcurl's own sentence.
std::string detailOf(const std::string& message) {
    Json::Value reply;
    const Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (reader->parse(message.data(), message.data() + message.size(), &reply, nullptr) &&
        reply.isObject() && reply.isMember("error")) {
        const Json::Value& error = reply["error"];
        if (error.isString()) return oneLine(error.asString());
        const bool hasText = error.isObject() && error["message"].isString();
        return hasText ? oneLine(error["message"].asString()) : std::string();
    }
    const std::size_t start = message.find_first_not_of(kBlanks);
    if (start != std::string::npos && message[start] == '<') return oneLine(textOfPage(message));
    return oneLine(message);
}

// The status at the end of the terminal's line, and the lines written below it: each erases it
// first, so that no line starts after it. Written straight to the descriptor: the stderr stream
// holds back partial lines.
class StatusLine {
public:
    void show(std::string_view text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        eraseShown();
        shown_ = writeAll(STDERR_FILENO, text);
    }

    void clear() {
        const std::lock_guard<std::mutex> lock(mutex_);
        eraseShown();
    }

    void writeLine(std::string_view line) {
        const std::lock_guard<std::mutex> lock(mutex_);
        eraseShown();
        (void)writeAll(STDERR_FILENO, line);
    }

private:
    // Back to the start of the line, which is then erased.
    static constexpr std::string_view kEraseLine = "\r\x1b[K";

    void eraseShown() {
        if (shown_) (void)writeAll(STDERR_FILENO, kEraseLine);
        shown_ = false;
    }

    std::mutex mutex_;
    bool shown_ = false;
};

StatusLine statusLine;

// The stream that replaces stderr. It passes whole lines. An engine diagnostic may span lines (a
// service's error reply often does), so it is held back from its first line up to zefa-chat's
// own next line, which always follows it: the wording of the failure.
class DiagnosticsFilter {
public:
    DiagnosticsFilter(bool holdBack, bool escape) : holdBack_(holdBack), escape_(escape) {}

    static ssize_t write(void* cookie, const char* data, std::size_t size) {
        static_cast<DiagnosticsFilter*>(cookie)->take(std::string_view(data, size));
        return static_cast<ssize_t>(size);
    }

private:
    void take(std::string_view data) {
        pending_.append(data);
        for (std::size_t end = pending_.find('\n'); end != std::string::npos;
             end = pending_.find('\n')) {
            const std::string_view line(pending_.data(), end + 1);
            if (std::any_of(std::begin(kEngineDiagnostics), std::end(kEngineDiagnostics),
                            [line](std::string_view prefix) { return startsWith(line, prefix); })) {
                holding_ = holdBack_;
            } else if (startsWith(line, kOwnLines)) {
                holding_ = false;
            }
            if (!holding_)
                statusLine.writeLine(escape_ ? escapedForTerminal(line) : std::string(line));
            pending_.erase(0, end + 1);
        }
    }

    static constexpr std::string_view kOwnLines = "zefa-chat: ";
    const bool holdBack_;
    const bool escape_;
    std::string pending_;  // the start of a line
    bool holding_ = false;
};

}  // namespace

std::string describeFailure(const ai_engine::EngineError& error,
                            const std::string& serviceAddress) {
    const Wording wording = wordingOf(error.code, serviceAddress);
    const std::string detail = detailOf(error.message);
    std::string line = "zefa-chat: " + wording.what;
    if (!detail.empty()) line += ": " + detail;
    line += " (error " + std::to_string(error.code) + ")";
    if (!wording.hint.empty()) line += " " + wording.hint;
    return line;
}

void showStatus(std::string_view text) { statusLine.show(text); }

void clearStatus() { statusLine.clear(); }

void filterStandardError(bool holdBackEngineLines) {
    const bool escape = isatty(STDERR_FILENO) != 0;
    if (!holdBackEngineLines && !escape) return;
    // Lives as long as the stream, to the very end of the program.
    static auto* const filter = new DiagnosticsFilter(holdBackEngineLines, escape);
    FILE* filtered =
        fopencookie(filter, "w", {nullptr, DiagnosticsFilter::write, nullptr, nullptr});
    if (filtered == nullptr) return;
    std::setvbuf(filtered, nullptr, _IONBF, 0);  // as unbuffered as the stream it replaces
    // glibc's stderr is a variable that may be set; the library's fprintf(stderr, ...) follow.
    stderr = filtered;
}

}  // namespace zefa_chat
