// SPDX-License-Identifier: MIT
// Access to the engine's private state, for the facts that nothing public shows; the tests that
// use it link the engine's objects.
#pragma once

#include "zefa_nlp_engine_p.h"

#include <mutex>
#include <string>

// Reaches into ZefaNlpEnginePrivate; declared a friend there.
struct ZefaNlpEngineInspector {
    using Engine = ZefaNlpEnginePrivate;

    static Json::Value& requestBody(Engine& e) { return e.requestBody_; }
    static std::string& apiKey(Engine& e) { return e.apiKey_; }
    static ai_engine::EngineError lastError(Engine& e) {
        const std::lock_guard<std::mutex> lock(e.lastErrorMutex_);
        return e.lastError_;
    }
    static std::size_t waitingRequests(Engine& e) { return e.slot_.waiting(); }
    static void addContext(Engine& e, const std::string& role, const std::string& content) {
        e.addContext_(role, content);
    }
    static void removeLastContext(Engine& e) { e.removeLastContext_(); }
};
