// SPDX-License-Identifier: MIT
// The tests as a host: the inputs it writes, a recording result callback, what it expects of a
// chat, and what it reads off standard error; and a way to name the rows of a table. Nothing
// private: the tests of the facade use it with the shared library.
#pragma once

#include "ai_engine/abstract_text_generation_engine.h"
#include "ai_engine/ai_engine_result.h"
#include "system_support.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Instantiates the table test suite over rows: each test is named after its row's name, and
// gtest shows a row by that name wherever it prints one (test listings, failures).
#define ZEFA_TABLE(prefix, suite, rows)                                                \
    [[maybe_unused]] void PrintTo(const suite::ParamType& row, std::ostream* out) {    \
        *out << row.name;                                                              \
    }                                                                                  \
    INSTANTIATE_TEST_SUITE_P(prefix, suite, rows,                                      \
                             [](const testing::TestParamInfo<suite::ParamType>& row) { \
                                 return std::string(row.param.name);                   \
                             })

namespace zefa_test {

using ai_engine::gen_ai::nlp::AbstractTextGenerationEngine;
using ai_engine::gen_ai::nlp::TextGenerationResult;
using ai_engine::result::AiEngineBaseResult;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";

// The API key the tests configure. Nothing the library writes may contain it: scripts/test.sh
// scans every test's output for it.
#define ZEFA_TEST_API_KEY "sk-zefa-test-7c41d9e2"
constexpr const char* kApiKey = ZEFA_TEST_API_KEY;
constexpr const char* kApiKeyConfig = "{\"apiKey\": \"" ZEFA_TEST_API_KEY "\"}";

// The messages of a chat input: (role, content).
using Messages = std::vector<std::pair<std::string, std::string>>;
// A chat input as a host writes it.
std::string chatInput(const Messages& messages);
// A chat input of one user message.
std::string ask(const std::string& prompt);
// The chat most tests send.
inline const std::string kHello = ask("hello");

// The pieces of a reply as one text.
std::string joined(const std::vector<std::string>& pieces);

Json::Value parse(const std::string& text);

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
    bool waitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kGenerousLimit, [&] { return results_.size() >= count; });
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
    ~StderrCapture() { (void)text(); }

    // Ends the capture (once) and returns what was written.
    std::string text();

private:
    Descriptor saved_;
    Descriptor file_;
    bool done_ = false;
    std::string text_;
};

// An environment variable set for the lifetime of the object.
class EnvironmentVariable {
public:
    EnvironmentVariable(const std::string& name, const std::string& value);
    ~EnvironmentVariable();
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    std::string name_;
};

// Waits until condition holds, looking again every millisecond; false after a generous limit.
bool eventually(const std::function<bool()>& condition);

// Checks the identity answers of a fresh engine, through the interface.
void expectFreshIdentity(const ai_engine::AbstractAiEngine& engine);

// Gives engine the tests' API key and recorder's callback, and runs init.
void configure(AbstractTextGenerationEngine& engine, Recorder& recorder);

// A success with the default error.
void expectSuccess(const AiEngineBaseResult& result, const std::string& what);

// Chats kHello with a recorder of its own, and expects a success with the answer text read to
// its end and no end marker: after a fault, a stop or a failed host, nothing that came before
// touches the next chat.
void expectChatWorks(AbstractTextGenerationEngine& engine, const std::string& text);

// Chats kHello, which must end in a transport failure: code 4, its message on standard error as
// "net error: ..."; returns the message.
std::string chatExpectingNetworkError(AbstractTextGenerationEngine& engine);

}  // namespace zefa_test
