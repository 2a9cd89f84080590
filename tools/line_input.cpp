// SPDX-License-Identifier: MIT
#include "line_input.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <histedit.h>
#include <iostream>
#include <iterator>
#include <langinfo.h>
#include <poll.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace zefa_chat {

namespace {

constexpr const char* kAsciiCodeset = "ANSI_X3.4-1968";  // of the C locale
constexpr const char* kUtf8Locale = "C.UTF-8";
constexpr const char* kPrompt = "> ";
constexpr const char* kContinuationPrompt = "... ";
constexpr const char* kHistoryFile = "history";
constexpr int kHistoryEntries = 1000;
// Sessions append to the history file; only once it has grown to this many lines does a
// session's start cut it back to the last kHistoryEntries (a rare rewrite, so that sessions
// running at once seldom race on it).
constexpr std::size_t kHistoryTrimLines = 2 * kHistoryEntries;
// Room for that many long prompts.
constexpr FileKind kHistoryKind{"the history", 64 * 1024 * 1024};
// The end of text pasted while the terminal's bracketed paste is on (prompt_terminal.h).
constexpr std::wstring_view kPasteEnd = L"\x1b[201~";
// A paste longer than this is no prompt (but a file pasted by mistake).
constexpr std::size_t kPasteLimit = 1000000;
constexpr wchar_t kCtrlC = L'\x03';
// What a line dropped with Ctrl-C shows at its end, as shells show it.
constexpr const wchar_t* kInterruptShown = L"^C";

// The history file: this line first, then one entry per line, the newest last; a line end
// inside an entry (pasted lines, a """ block) is written \n, and a backslash \\. A file without
// this line was written by earlier versions: its lines are entries as they were typed.
constexpr std::string_view kHistoryFormat =
    "#zefa-chat history: one prompt a line, \\n a line end in it, \\\\ a backslash";

std::string encodedEntry(std::string_view entry) {
    std::string line;
    for (const char c : entry) {
        if (c == '\\') {
            line += "\\\\";
        } else if (c == '\n') {
            line += "\\n";
        } else {
            line += c;
        }
    }
    return line;
}

std::string decodedEntry(std::string_view line) {
    std::string entry;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char next = i + 1 < line.size() ? line[i + 1] : '\0';
        if (line[i] == '\\' && (next == '\\' || next == 'n')) {
            entry += next == 'n' ? '\n' : '\\';
            ++i;
        } else {
            entry += line[i];
        }
    }
    return entry;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Pasted text as a prompt: terminals send its line ends as CR; the last one is left to Enter.
std::wstring pastedText(std::wstring text) {
    std::wstring lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r') {
            lines += L'\n';
            if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else if (text[i] != L'\0') {
            lines += text[i];
        }
    }
    while (!lines.empty() && lines.back() == L'\n') lines.pop_back();
    return lines;
}

LineInput& inputOf(EditLine* editor) {
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    return *static_cast<LineInput*>(data);
}

}  // namespace

LineInput::LineInput(std::string secret) : secret_(std::move(secret)) {
    if (isatty(STDIN_FILENO) == 0) return;
    // Characters beyond ASCII are read in the terminal's encoding. Where no locale names one,
    // libedit would drop them all: take UTF-8 then, as terminals mostly are.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), kAsciiCodeset) == 0)
        std::setlocale(LC_CTYPE, kUtf8Locale);
    // The prompt and the line being edited go to the terminal, also when standard output does
    // not. Not through stderr, whose stream holds back partial lines (failure_report.h).
    if (isatty(STDOUT_FILENO) != 0) {
        display_ = stdout;
    } else {
        const int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        display_ = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (display_ == nullptr) {
            if (fd >= 0) close(fd);
            return;
        }
        ownDisplay_ = true;
    }
    editor_ = el_init("zefa-chat", stdin, display_, stderr);
    if (editor_ == nullptr) return;
    terminal_.emplace(STDIN_FILENO, display_, terminalTakesEscapes());
    history_ = history_init();
    HistEvent event;
    ::history(history_, &event, H_SETSIZE, kHistoryEntries);
    ::history(history_, &event, H_SETUNIQUE, 1);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_HIST, ::history, history_);
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_PROMPT, promptOf);
    el_set(editor_, EL_GETCFN, readCharacter);
    // There is nothing to complete: a Tab, typed or pasted (code, tables), is text. Bound
    // before the user's ~/.editrc, which may bind it otherwise.
    el_set(editor_, EL_BIND, "^I", "ed-insert", nullptr);
    el_source(editor_, nullptr);  // the user's ~/.editrc
    // Ctrl-C while editing is a key, not a signal (which would end the program): it drops the
    // line. The terminal's other signal keys (Ctrl-Z, Ctrl-\) stay as they are. Pasted text
    // arrives between the markers of bracketed paste. Both are how the program works, so they
    // are bound after the user's ~/.editrc.
    el_set(editor_, EL_SETTY, "-d", "intr=", "-intr", nullptr);
    // Named in wide text: libedit keeps these names, where it would leak copies of narrow ones.
    el_wset(editor_, EL_ADDFN, L"zefa-interrupt", L"drop the line", onInterrupt);
    el_set(editor_, EL_BIND, "^C", "zefa-interrupt", nullptr);
    el_wset(editor_, EL_ADDFN, L"zefa-paste", L"insert pasted text", onPaste);
    el_set(editor_, EL_BIND, "\\e[200~", "zefa-paste", nullptr);
    openHistory();
}

LineInput::~LineInput() {
    terminal_.reset();
    if (editor_ != nullptr) el_end(editor_);
    if (history_ != nullptr) history_end(history_);
    if (ownDisplay_) std::fclose(display_);
}

SourceLine LineInput::read(bool continuation) {
    if (editor_ == nullptr) {
        std::string line;
        if (!std::getline(std::cin, line)) return {SourceLine::Kind::End, std::string()};
        return {SourceLine::Kind::Text, line};
    }
    continuation_ = continuation;
    dropped_.reset();
    pastedAtStart_ = false;
    // Edit mode before the prompt shows, not at the first key: keys typed as soon as it shows
    // are then read as typed (a Ctrl-D would otherwise end no line, and be lost).
    terminal_->enter();
    el_set(editor_, EL_PREP_TERM, 1);
    int count = 0;
    const char* text = el_gets(editor_, &count);
    terminal_->leave();
    if (dropped_) return *dropped_;
    if (text == nullptr || count <= 0) return {SourceLine::Kind::End, std::string()};
    std::string line(text, static_cast<std::size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return {SourceLine::Kind::Text, line, pastedAtStart_};
}

void LineInput::remember(const std::string& entry) {
    if (editor_ == nullptr || isBlank(entry)) return;
    // A pasted key must not end up in a file.
    if (!secret_.empty() && entry.find(secret_) != std::string::npos) return;
    HistEvent event;
    // A prompt recalled and sent unchanged is not kept twice in a row.
    if (::history(history_, &event, H_FIRST) == 0 && entry == event.str) return;
    ::history(history_, &event, H_ENTER, entry.c_str());
    if (!historyDirectory_) return;
    if (std::optional<Failure> failed =
            historyDirectory_->append(kHistoryFile, encodedEntry(entry) + "\n")) {
        stopKeepingHistory(*failed);
    }
}

char* LineInput::promptOf(EditLine* editor) {
    return const_cast<char*>(inputOf(editor).continuation_ ? kContinuationPrompt : kPrompt);
}

// A character in the terminal's encoding, as libedit's own reader reads it (bytes that are
// none are dropped); the prompt is drawn anew once the program goes on after a stop.
int LineInput::readCharacter(EditLine* editor, wchar_t* character) {
    PromptTerminal& terminal = *inputOf(editor).terminal_;
    char bytes[MB_LEN_MAX];
    std::size_t count = 0;
    for (;;) {
        pollfd ready[] = {{STDIN_FILENO, POLLIN, 0}, {terminal.resumed(), POLLIN, 0}};
        if (poll(ready, std::size(ready), -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (ready[1].revents != 0 && terminal.takeResumed()) el_set(editor, EL_REFRESH);
        if (ready[0].revents == 0) continue;
        const ssize_t n = ::read(STDIN_FILENO, &bytes[count], 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? 0 : -1;
        ++count;
        std::mbstate_t shift{};
        const std::size_t decoded = std::mbrtowc(character, bytes, count, &shift);
        if (decoded == static_cast<std::size_t>(-2) && count < sizeof bytes) continue;
        if (decoded < static_cast<std::size_t>(-2)) return 1;
        count = 0;
    }
}

// Ctrl-C: shows ^C after what was typed and ends the line, which read() then drops.
unsigned char LineInput::onInterrupt(EditLine* editor, int) {
    LineInput& input = inputOf(editor);
    const LineInfo* line = el_line(editor);
    input.dropped_ = {SourceLine::Kind::Interrupted, std::string(line->buffer, line->lastchar)};
    const LineInfoW* wide = el_wline(editor);
    el_cursor(editor, static_cast<int>(wide->lastchar - wide->cursor));
    el_winsertstr(editor, kInterruptShown);
    // The line ends as Enter ends it: below all of its lines, the display ready for the next.
    el_wpush(editor, L"\n");
    return CC_REFRESH;
}

// The start of a bracketed paste: the text up to its end is inserted as it is. Ctrl-C ends a
// paste whose end does not come (a stray start), and drops the line as ever; a paste too long
// for a prompt drops the line too, which read() then says.
unsigned char LineInput::onPaste(EditLine* editor, int) {
    LineInput& input = inputOf(editor);
    const LineInfoW* line = el_wline(editor);
    const bool atStart = line->cursor == line->buffer;
    std::wstring text;
    bool tooLong = false;
    wchar_t character = 0;
    while (el_wgetc(editor, &character) == 1) {
        if (character == kCtrlC) return onInterrupt(editor, 0);
        text += character;
        if (text.size() >= kPasteEnd.size() &&
            std::wstring_view(text).substr(text.size() - kPasteEnd.size()) == kPasteEnd) {
            text.resize(text.size() - kPasteEnd.size());
            break;
        }
        if (text.size() > kPasteLimit + kPasteEnd.size()) {
            // From now on only the end is looked for.
            tooLong = true;
            text.erase(0, text.size() - kPasteEnd.size());
        }
    }
    if (tooLong) {
        input.dropped_ = {SourceLine::Kind::Refused,
                          "the pasted text holds more than " + std::to_string(kPasteLimit) +
                              " characters, more than a prompt takes; the line is dropped"};
        el_wpush(editor, L"\n");
        return CC_REFRESH;
    }
    const std::wstring pasted = pastedText(std::move(text));
    if (pasted.empty()) return CC_REFRESH;
    // A line that begins with pasted text is a prompt, even when that reads as a command.
    if (atStart) input.pastedAtStart_ = true;
    el_winsertstr(editor, pasted.c_str());
    return CC_REFRESH;
}

void LineInput::openHistory() {
    const std::string path = stateDirectoryPath();
    if (path.empty()) return;
    Outcome<PrivateDirectory> directory = PrivateDirectory::open(path, true);
    if (auto* failed = std::get_if<Failure>(&directory)) return stopKeepingHistory(*failed);
    historyDirectory_ = std::move(std::get<PrivateDirectory>(directory));
    Outcome<std::optional<std::string>> text = historyDirectory_->read(kHistoryFile, kHistoryKind);
    if (auto* failed = std::get_if<Failure>(&text)) return stopKeepingHistory(*failed);
    std::vector<std::string> lines =
        linesOf(std::get<std::optional<std::string>>(text).value_or(""));
    const bool encoded = !lines.empty() && lines.front() == kHistoryFormat;
    if (encoded) {
        lines.erase(lines.begin());
    } else {
        for (std::string& line : lines) line = encodedEntry(line);
    }
    // A file of earlier versions (or none) is written anew in this format; a long one is cut.
    if (!encoded || lines.size() > kHistoryTrimLines) {
        if (lines.size() > kHistoryTrimLines)
            lines.erase(lines.begin(), lines.end() - kHistoryEntries);
        std::string kept = std::string(kHistoryFormat) + '\n';
        for (const std::string& line : lines) kept += line + '\n';
        if (std::optional<Failure> failed = historyDirectory_->replace(kHistoryFile, kept)) {
            return stopKeepingHistory(*failed);
        }
    }
    HistEvent event;
    for (const std::string& line : lines) {
        ::history(history_, &event, H_ENTER, decodedEntry(line).c_str());
    }
}

// The history stays in this session's memory only; said once.
void LineInput::stopKeepingHistory(const Failure& why) {
    historyDirectory_.reset();
    std::fprintf(stderr, "zefa-chat: the history is not kept: %s\n", why.message.c_str());
}

}  // namespace zefa_chat
