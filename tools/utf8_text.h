// SPDX-License-Identifier: MIT
// Text typed or piped into zefa-chat goes to the service as JSON strings, which hold UTF-8 only.
#pragma once

#include <string>
#include <string_view>

namespace zefa_chat {

// text with every byte that starts no well-formed UTF-8 sequence replaced by U+FFFD;
// replaced tells whether there was one.
std::string validUtf8(std::string_view text, bool& replaced);

}  // namespace zefa_chat
