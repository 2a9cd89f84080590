// SPDX-License-Identifier: MIT
#include "line_input.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <histedit.h>
#include <iostream>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zefa_chat {

namespace {

constexpr const char* kAsciiCodeset = "ANSI_X3.4-1968";  // of the C locale
constexpr const char* kUtf8Locale = "C.UTF-8";
constexpr const char* kPrompt = "> ";
constexpr const char* kContinuationPrompt = "... ";
constexpr int kHistoryEntries = 1000;
// Sessions append to the history file; only once it has grown to this many lines does a
// session's start cut it back to the last kHistoryEntries (a rare rewrite, so that sessions
// running at once seldom race on it).
constexpr std::size_t kHistoryTrimLines = 2 * kHistoryEntries;
constexpr mode_t kHistoryFileMode = 0600;
constexpr mode_t kStateDirectoryMode = 0700;

char* promptOf(EditLine* editor) {
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    const bool continuation = *static_cast<const bool*>(data);
    return const_cast<char*>(continuation ? kContinuationPrompt : kPrompt);
}

// mkdir -p for the directories above path.
bool makeParentDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        if (mkdir(directory.c_str(), kStateDirectoryMode) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool isBlank(const std::string& line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// Replaces the file at path with lines, through a new file (mode 0600) renamed over it, so that
// no reader ever sees it half written. On failure the file stays as it was.
void replaceFile(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + '\n';
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
    }
}

}  // namespace

LineInput::LineInput(std::string secret) : secret_(std::move(secret)) {
    if (isatty(STDIN_FILENO) == 0) return;
    // Characters beyond ASCII are read in the terminal's encoding. Where no locale names one,
    // libedit would drop them all: take UTF-8 then, as terminals mostly are.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), kAsciiCodeset) == 0)
        std::setlocale(LC_CTYPE, kUtf8Locale);
    termios terminal{};
    if (tcgetattr(STDIN_FILENO, &terminal) == 0) savedTerminal_ = terminal;
    // The prompt and the line being edited go to the terminal, also when standard output does
    // not.
    FILE* display = isatty(STDOUT_FILENO) != 0 ? stdout : stderr;
    editor_ = el_init("zefa-chat", stdin, display, stderr);
    if (editor_ == nullptr) return;
    history_ = history_init();
    HistEvent event;
    ::history(history_, &event, H_SETSIZE, kHistoryEntries);
    ::history(history_, &event, H_SETUNIQUE, 1);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_HIST, ::history, history_);
    el_set(editor_, EL_CLIENTDATA, &continuation_);
    el_set(editor_, EL_PROMPT, promptOf);
    // There is nothing to complete: a Tab, typed or pasted (code, tables), is text. Bound
    // before the user's ~/.editrc, which may bind it otherwise.
    el_set(editor_, EL_BIND, "^I", "ed-insert", nullptr);
    el_source(editor_, nullptr);  // the user's ~/.editrc
    historyPath_ = historyPath();
    loadHistory();
}

LineInput::~LineInput() {
    if (editor_ != nullptr) el_end(editor_);
    if (history_ != nullptr) history_end(history_);
}

std::optional<std::string> LineInput::read(bool continuation) {
    std::string line;
    if (editor_ == nullptr) {
        if (!std::getline(std::cin, line)) return std::nullopt;
        return line;
    }
    continuation_ = continuation;
    // Edit mode before the prompt shows, not at the first key: keys typed as soon as it shows
    // are then read as typed (a Ctrl-D would otherwise end no line, and be lost).
    el_set(editor_, EL_PREP_TERM, 1);
    int count = 0;
    const char* text = el_gets(editor_, &count);
    if (text == nullptr || count <= 0) return std::nullopt;
    line.assign(text, static_cast<std::size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    remember(line);
    return line;
}

void LineInput::restoreTerminal() const {
    if (savedTerminal_) tcsetattr(STDIN_FILENO, TCSADRAIN, &*savedTerminal_);
}

std::string LineInput::historyPath() {
    // A relative XDG_STATE_HOME is to be ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/zefa-chat/history";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/state/zefa-chat/history";
    }
    return std::string();
}

void LineInput::remember(const std::string& line) {
    if (isBlank(line)) return;
    // A pasted key must not end up in a file.
    if (!secret_.empty() && line.find(secret_) != std::string::npos) return;
    HistEvent event;
    // A prompt recalled and sent unchanged is not kept twice in a row.
    if (::history(history_, &event, H_FIRST) == 0 && line == event.str) return;
    ::history(history_, &event, H_ENTER, line.c_str());
    appendHistory(line);
}

// The file holds one entry per line, the newest last.
void LineInput::loadHistory() {
    if (historyPath_.empty()) return;
    std::vector<std::string> lines = readLines(historyPath_);
    if (lines.size() > kHistoryTrimLines) {
        lines.erase(lines.begin(), lines.end() - kHistoryEntries);
        replaceFile(historyPath_, lines);
    }
    HistEvent event;
    for (const std::string& line : lines) ::history(history_, &event, H_ENTER, line.c_str());
}

// Appended at once, so that an end by Ctrl-C loses nothing and sessions running at once all keep
// their entries.
void LineInput::appendHistory(const std::string& line) {
    if (historyPath_.empty()) return;
    const int fd =
        makeParentDirectories(historyPath_)
            ? open(historyPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
                   kHistoryFileMode)
            : -1;
    bool saved = false;
    if (fd >= 0) {
        // A file from elsewhere may be readable by others; the history is the user's alone.
        (void)fchmod(fd, kHistoryFileMode);
        // One write: the entries of sessions writing at once do not mix.
        const std::string entry = line + '\n';
        saved = write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
    }
    if (!saved && !historyWarned_) {
        std::fprintf(stderr, "zefa-chat: cannot keep the history in %s: %s\n", historyPath_.c_str(),
                     std::strerror(errno));
        historyWarned_ = true;
    }
    if (fd >= 0) close(fd);
}

}  // namespace zefa_chat
