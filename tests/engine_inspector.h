// SPDX-License-Identifier: MIT
// Access to the engine's private state for the tests that link the engine's objects.
#pragma once

#include "test_support.h"
#include "zefa_nlp_engine_p.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

// Reaches into ZefaNlpEnginePrivate; declared a friend there.
struct ZefaNlpEngineInspector {
    using Engine = ZefaNlpEnginePrivate;

    static Json::Value& requestBody(Engine& e) { return e.requestBody_; }
    static std::string& apiKey(Engine& e) { return e.apiKey_; }
    static int maxTokens(Engine& e) { return e.maxTokens_; }
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

namespace zefa_test {

// Gives engine the tests' API key and recorder's callback, and runs init.
inline void configure(ZefaNlpEnginePrivate& engine, Recorder& recorder) {
    engine.setConfig(kApiKeyConfig);
    engine.setTextGenerationResultCallback(recorder.callback());
    (void)engine.init();
}

// Runs a chat that must end in a transport failure: code 4, its message on standard error as
// "net error: ..."; returns the message.
inline std::string chatExpectingNetworkError(ZefaNlpEnginePrivate& engine,
                                             const std::string& input) {
    StderrCapture capture;
    const auto result = engine.chat(input);
    const std::string printed = capture.text();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 4);
    EXPECT_EQ(result.error.module, "AI Engine");
    EXPECT_NE(result.error.message, "");
    EXPECT_EQ(printed, "net error: " + result.error.message + "\n");
    return result.error.message;
}

}  // namespace zefa_test
