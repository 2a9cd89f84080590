// SPDX-License-Identifier: MIT
// The prompt of a conversation: line editing and history (libedit) when standard input is a
// terminal, plain lines otherwise, so that piped input is read exactly as it arrives.
#pragma once

#include "private_files.h"
#include "prompt_entry.h"
#include "prompt_terminal.h"

#include <cstdio>
#include <optional>
#include <string>

struct editline;
struct history;

namespace zefa_chat {

class LineInput final : public LineSource {
public:
    // secret: a text no history entry may hold (the API key).
    explicit LineInput(std::string secret);
    ~LineInput() override;

    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    bool interactive() const { return editor_ != nullptr; }

    // On a terminal, Ctrl-C drops the line being typed (Interrupted), and text pasted at once
    // (the terminal's bracketed paste) is inserted as it is, line ends included; a line that
    // begins with it is marked pasted. A paste too long for a prompt drops the line (Refused).
    SourceLine read(bool continuation) override;
    // Kept for Up, and appended to the history file at once, so that an end by a signal loses
    // nothing and sessions running at once all keep their entries.
    void remember(const std::string& entry) override;

private:
    static char* promptOf(editline* editor);
    static int readCharacter(editline* editor, wchar_t* character);
    static unsigned char onInterrupt(editline* editor, int key);
    static unsigned char onPaste(editline* editor, int key);

    void openHistory();
    void stopKeepingHistory(const Failure& why);

    const std::string secret_;
    std::optional<PrivateDirectory> historyDirectory_;
    FILE* display_ = nullptr;  // where the prompt and the line being edited show
    bool ownDisplay_ = false;
    std::optional<PromptTerminal> terminal_;
    editline* editor_ = nullptr;
    history* history_ = nullptr;
    bool continuation_ = false;
    // How the line being read ended, where not with Enter: dropped with Ctrl-C, or refused.
    std::optional<SourceLine> dropped_;
    bool pastedAtStart_ = false;
};

}  // namespace zefa_chat
