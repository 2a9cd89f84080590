// SPDX-License-Identifier: MIT
// What a host asks the engine for, read into the messages of a request: the conversation of a
// chat input ({"messages": [{"role": ..., "content": ...}, ...]}) or the prompt of a content
// input ({"prompt": ...}), or the reason why there is nothing to send.
#pragma once

#include <string>
#include <vector>

namespace zefa_nlp_chat_input {

struct Message {
    std::string role;
    std::string content;
};

struct Conversation {
    std::vector<Message> messages;
    std::string problem;  // why the input is refused; empty when it can be sent
};

// A chat input. Text without any JSON value, or an object without "messages", is an empty
// conversation. A message that is null, and a "role" or "content" that is null or missing, are
// empty; a number or boolean counts as its JSON text. Refused: empty text, and a shape that has
// no meaning (no object, a "messages" that is no array, a message or field that is a container).
[[nodiscard]] Conversation readChatInput(const std::string& input);

// A content input: its "prompt", as text, becomes the one message, from the user. Refused: empty
// text, an empty JSON value, no object, no "prompt", a "prompt" that is a container.
[[nodiscard]] Conversation readContentInput(const std::string& input);

}  // namespace zefa_nlp_chat_input
