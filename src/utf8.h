// SPDX-License-Identifier: MIT
// UTF-8 checks shared by the engine (text from the service) and zefa-chat (text from the user):
// JSON strings hold well-formed UTF-8 only.
#pragma once

#include <cstddef>
#include <string>

namespace zefa_nlp_util {

// The length of the UTF-8 sequence at s (s < end) when it is well-formed; otherwise 0, and
// illFormed (when given) receives the length of its ill-formed part (at least 1): the bytes that
// begin a sequence which no valid byte can complete, which decoders replace by one U+FFFD.
[[nodiscard]] std::size_t utf8SequenceLength(const unsigned char* s, const unsigned char* end,
                                             std::size_t* illFormed = nullptr);

// Replaces each ill-formed UTF-8 sequence of text by U+FFFD and leaves every well-formed
// character as it is; true when it replaced anything. Text that is well-formed is not copied.
bool repairUtf8(std::string& text);

}  // namespace zefa_nlp_util
