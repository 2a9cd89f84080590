// SPDX-License-Identifier: MIT
// Access to the engine's private state for the tests that link the engine's objects.
#pragma once

#include "test_support.h"
#include "zefa_nlp_engine_p.h"

#include <cpr/cpr.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Reaches into ZefaNlpEnginePrivate; declared a friend there.
struct ZefaNlpEngineInspector {
    using Engine = ZefaNlpEnginePrivate;

    static Json::Value& requestBody(Engine& e) { return e.requestBody_; }
    static std::string& apiKey(Engine& e) { return e.apiKey_; }
    static int maxTokens(Engine& e) { return e.maxTokens_; }
    static int sentenceId(Engine& e) { return e.sentenceId_; }
    static std::string& pendingData(Engine& e) { return e.pendingData_; }
    static std::string& serverErrorText(Engine& e) { return e.serverErrorText_; }
    static std::atomic<bool>& stopFlag(Engine& e) { return e.stopFlag_; }
    static std::atomic<bool>& chatting(Engine& e) { return e.chatting_; }
    static ai_engine::EngineError lastError(Engine& e) {
        const std::lock_guard<std::mutex> lock(e.mutex_);
        return e.lastError_;
    }
    static void addContext(Engine& e, const std::string& role, const std::string& content) {
        e.addContext_(role, content);
    }
    static void removeLastContext(Engine& e) { e.removeLastContext_(); }

    // Puts the engine into the state of a running request, as chat does before its transfer.
    static bool beginRequest(Engine& e) {
        if (!e.claimRequest_()) return false;
        e.resetStream_();
        return true;
    }
    // Ends a request begun with beginRequest as if its transfer had returned response.
    static ai_engine::result::AiEngineBaseResult finishRequest(Engine& e,
                                                               cpr::Response response = {}) {
        return e.processChatResponse_(response);
    }
};

namespace zefa_test {

// Feeds chunks to the engine's write callback; returns the callback's answers.
inline std::vector<bool> feed(ZefaNlpEnginePrivate& engine,
                              const std::vector<std::string>& chunks) {
    std::vector<bool> answers;
    for (const std::string& chunk : chunks) {
        answers.push_back(writeChatData(chunk, reinterpret_cast<intptr_t>(&engine)));
    }
    return answers;
}

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
