// SPDX-License-Identifier: MIT
// Chat and content inputs read into the messages of a request, or refused with a reason.
#include "chat_input.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using zefa_nlp_chat_input::Conversation;
using Messages = std::vector<std::pair<std::string, std::string>>;  // role, content

constexpr const char* kEmptyMessage = "The message is empty";
constexpr const char* kAnyProblem = "";

struct InputRow {
    std::string input;
    Messages messages;
    const char* problem = nullptr;  // nullptr: sent; kAnyProblem: refused, with some reason
};

void expectRow(const Conversation& read, const InputRow& row) {
    if (row.problem == nullptr) {
        EXPECT_EQ(read.problem, "") << row.input;
    } else if (*row.problem == '\0') {
        EXPECT_NE(read.problem, "") << row.input;
    } else {
        EXPECT_EQ(read.problem, row.problem) << row.input;
    }
    Messages messages;
    for (const auto& message : read.messages) messages.emplace_back(message.role, message.content);
    EXPECT_EQ(messages, row.messages) << row.input;
}

TEST(ReadChatInput, MessagesInOrderOrTheReasonOfARefusal) {
    const std::vector<InputRow> rows = {
        {R"({"messages": [{"role": "user", "content": "a"}, {"role": "assistant", "content": "b"},
             {"role": "system", "content": "c"}]})",
         {{"user", "a"}, {"assistant", "b"}, {"system", "c"}}},
        // Without a conversation: sent empty.
        {"plain prose", {}},
        {"{}", {}},
        {"null", {}},
        {R"({"messages": null})", {}},
        {R"({"messages": []})", {}},
        // Null and scalar fields are texts.
        {R"({"messages": [null, {"role": null, "content": 5}, {"content": true}]})",
         {{"", ""}, {"", "5"}, {"", "true"}}},
        // Refused.
        {"", {}, kEmptyMessage},
        {"[1, 2]", {}, kAnyProblem},
        {"\"text\"", {}, kAnyProblem},
        {"42", {}, kAnyProblem},
        {"true", {}, kAnyProblem},
        {R"({"messages": {}})", {}, kAnyProblem},
        {R"({"messages": "hi"})", {}, kAnyProblem},
        {R"({"messages": [1]})", {}, kAnyProblem},
        {R"({"messages": ["x"]})", {}, kAnyProblem},
        {R"({"messages": [[]]})", {}, kAnyProblem},
        {R"({"messages": [{"role": [], "content": "x"}]})", {}, kAnyProblem},
        {R"({"messages": [{"role": "user", "content": {"a": 1}}]})", {}, kAnyProblem},
    };
    for (const InputRow& row : rows) expectRow(zefa_nlp_chat_input::readChatInput(row.input), row);
}

TEST(ReadContentInput, ThePromptAsOneUserMessageOrTheReasonOfARefusal) {
    const std::vector<InputRow> rows = {
        {R"({"prompt": "tell me", "messages": [{"role": "user", "content": "ignored"}]})",
         {{"user", "tell me"}}},
        {R"({"prompt": ""})", {{"user", ""}}},
        {R"({"prompt": null})", {{"user", ""}}},
        {R"({"prompt": 42})", {{"user", "42"}}},
        {R"({"prompt": true})", {{"user", "true"}}},
        // Nothing to send.
        {"", {}, kEmptyMessage},
        {"prose", {}, kEmptyMessage},
        {"null", {}, kEmptyMessage},
        {"{}", {}, kEmptyMessage},
        {"[]", {}, kEmptyMessage},
        {R"({"text": "x"})", {}, kEmptyMessage},
        // No meaning.
        {"[1]", {}, kAnyProblem},
        {"\"prompt\"", {}, kAnyProblem},
        {"7", {}, kAnyProblem},
        {"false", {}, kAnyProblem},
        {R"({"prompt": ["a"]})", {}, kAnyProblem},
        {R"({"prompt": {"a": 1}})", {}, kAnyProblem},
    };
    for (const InputRow& row : rows) {
        expectRow(zefa_nlp_chat_input::readContentInput(row.input), row);
    }
}

}  // namespace
