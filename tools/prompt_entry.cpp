// SPDX-License-Identifier: MIT
#include "prompt_entry.h"

#include "chat_text.h"

#include <string_view>
#include <vector>

namespace zefa_chat {

namespace {

// A line that begins or ends a prompt of several lines.
constexpr std::string_view kBlockQuote = R"(""")";

struct CommandName {
    std::string_view name;
    Command command;
    bool takesFile;
};

constexpr CommandName kCommands[] = {
    {"/help", Command::Help, false}, {"/reset", Command::Reset, false},
    {"/save", Command::Save, true},  {"/load", Command::Load, true},
    {"/quit", Command::Quit, false},
};

Entry refusedEntry(const SourceLine& line) {
    Entry entry;
    entry.kind = Entry::Kind::Refused;
    entry.text = line.text;
    return entry;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : "\n") + lines[i];
    return text;
}

// line: without blanks around it, beginning with /.
Entry commandEntry(std::string_view line) {
    Entry entry;
    if (startsWith(line, "//")) {
        entry.kind = Entry::Kind::Prompt;
        entry.text = line.substr(1);
        return entry;
    }
    const std::size_t blank = line.find_first_of(kBlanks);
    const std::string_view name = line.substr(0, blank);
    const std::string argument = blank == line.npos ? std::string() : trimmed(line.substr(blank));
    entry.kind = Entry::Kind::Refused;
    for (const CommandName& known : kCommands) {
        if (name != known.name) continue;
        if (known.takesFile == argument.empty()) {
            entry.text = "usage: " + std::string(name) + (known.takesFile ? " FILE" : "");
        } else {
            entry.kind = Entry::Kind::Command;
            entry.command = known.command;
            entry.argument = argument;
        }
        return entry;
    }
    entry.text = "no command " + std::string(name) +
                 "; /help lists them (a prompt that begins with / is typed //)";
    return entry;
}

// The lines of a """ block, its first line (after the quotes) given. The quotes may share their
// lines with text ("""first line ... last line"""); a block left open at the end of input closes
// there, so that its text is not lost.
Entry blockEntry(LineSource& source, const std::string& first) {
    Entry entry;
    entry.kind = Entry::Kind::Prompt;
    std::vector<std::string> lines;
    std::string typed = first;  // all of it as typed, for a block dropped with Ctrl-C
    std::string rest = first.substr(kBlockQuote.size());
    for (;;) {
        const bool closes = endsWith(rest, kBlockQuote);
        if (closes) rest.resize(rest.size() - kBlockQuote.size());
        lines.push_back(rest);
        if (closes) break;
        const SourceLine line = source.read(true);
        if (line.kind == SourceLine::Kind::Interrupted) {
            entry.kind = Entry::Kind::Interrupted;
            entry.text = typed + "\n" + line.text;
            return entry;
        }
        if (line.kind == SourceLine::Kind::Refused) return refusedEntry(line);
        if (line.kind == SourceLine::Kind::End) {
            entry.inputEnded = true;
            break;
        }
        rest = line.text;
        typed += "\n" + rest;
    }
    // Quotes on lines of their own add no empty lines.
    if (!lines.empty() && lines.front().empty()) lines.erase(lines.begin());
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    entry.text = joined(lines);
    return entry;
}

// The entry as it can be entered again. A block comes back as its lines, which then arrive at
// once; a prompt of one line that, typed, would read as a command or begin a block (a block of
// one line, a pasted line) comes back in quotes.
std::string recalled(const Entry& entry, bool block, const SourceLine& line) {
    const bool oneLine = entry.text.find('\n') == std::string::npos;
    const bool readsOtherwise =
        startsWith(entry.text, kBlockQuote) || startsWith(trimmed(entry.text), "/");
    if (block && !oneLine) return entry.text;
    if (block || (line.pasted && oneLine && readsOtherwise)) {
        return std::string(kBlockQuote) + entry.text + std::string(kBlockQuote);
    }
    return line.text;
}

}  // namespace

Entry readEntry(LineSource& source) {
    for (;;) {
        const SourceLine line = source.read(false);
        Entry entry;
        if (line.kind == SourceLine::Kind::End) return entry;
        if (line.kind == SourceLine::Kind::Interrupted) {
            entry.kind = Entry::Kind::Interrupted;
            entry.text = line.text;
            return entry;
        }
        if (line.kind == SourceLine::Kind::Refused) return refusedEntry(line);
        // Lines that arrive at once (pasted, or recalled), and a line that begins with pasted
        // text, are a prompt as they stand.
        const bool asItStands = line.pasted || line.text.find('\n') != std::string::npos;
        const bool block = !asItStands && startsWith(line.text, kBlockQuote);
        if (block) {
            entry = blockEntry(source, line.text);
            if (entry.kind != Entry::Kind::Prompt) return entry;
        } else if (!asItStands && startsWith(trimmed(line.text), "/")) {
            entry = commandEntry(trimmed(line.text));
        } else {
            entry.kind = Entry::Kind::Prompt;
            entry.text = line.text;
        }
        if (isBlank(entry.text) && entry.kind == Entry::Kind::Prompt) {
            if (entry.inputEnded) return Entry();
            continue;
        }
        source.remember(recalled(entry, block, line));
        return entry;
    }
}

}  // namespace zefa_chat
