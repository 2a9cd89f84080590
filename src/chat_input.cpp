// SPDX-License-Identifier: MIT
#include "chat_input.h"

#include "zefa_nlp_util.h"

#include <json/value.h>

namespace zefa_nlp_chat_input {

namespace {

using zefa_nlp_util::findMember;

constexpr const char* kEmptyMessage = "The message is empty";

Conversation refused(std::string problem) { return Conversation{{}, std::move(problem)}; }

// A message field: a string as it is, null or missing as empty, a number or boolean as its JSON
// text. Containers have no text; ok turns false for them.
std::string messageField(const Json::Value& message, const char* key, bool& ok) {
    const Json::Value* value = findMember(message, key);
    if (value == nullptr) return std::string();
    if (value->isArray() || value->isObject()) {
        ok = false;
        return std::string();
    }
    return value->asString();
}

}  // namespace

Conversation readChatInput(const std::string& input) {
    if (input.empty()) return refused(kEmptyMessage);
    const Json::Value root = zefa_nlp_util::formatJsonFromString(input);
    if (root.isNull()) return Conversation();
    if (!root.isObject()) return refused("The chat input is not a JSON object");
    const Json::Value* messages = findMember(root, "messages");
    if (messages == nullptr || messages->isNull()) return Conversation();
    if (!messages->isArray()) {
        return refused("The \"messages\" member of the chat input is not an array");
    }
    Conversation conversation;
    for (Json::ArrayIndex i = 0; i < messages->size(); ++i) {
        const Json::Value& message = (*messages)[i];
        bool ok = message.isNull() || message.isObject();
        Message entry{messageField(message, "role", ok), messageField(message, "content", ok)};
        if (!ok) {
            return refused("Message " + std::to_string(i) +
                           " of the chat input is not an object of \"role\" and \"content\" texts");
        }
        conversation.messages.push_back(std::move(entry));
    }
    return conversation;
}

Conversation readContentInput(const std::string& input) {
    if (input.empty()) return refused(kEmptyMessage);
    const Json::Value parsed = zefa_nlp_util::formatJsonFromString(input);
    if (parsed.empty()) return refused(kEmptyMessage);  // null, {}, []
    if (!parsed.isObject()) return refused("The content input is not a JSON object");
    const Json::Value* prompt = findMember(parsed, "prompt");
    if (prompt == nullptr) return refused(kEmptyMessage);
    if (prompt->isArray() || prompt->isObject()) {
        return refused("The \"prompt\" member is not text");
    }
    return Conversation{{Message{"user", prompt->asString()}}, std::string()};
}

}  // namespace zefa_nlp_chat_input
