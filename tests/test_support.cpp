// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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
    fileFd_ = mkstemp(path);
    if (fileFd_ < 0) throw std::runtime_error("mkstemp failed");
    unlink(path);
    fflush(stderr);
    savedFd_ = dup(STDERR_FILENO);
    dup2(fileFd_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    (void)text();
    close(fileFd_);
}

std::string StderrCapture::text() {
    if (done_) return text_;
    done_ = true;
    fflush(stderr);
    dup2(savedFd_, STDERR_FILENO);
    close(savedFd_);
    lseek(fileFd_, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fileFd_, buffer, sizeof buffer)) > 0) text_.append(buffer, std::size_t(n));
    // Pass it on, so that the test log holds everything the library wrote (and the secret scan
    // of scripts/test.sh sees it).
    fputs(text_.c_str(), stderr);
    return text_;
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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

void expectFreshIdentity(const ai_engine::AbstractAiEngine& engine) {
    EXPECT_EQ(engine.engineName(), "zefa");
    EXPECT_TRUE(engine.isCloud());
    EXPECT_FALSE(engine.isBuiltInEngine());
    EXPECT_FALSE(engine.isCustomModelEngine());
    EXPECT_EQ(engine.currentModel(), "zefa-plus");
    EXPECT_EQ(engine.currentModelName(), "泽法-zefa-plus");
}

}  // namespace zefa_test
