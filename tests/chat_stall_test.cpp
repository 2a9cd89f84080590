// SPDX-License-Identifier: MIT
// Stalled transfers end by the low-speed limit. Slow: libcurl needs 10 s or more to decide.
#include "served_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace zefa_test {
namespace {

class Stall : public ServedEngineTest, public testing::WithParamInterface<bool> {};

TEST_P(Stall, ASilentServiceFailsWithTooSlow) {
    ScriptedReply reply;
    if (GetParam()) {
        reply = silentAfterFirstEvent(seconds(60));  // headers and one event, then silence
    } else {
        reply.silenceBeforeHeaders = seconds(60);
    }
    service.setReply(reply);
    const std::string message = chatExpectingNetworkError(engine);
    EXPECT_NE(message.find("too slow"), std::string::npos) << message;
    EXPECT_EQ(recorder.fragments().size(), GetParam() ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(AfterHeadersOrBefore, Stall, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "AfterHeaders" : "BeforeHeaders";
                         });

// Just above the low-speed limit for longer than its window: slow, but no stall.
using SlowDrip = ServedEngineTest;

TEST_F(SlowDrip, AboveTheLowSpeedLimitCompletes) {
    ScriptedReply reply;
    const std::string comment = ": " + std::string(23, '.') + "\n\n";  // 27 bytes every 0.5 s
    for (int i = 0; i < 28; ++i) reply.pieces.push_back(comment);
    for (const std::string& piece : streamOf({"dripped"})) reply.pieces.push_back(piece);
    reply.pause = milliseconds(500);
    service.setReply(reply);
    expectChatWorks(engine, "dripped");
}

}  // namespace
}  // namespace zefa_test
