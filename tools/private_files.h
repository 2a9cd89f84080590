// SPDX-License-Identifier: MIT
// Files that hold what a person typed (the prompt history, the last conversation): kept in a
// directory of the user's alone, never reached through a symbolic link, replaced atomically.
#pragma once

#include "chat_text.h"

#include <optional>
#include <string>

namespace zefa_chat {

// $XDG_STATE_HOME/zefa-chat, else ~/.local/state/zefa-chat; empty when neither can be named.
std::string stateDirectoryPath();

// Writes text to the file at path through a new file (mode 0600) renamed over it, so that no
// reader sees it half written; on failure the file stays as it was.
std::optional<Failure> replaceFile(const std::string& path, const std::string& text);

// A directory that is the user's own and open to nobody else. Its files are used only when they
// are the same; none of its steps follows a symbolic link.
class PrivateDirectory {
public:
    // The directory at path, made (mode 0700, with its parents) when create is set and it is
    // missing; a failure when it cannot be, or is not the user's own and private.
    static Outcome<PrivateDirectory> open(const std::string& path, bool create);

    PrivateDirectory(PrivateDirectory&& other) noexcept;
    PrivateDirectory& operator=(PrivateDirectory&& other) noexcept;
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;
    ~PrivateDirectory();

    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

    // The text of the file name, read as readFile reads a file of its kind: nothing when there
    // is no such file, a failure when it cannot be read or is not the user's own and private.
    Outcome<std::optional<std::string>> read(const std::string& name, const FileKind& kind) const;
    // Appends text in one write (so that writers at once do not mix), making the file (0600).
    std::optional<Failure> append(const std::string& name, const std::string& text) const;
    // Replaces the file name as replaceFile does.
    std::optional<Failure> replace(const std::string& name, const std::string& text) const;

private:
    PrivateDirectory(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    std::string path_;
    int fd_ = -1;
};

}  // namespace zefa_chat
