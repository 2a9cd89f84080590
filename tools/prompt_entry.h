// SPDX-License-Identifier: MIT
// What a person enters at the conversation's prompt: a prompt (a line, a """ block, or pasted
// lines), a command, or a line dropped with Ctrl-C; read from any source of lines, so that it is
// the same on a terminal, from a pipe and in tests.
#pragma once

#include <string>

namespace zefa_chat {

// A line read from the person, or what ended the reading.
struct SourceLine {
    enum class Kind {
        Text,         // text: the line without its line end; pasted lines hold their line ends
        Interrupted,  // Ctrl-C: text is what had been typed
        Refused,      // the line was dropped: text says why (such as a paste too long)
        End,          // the end of input
    };
    Kind kind = Kind::End;
    std::string text;
    bool pasted = false;  // the line begins with text pasted at once
};

class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line. continuation: it goes on an entry begun on an earlier line.
    virtual SourceLine read(bool continuation) = 0;
    // An entry to recall later, as it can be entered again: one line that may hold line ends.
    virtual void remember(const std::string& entry) = 0;
};

enum class Command { Help, Reset, Save, Load, Quit };

struct Entry {
    enum class Kind {
        Prompt,       // text: what to send
        Command,      // command, with its argument
        Refused,      // text: why the line is neither (an unknown or misused command)
        Interrupted,  // text: what was dropped
        End,
    };
    Kind kind = Kind::End;
    std::string text;
    Command command = Command::Help;
    std::string argument;
    bool inputEnded = false;  // the input ended inside a """ block, which closed there
};

// The next entry that is not blank. A line whose first character (after blanks) is / is a
// command, // escaping a prompt that begins with /; a """ block, lines that arrived at once and
// a line that begins with pasted text are prompts as they stand. Each entry but a dropped one is
// remembered, as it can be entered again.
Entry readEntry(LineSource& source);

}  // namespace zefa_chat
