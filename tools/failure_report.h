// SPDX-License-Identifier: MIT
// How zefa-chat tells a user that a request failed: one line in words instead of the engine's
// code and the service's raw reply.
#pragma once

#include "ai_engine/engine_error.h"

#include <string>

namespace zefa_chat {

// "what failed: the service's or libcurl's explanation (error CODE) what to do", for the
// error of a failed request to the service at serviceAddress.
std::string describeFailure(const ai_engine::EngineError& error, const std::string& serviceAddress);

// The engine writes its own line to standard error for a failed request (with the service's
// whole reply) and for a refused model. zefa-chat says these things itself, so from now on it
// holds those lines back; every other line written to standard error passes unchanged.
// Call before any other thread starts.
void holdBackEngineDiagnostics();

}  // namespace zefa_chat
