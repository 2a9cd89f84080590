// SPDX-License-Identifier: MIT
// The prompt of a conversation: line editing and history (libedit) when standard input is a
// terminal, plain lines otherwise, so that piped input is read exactly as it arrives.
#pragma once

#include <optional>
#include <string>
#include <termios.h>

struct editline;
struct history;

namespace zefa_chat {

class LineInput {
public:
    // secret: a text no history entry may hold (the API key).
    explicit LineInput(std::string secret);
    ~LineInput();

    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    bool interactive() const { return editor_ != nullptr; }

    // The next line without its line end; nothing at the end of input. continuation: the line
    // goes on an entry begun on an earlier line (another prompt is shown).
    std::optional<std::string> read(bool continuation);

    // Puts the terminal back as it was before editing began. Safe from any thread: the
    // interrupt watcher calls it before it ends the program at the prompt.
    void restoreTerminal() const;

    // $XDG_STATE_HOME/zefa-chat/history, else ~/.local/state/zefa-chat/history; empty when
    // neither can be named.
    static std::string historyPath();

private:
    void remember(const std::string& line);
    void loadHistory();
    void appendHistory(const std::string& line);

    const std::string secret_;
    std::string historyPath_;
    editline* editor_ = nullptr;
    history* history_ = nullptr;
    bool continuation_ = false;
    bool historyWarned_ = false;
    std::optional<termios> savedTerminal_;
};

}  // namespace zefa_chat
