// SPDX-License-Identifier: MIT
// Helpers shared by the tests: a recording result callback and a capture of standard error.
#pragma once

#include "ai_engine/abstract_ai_engine.h"
#include "ai_engine/ai_engine_result.h"

#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zefa_test {

using ai_engine::gen_ai::nlp::TextGenerationResult;

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";

// The API key the tests configure. Nothing the library writes may contain it: scripts/test.sh
// scans every test's output for it.
#define ZEFA_TEST_API_KEY "sk-zefa-test-7c41d9e2"
constexpr const char* kApiKey = ZEFA_TEST_API_KEY;
constexpr const char* kApiKeyConfig = "{\"apiKey\": \"" ZEFA_TEST_API_KEY "\"}";

// Collects every result the engine delivers, from any thread.
class Recorder {
public:
    ai_engine::gen_ai::nlp::TextGenerationResultCallback callback() {
        return [this](const TextGenerationResult& result) { record(result); };
    }

    void record(const TextGenerationResult& result) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            results_.push_back(result);
        }
        changed_.notify_all();
    }

    std::vector<TextGenerationResult> results() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return results_;
    }

    // The fragments (everything but end markers), parsed.
    std::vector<Json::Value> fragments() const;
    // The "result" texts of the fragments, joined.
    std::string text() const;
    std::size_t endMarkers() const;

    // Waits until at least count results arrived; false after a generous limit.
    bool waitFor(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return results_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TextGenerationResult> results_;
};

// Captures what is written to standard error (file descriptor 2) between construction and
// text().
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Ends the capture (once) and returns what was written.
    std::string text();

private:
    int savedFd_ = -1;
    int fileFd_ = -1;
    bool done_ = false;
    std::string text_;
};

Json::Value parse(const std::string& text);

// Waits until condition holds, looking again every millisecond; false after a generous limit.
bool eventually(const std::function<bool()>& condition,
                std::chrono::seconds limit = std::chrono::seconds(20));

// Checks the identity answers of a fresh engine, through the interface.
void expectFreshIdentity(const ai_engine::AbstractAiEngine& engine);

}  // namespace zefa_test
