// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace zefa_test {

namespace {

// libcurl honours proxy variables; the tests talk to 127.0.0.1 only.
const bool kProxiesCleared = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        unsetenv(name);
    }
    return true;
}();

}  // namespace

std::string chatInput(const Messages& messages) {
    Json::Value input(Json::objectValue);
    input["messages"] = Json::Value(Json::arrayValue);
    for (const auto& [role, content] : messages) {
        Json::Value message(Json::objectValue);
        message["role"] = role;
        message["content"] = content;
        input["messages"].append(message);
    }
    return input.toStyledString();
}

std::string ask(const std::string& prompt) { return chatInput({{"user", prompt}}); }

std::string joined(const std::vector<std::string>& pieces) {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return text;
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::string errors;
    const Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        ADD_FAILURE() << "not JSON (" << errors << "): " << text;
    }
    return value;
}

std::vector<Json::Value> Recorder::fragments() const {
    std::vector<Json::Value> parsed;
    for (const TextGenerationResult& result : results()) {
        if (result.text != kEndMarker) parsed.push_back(parse(result.text));
    }
    return parsed;
}

std::string Recorder::text() const {
    std::string joined;
    for (const Json::Value& fragment : fragments()) {
        if (fragment["result"].isString()) joined += fragment["result"].asString();
    }
    return joined;
}

std::size_t Recorder::endMarkers() const {
    std::size_t count = 0;
    for (const TextGenerationResult& result : results()) count += result.text == kEndMarker;
    return count;
}

StderrCapture::StderrCapture() {
    char path[] = "/tmp/zefa-stderr-XXXXXX";
    file_ = Descriptor(mkstemp(path));
    if (file_.get() < 0) throw std::runtime_error("mkstemp failed");
    unlink(path);
    fflush(stderr);
    saved_ = Descriptor(dup(STDERR_FILENO));
    dup2(file_.get(), STDERR_FILENO);
}

std::string StderrCapture::text() {
    if (done_) return text_;
    done_ = true;
    fflush(stderr);
    dup2(saved_.get(), STDERR_FILENO);
    saved_ = Descriptor();
    lseek(file_.get(), 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(file_.get(), buffer, sizeof buffer)) > 0) {
        text_.append(buffer, std::size_t(n));
    }
    // Pass it on, so that the test log holds everything the library wrote (and the secret scan
    // of scripts/test.sh sees it).
    fputs(text_.c_str(), stderr);
    return text_;
}

EnvironmentVariable::EnvironmentVariable(const std::string& name, const std::string& value)
    : name_(name) {
    setenv(name.c_str(), value.c_str(), 1);
}

EnvironmentVariable::~EnvironmentVariable() { unsetenv(name_.c_str()); }

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerousLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

void expectFreshIdentity(const ai_engine::AbstractAiEngine& engine) {
    EXPECT_EQ(engine.engineName(), "zefa");
    EXPECT_TRUE(engine.isCloud());
    EXPECT_FALSE(engine.isBuiltInEngine());
    EXPECT_FALSE(engine.isCustomModelEngine());
    EXPECT_EQ(engine.currentModel(), "zefa-plus");
    EXPECT_EQ(engine.currentModelName(), "泽法-zefa-plus");
}

void configure(AbstractTextGenerationEngine& engine, Recorder& recorder) {
    engine.setConfig(kApiKeyConfig);
    engine.setTextGenerationResultCallback(recorder.callback());
    (void)engine.init();
}

void expectSuccess(const AiEngineBaseResult& result, const std::string& what) {
    EXPECT_TRUE(result.success) << what << ": " << result.error.message;
    EXPECT_EQ(result.error.code, -1) << what;
    EXPECT_EQ(result.error.message, "") << what;
}

void expectChatWorks(AbstractTextGenerationEngine& engine, const std::string& text) {
    Recorder next;
    engine.setTextGenerationResultCallback(next.callback());
    expectSuccess(engine.chat(kHello), "next chat");
    EXPECT_EQ(next.text(), text);
    EXPECT_EQ(next.endMarkers(), 0u);
    const std::vector<Json::Value> fragments = next.fragments();
    ASSERT_FALSE(fragments.empty());
    EXPECT_EQ(fragments.back()["is_end"], true) << "the answer was not read to its end";
}

std::string chatExpectingNetworkError(AbstractTextGenerationEngine& engine) {
    StderrCapture capture;
    const auto result = engine.chat(kHello);
    const std::string printed = capture.text();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 4);
    EXPECT_EQ(result.error.module, "AI Engine");
    EXPECT_NE(result.error.message, "");
    EXPECT_EQ(printed, "net error: " + result.error.message + "\n");
    return result.error.message;
}

}  // namespace zefa_test
