// SPDX-License-Identifier: MIT
// The terminal while a prompt is read from it: in the line editor's mode, with bracketed paste
// on. A signal that ends or stops the program meanwhile first gives the terminal back as the
// shell had it, so that the shell is usable after; a stopped program set to go on sets it up
// again and has the prompt drawn anew.
#pragma once

#include <csignal>
#include <cstdio>
#include <string_view>
#include <termios.h>

namespace zefa_chat {

class PromptTerminal {
public:
    // terminal: the terminal the prompt is read from; display: where it shows. bracketedPaste:
    // the terminal takes the escape sequences that turn it on and off. One at a time: a signal
    // handler reaches no object, only what this puts where it can.
    PromptTerminal(int terminal, FILE* display, bool bracketedPaste);
    // Gives the signals back their earlier actions.
    ~PromptTerminal();

    PromptTerminal(const PromptTerminal&) = delete;
    PromptTerminal& operator=(const PromptTerminal&) = delete;

    // Around each reading of a prompt, during which the line editor may change the terminal's
    // mode: enter turns bracketed paste on, leave off.
    void enter();
    void leave();

    // Readable once the program went on after a stop while a prompt was read.
    int resumed() const { return wake_[0]; }
    // Takes what made resumed() readable: true when the prompt is to be drawn anew.
    bool takeResumed();

private:
    void showPasteMode(std::string_view sequence) const;

    FILE* const display_;
    const bool bracketedPaste_;
    int wake_[2] = {-1, -1};
    struct sigaction previous_[4]{};
    bool installed_[4] = {};
};

}  // namespace zefa_chat
