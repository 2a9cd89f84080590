// SPDX-License-Identifier: MIT
// A conversation as the host keeps it, and where it lasts: files written with /save, read with
// --load or /load, and the last conversation at a terminal, which --continue resumes.
#pragma once

#include "chat_text.h"
#include "private_files.h"

#include <json/json.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zefa_chat {

struct Message {
    std::string role;  // "system", "user" or "assistant"
    std::string content;

    bool operator==(const Message& other) const {
        return role == other.role && content == other.content;
    }
};
using Messages = std::vector<Message>;

// The messages as the engine takes them: {"messages": [{"role": ..., "content": ...}, ...]}.
Json::Value toJson(const Messages& messages);
// The messages of a conversation file, or why the text is none.
Outcome<Messages> parseConversation(std::string_view text);

// What is sent with every prompt: the system message, then each completed turn.
class Conversation {
public:
    Conversation() = default;
    explicit Conversation(Messages messages) : messages_(std::move(messages)) {}

    const Messages& messages() const { return messages_; }
    bool empty() const { return messages_.empty(); }

    // The system message that leads the conversation, in place of one that led it.
    void setSystem(const std::string& content);
    // Forgets every turn; a leading system message stays.
    void reset();
    // The conversation with prompt after it: what a request sends.
    Messages withPrompt(const std::string& prompt) const;
    // A prompt and its whole answer; a stopped or failed answer is not added.
    void addTurn(const std::string& prompt, const std::string& answer);

private:
    Messages messages_;
};

// The text of a conversation file. secret (the API key) is never in it: where the person typed
// it into a prompt, it is replaced.
std::string conversationText(const Messages& messages, const std::string& secret);
// A conversation file written by saveConversation (or by hand); a failure names the file.
Outcome<Messages> loadConversation(const std::string& path);
std::optional<Failure> saveConversation(const std::string& path, const Messages& messages,
                                        const std::string& secret);

// The last conversation at a terminal, kept in the state directory after each answer.
class LastConversation {
public:
    static constexpr const char* kFileName = "last.json";

    // The conversation kept last, for --continue.
    static Outcome<Messages> load();

    explicit LastConversation(std::string secret) : secret_(std::move(secret)) {}
    // Replaces the kept conversation by messages; where it cannot be kept, says so once.
    void keep(const Messages& messages);

private:
    const std::string secret_;
    std::optional<PrivateDirectory> directory_;
    bool failed_ = false;
};

}  // namespace zefa_chat
