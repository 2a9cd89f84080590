// SPDX-License-Identifier: MIT
// Stopping a request from another thread: one end marker, nothing after it, no stale stop.
#include "engine_inspector.h"
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

using Inspector = ZefaNlpEngineInspector;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using zefa_test::feed;
using zefa_test::Recorder;
using zefa_test::TextGenerationResult;

class Stopping : public testing::Test {
protected:
    void SetUp() override { engine.setTextGenerationResultCallback(recorder.callback()); }

    ZefaNlpEnginePrivate engine{"http://127.0.0.1:9/unused"};
    Recorder recorder;
};

TEST_F(Stopping, StopsOnAnIdleEngineChangeNothing) {
    engine.stopChat();
    engine.stopGenerateContent();
    const auto destroyed = engine.destroy();
    EXPECT_TRUE(destroyed.success);
    EXPECT_EQ(destroyed.error.code, -1);
    EXPECT_TRUE(recorder.results().empty());
    EXPECT_FALSE(Inspector::stopFlag(engine));
    const auto start = steady_clock::now();
    EXPECT_TRUE(engine.waitForStopped());
    EXPECT_LT(steady_clock::now() - start, milliseconds(5));
}

TEST_F(Stopping, StopChatSendsOneEndMarkerAndIsConsumedByItsRequest) {
    ASSERT_TRUE(Inspector::beginRequest(engine));
    engine.stopChat();
    engine.stopChat();
    engine.stopGenerateContent();
    const auto results = recorder.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].success);
    EXPECT_EQ(results[0].error.code, -1);
    EXPECT_EQ(results[0].error.module, "AI Engine");
    EXPECT_EQ(results[0].modelName, "泽法-zefa-plus");
    EXPECT_EQ(results[0].text, "{\"result\":\"\",\"is_end\":true}");
    EXPECT_TRUE(Inspector::stopFlag(engine));
    EXPECT_FALSE(Inspector::chatting(engine));

    const auto ended = Inspector::finishRequest(engine);
    EXPECT_TRUE(ended.success);
    EXPECT_EQ(ended.error.code, -1);
    EXPECT_FALSE(Inspector::stopFlag(engine));
    EXPECT_TRUE(engine.waitForStopped());
}

TEST_F(Stopping, StopGenerateContentSendsNoEndMarker) {
    ASSERT_TRUE(Inspector::beginRequest(engine));
    engine.stopGenerateContent();
    engine.stopChat();  // the stop is already pending: no marker either
    EXPECT_EQ(feed(engine, {zefa_test::contentEvent("late")}), std::vector<bool>{false});
    EXPECT_TRUE(recorder.results().empty());
    EXPECT_TRUE(Inspector::finishRequest(engine).success);
}

TEST_F(Stopping, DestroyDuringARequestActsAsStopChat) {
    ASSERT_TRUE(Inspector::beginRequest(engine));
    EXPECT_TRUE(engine.destroy().success);
    EXPECT_EQ(recorder.endMarkers(), 1u);
    EXPECT_TRUE(Inspector::finishRequest(engine).success);
}

TEST_F(Stopping, ConcurrentStopChatCallsSendOneEndMarker) {
    ASSERT_TRUE(Inspector::beginRequest(engine));
    std::atomic<bool> go{false};
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 8; ++i) {
        stoppers.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            engine.stopChat();
        });
    }
    go = true;
    for (std::thread& stopper : stoppers) stopper.join();
    EXPECT_EQ(recorder.endMarkers(), 1u);
    EXPECT_TRUE(Inspector::finishRequest(engine).success);
}

TEST_F(Stopping, WaitForStoppedSeesAFlagLoweredByAnotherThread) {
    Inspector::stopFlag(engine) = true;
    const auto start = steady_clock::now();
    std::thread lowerer([this] {
        std::this_thread::sleep_for(milliseconds(50));
        Inspector::stopFlag(engine) = false;
    });
    EXPECT_TRUE(engine.waitForStopped());
    const auto waited = steady_clock::now() - start;
    lowerer.join();
    EXPECT_GE(waited, milliseconds(50));
    EXPECT_LT(waited, milliseconds(5000));
}

// The host callback is never entered by two threads at once, and no fragment of a request
// follows the end marker of its stop, wherever the stop falls.
TEST_F(Stopping, RandomStopsDuringDeliveryStayOrdered) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        Recorder seen;
        engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            seen.record(result);
            inside.fetch_sub(1);
        });
        ASSERT_TRUE(Inspector::beginRequest(engine));
        const auto delay = std::chrono::microseconds(random() % 300);
        std::thread stopper([&] {
            std::this_thread::sleep_for(delay);
            engine.stopChat();
        });
        for (int i = 0; i < 50; ++i) {
            if (!feed(engine, {zefa_test::contentEvent("x") + zefa_test::contentEvent("y")})[0]) {
                break;
            }
        }
        stopper.join();
        EXPECT_TRUE(Inspector::finishRequest(engine).success);

        EXPECT_FALSE(overlapped);
        const auto results = seen.results();
        ASSERT_LE(seen.endMarkers(), 1u);
        if (seen.endMarkers() == 1) {
            EXPECT_EQ(results.back().text, zefa_test::kEndMarker);
        }
    }
}

}  // namespace
