// SPDX-License-Identifier: MIT
#include "line_input.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <histedit.h>
#include <iostream>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zefa_chat {

namespace {

constexpr const char* kAsciiCodeset = "ANSI_X3.4-1968";  // of the C locale
constexpr const char* kUtf8Locale = "C.UTF-8";
constexpr const char* kPrompt = "> ";
constexpr const char* kContinuationPrompt = "... ";
constexpr int kHistoryEntries = 1000;
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
    ::history(history_, &event, H_ENTER, line.c_str());
    saveHistory();
}

void LineInput::loadHistory() {
    if (historyPath_.empty()) return;
    HistEvent event;
    (void)::history(history_, &event, H_LOAD, historyPath_.c_str());  // none yet: fine
}

// Written whole after every entry, so that an end by Ctrl-C loses nothing.
void LineInput::saveHistory() {
    if (historyPath_.empty()) return;
    int fd = -1;
    if (makeParentDirectories(historyPath_)) {
        fd = open(historyPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                  kHistoryFileMode);
    }
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        if (!historyWarned_) {
            std::fprintf(stderr, "zefa-chat: cannot keep the history in %s: %s\n",
                         historyPath_.c_str(), std::strerror(errno));
        }
        historyWarned_ = true;
        if (fd >= 0) close(fd);
        return;
    }
    // A file from elsewhere may be readable by others; the history is the user's alone.
    (void)fchmod(fd, kHistoryFileMode);
    HistEvent event;
    (void)::history(history_, &event, H_SAVE_FP, file);
    std::fclose(file);
}

}  // namespace zefa_chat
