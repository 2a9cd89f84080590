// SPDX-License-Identifier: MIT
// Stalled transfers end by the low-speed limit. Slow: libcurl needs 10 s or more to decide.
#include "engine_inspector.h"
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::seconds;
using zefa_test::ScriptedReply;

class Stall : public testing::TestWithParam<bool> {};

TEST_P(Stall, ASilentServiceFailsWithTooSlow) {
    zefa_test::ModelService service;
    ScriptedReply reply;
    if (GetParam()) {
        reply.pieces = {zefa_test::roleEvent()};  // headers and one event, then silence
        reply.ending = ScriptedReply::Ending::Hold;
        reply.hold = seconds(60);
    } else {
        reply.silenceBeforeHeaders = seconds(60);
    }
    service.setReply(reply);
    ZefaNlpEnginePrivate engine(service.endpointUrl());
    zefa_test::Recorder recorder;
    zefa_test::configure(engine, recorder);

    zefa_test::StderrCapture capture;
    const auto result = engine.chat(R"({"messages": [{"role": "user", "content": "hi"}]})");
    const std::string printed = capture.text();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 4);
    EXPECT_NE(result.error.message.find("too slow"), std::string::npos) << result.error.message;
    EXPECT_EQ(printed, "net error: " + result.error.message + "\n");
    EXPECT_EQ(recorder.fragments().size(), GetParam() ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(AfterHeadersOrBefore, Stall, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "AfterHeaders" : "BeforeHeaders";
                         });

// Just above the low-speed limit for longer than its window: slow, but no stall.
TEST(SlowDrip, AboveTheLowSpeedLimitCompletes) {
    zefa_test::ModelService service;
    ScriptedReply reply;
    const std::string comment = ": " + std::string(23, '.') + "\n\n";  // 27 bytes every 0.5 s
    for (int i = 0; i < 28; ++i) reply.pieces.push_back(comment);
    for (const std::string& piece : zefa_test::streamOf({"dripped"})) reply.pieces.push_back(piece);
    reply.pause = std::chrono::milliseconds(500);
    service.setReply(reply);
    ZefaNlpEnginePrivate engine(service.endpointUrl());
    zefa_test::Recorder recorder;
    zefa_test::configure(engine, recorder);
    const auto result = engine.chat(R"({"messages": [{"role": "user", "content": "hi"}]})");
    EXPECT_TRUE(result.success) << result.error.message;
    EXPECT_EQ(recorder.text(), "dripped");
}

}  // namespace
