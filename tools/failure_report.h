// SPDX-License-Identifier: MIT
// How zefa-chat tells a user that a request failed: one line in words instead of the engine's
// code and the service's raw reply.
#pragma once

#include "ai_engine/engine_error.h"

#include <string>
#include <string_view>

namespace zefa_chat {

// "what failed: the service's or libcurl's explanation (error CODE) what to do", for the
// error of a failed request to the service at serviceAddress.
std::string describeFailure(const ai_engine::EngineError& error, const std::string& serviceAddress);

// Standard error from now on, written by zefa-chat, the engine or libcurl alike. The engine
// writes its own line for a failed request (with the service's whole reply) and for a refused
// model; zefa-chat says these things itself, so with holdBackEngineLines those lines are held
// back. On a terminal, control characters in every line are shown escaped, so that text from
// the service cannot drive it. Call before any other thread starts.
void filterStandardError(bool holdBackEngineLines);

// A status (such as "thinking...") at the end of standard error's terminal line, shown until it
// is cleared or a line is written to standard error, which first erases it. Any thread may call
// these; text holds no line end.
void showStatus(std::string_view text);
void clearStatus();

}  // namespace zefa_chat
