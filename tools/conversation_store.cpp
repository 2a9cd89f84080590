// SPDX-License-Identifier: MIT
#include "conversation_store.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace zefa_chat {

namespace {

constexpr const char* kRoles[] = {"system", "user", "assistant"};
// Far beyond what a model takes in one request: a larger file is no conversation to go on with.
constexpr FileKind kConversationFile{"a saved conversation", 16 * 1024 * 1024};
// What a conversation file holds where a prompt held the API key.
constexpr std::string_view kSecretMask = "[API key removed]";

// Why entry is no message of a conversation; nothing when it is one.
std::optional<std::string> notAMessage(const Json::Value& entry) {
    if (!entry.isObject()) return "is no object";
    const Json::Value& role = entry["role"];
    const bool known = role.isString() && std::any_of(std::begin(kRoles), std::end(kRoles),
                                                      [&role](const char* r) { return role == r; });
    if (!known) return "has no \"role\" of system, user or assistant";
    if (!entry["content"].isString()) return "has no text \"content\"";
    return std::nullopt;
}

}  // namespace

Json::Value toJson(const Messages& messages) {
    Json::Value json(Json::objectValue);
    json["messages"] = Json::Value(Json::arrayValue);
    for (const Message& message : messages) {
        Json::Value entry(Json::objectValue);
        entry["role"] = message.role;
        entry["content"] = message.content;
        json["messages"].append(entry);
    }
    return json;
}

Outcome<Messages> parseConversation(std::string_view text) {
    Outcome<Json::Value> parsed = parseJson(text);
    if (auto* failed = std::get_if<Failure>(&parsed)) return *failed;
    const Json::Value& json = std::get<Json::Value>(parsed);
    if (!json.isObject() || !json["messages"].isArray()) {
        return Failure{"no {\"messages\": [...]} list"};
    }
    Messages messages;
    for (Json::ArrayIndex i = 0; i < json["messages"].size(); ++i) {
        const Json::Value& entry = json["messages"][i];
        if (std::optional<std::string> why = notAMessage(entry)) {
            return Failure{"message " + std::to_string(i + 1) + " " + *why};
        }
        messages.push_back({entry["role"].asString(), entry["content"].asString()});
    }
    return messages;
}

void Conversation::setSystem(const std::string& content) {
    if (!messages_.empty() && messages_.front().role == "system") {
        messages_.front().content = content;
    } else {
        messages_.insert(messages_.begin(), {"system", content});
    }
}

void Conversation::reset() {
    const bool system = !messages_.empty() && messages_.front().role == "system";
    messages_.resize(system ? 1 : 0);
}

Messages Conversation::withPrompt(const std::string& prompt) const {
    Messages request = messages_;
    request.push_back({"user", prompt});
    return request;
}

void Conversation::addTurn(const std::string& prompt, const std::string& answer) {
    messages_.push_back({"user", prompt});
    messages_.push_back({"assistant", answer});
}

std::string conversationText(const Messages& messages, const std::string& secret) {
    // One message a line, its role first, so that the file reads as the conversation did.
    std::string text = "{\"messages\": [";
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const std::string content = replacedAll(messages[i].content, secret, kSecretMask);
        text += std::string(i == 0 ? "\n" : ",\n") +
                "  {\"role\": " + compactJson(Json::Value(messages[i].role)) +
                ", \"content\": " + compactJson(Json::Value(content)) + "}";
    }
    return text + "\n]}\n";
}

Outcome<Messages> loadConversation(const std::string& path) {
    Outcome<std::string> text = readFile(path, kConversationFile);
    if (auto* failed = std::get_if<Failure>(&text)) return *failed;
    Outcome<Messages> messages = parseConversation(std::get<std::string>(text));
    if (auto* failed = std::get_if<Failure>(&messages)) {
        return Failure{path + " is not a saved conversation: " + failed->message};
    }
    return messages;
}

std::optional<Failure> saveConversation(const std::string& path, const Messages& messages,
                                        const std::string& secret) {
    return replaceFile(path, conversationText(messages, secret));
}

Outcome<Messages> LastConversation::load() {
    const std::string path = stateDirectoryPath();
    if (path.empty())
        return Failure{"no conversation to continue: neither XDG_STATE_HOME nor HOME is set"};
    Outcome<PrivateDirectory> directory = PrivateDirectory::open(path, false);
    if (auto* failed = std::get_if<Failure>(&directory)) {
        return Failure{"no conversation to continue: " + failed->message};
    }
    const PrivateDirectory& state = std::get<PrivateDirectory>(directory);
    Outcome<std::optional<std::string>> text = state.read(kFileName, kConversationFile);
    if (auto* failed = std::get_if<Failure>(&text)) {
        return Failure{"the last conversation is not used: " + failed->message};
    }
    const std::optional<std::string>& kept = std::get<std::optional<std::string>>(text);
    if (!kept)
        return Failure{"no conversation to continue: " + state.pathOf(kFileName) +
                       " does not exist"};
    Outcome<Messages> messages = parseConversation(*kept);
    if (auto* failed = std::get_if<Failure>(&messages)) {
        return Failure{state.pathOf(kFileName) +
                       " is not a saved conversation: " + failed->message};
    }
    return messages;
}

void LastConversation::keep(const Messages& messages) {
    if (failed_) return;
    std::optional<Failure> problem;
    if (!directory_) {
        const std::string path = stateDirectoryPath();
        Outcome<PrivateDirectory> opened =
            path.empty()
                ? Outcome<PrivateDirectory>(Failure{"neither XDG_STATE_HOME nor HOME is set"})
                : PrivateDirectory::open(path, true);
        if (auto* failed = std::get_if<Failure>(&opened)) {
            problem = *failed;
        } else {
            directory_ = std::move(std::get<PrivateDirectory>(opened));
        }
    }
    if (!problem) problem = directory_->replace(kFileName, conversationText(messages, secret_));
    if (!problem) return;
    std::fprintf(stderr, "zefa-chat: the conversation is not kept for --continue: %s\n",
                 problem->message.c_str());
    failed_ = true;
}

}  // namespace zefa_chat
