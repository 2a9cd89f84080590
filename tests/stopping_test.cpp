// SPDX-License-Identifier: MIT
// Stopping and overlapping calls from a hostile host, over HTTP from the local service: one end
// marker per stop, nothing after it, no request's result changed by another call.
#include "engine_inspector.h"
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using zefa_test::ModelService;
using zefa_test::Recorder;
using zefa_test::ScriptedReply;
using zefa_test::TextGenerationResult;
using AiEngineBaseResult = ai_engine::result::AiEngineBaseResult;

const std::string kHello = R"({"messages": [{"role": "user", "content": "hello"}]})";
constexpr const char* kBusyMessage = "An earlier request is still running on this engine";

ScriptedReply streamReply(int tokens, milliseconds pause) {
    return ScriptedReply{200, "text/event-stream",
                         zefa_test::streamOf(std::vector<std::string>(tokens, "t")), pause};
}

// A reply that falls silent after its first event and does not end by itself.
ScriptedReply silentReply() { return zefa_test::silentAfterFirstEvent(seconds(60)); }

void expectSuccess(const AiEngineBaseResult& result, const std::string& what) {
    EXPECT_TRUE(result.success) << what << ": " << result.error.message;
    EXPECT_EQ(result.error.code, -1) << what;
    EXPECT_EQ(result.error.message, "") << what;
}

// A gate opened once; waiters give up after a generous limit.
class Gate {
public:
    void open() { opened_.set_value(); }
    bool wait() { return ready_.wait_for(seconds(20)) == std::future_status::ready; }

private:
    std::promise<void> opened_;
    std::shared_future<void> ready_ = opened_.get_future().share();
};

class Stopping : public testing::Test {
protected:
    void SetUp() override { zefa_test::configure(engine, recorder); }

    // The next chat is neither refused nor stopped by anything that came before.
    void expectNextChatWorks() {
        service.setReply(ScriptedReply{200, "text/event-stream", zefa_test::streamOf({"next"})});
        Recorder next;
        engine.setTextGenerationResultCallback(next.callback());
        expectSuccess(engine.chat(kHello), "next chat");
        EXPECT_EQ(next.text(), "next");
        EXPECT_EQ(next.endMarkers(), 0u);
    }

    // Waits (bounded) until a request is queued behind the one holding the engine.
    bool waitForAWaitingRequest() {
        for (int i = 0; i < 20000; ++i) {
            if (ZefaNlpEngineInspector::waitingRequests(engine) > 0) return true;
            std::this_thread::sleep_for(milliseconds(1));
        }
        return false;
    }

    ModelService service;
    ZefaNlpEnginePrivate engine{service.endpointUrl()};
    Recorder recorder;
};

struct StopCase {
    const char* name;
    std::function<void(ZefaNlpEnginePrivate&)> stop;
    std::size_t endMarkers;
    bool silent = false;  // the reply falls silent instead of streaming
};

// A row of the table shows as its name in test listings.
void PrintTo(const StopCase& row, std::ostream* out) { *out << row.name; }

class StopDuringAChat : public Stopping, public testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringAChat, EndsItWithItsEndMarkersAndNothingAfter) {
    const StopCase& c = GetParam();
    service.setReply(c.silent ? silentReply() : streamReply(200, milliseconds(20)));
    std::thread stopper([&] {
        if (recorder.waitFor(1)) c.stop(engine);
    });
    const auto result = engine.chat(kHello);
    stopper.join();
    expectSuccess(result, c.name);
    const auto results = recorder.results();
    EXPECT_EQ(recorder.endMarkers(), c.endMarkers);
    if (c.endMarkers == 1) {
        EXPECT_EQ(results.back().text, zefa_test::kEndMarker);
    }
    EXPECT_LT(results.size(), 50u);
    expectNextChatWorks();
}

void stopFromEightThreads(ZefaNlpEnginePrivate& engine) {
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
}

INSTANTIATE_TEST_SUITE_P(
    Operations, StopDuringAChat,
    testing::Values(
        StopCase{"StopChat", [](ZefaNlpEnginePrivate& e) { e.stopChat(); }, 1},
        StopCase{"StopChatTwiceThenStopGenerateContent",
                 [](ZefaNlpEnginePrivate& e) {
                     e.stopChat();
                     e.stopChat();
                     e.stopGenerateContent();
                 },
                 1},
        StopCase{"StopGenerateContent", [](ZefaNlpEnginePrivate& e) { e.stopGenerateContent(); },
                 0},
        StopCase{"StopGenerateContentThenStopChat",
                 [](ZefaNlpEnginePrivate& e) {
                     e.stopGenerateContent();
                     e.stopChat();
                 },
                 0},
        StopCase{"Destroy", [](ZefaNlpEnginePrivate& e) { EXPECT_TRUE(e.destroy().success); }, 1},
        StopCase{"EightThreadsAtOnce", stopFromEightThreads, 1},
        StopCase{"StopChatOnASilentStream", [](ZefaNlpEnginePrivate& e) { e.stopChat(); }, 1, true},
        StopCase{"StopGenerateContentOnASilentStream",
                 [](ZefaNlpEnginePrivate& e) { e.stopGenerateContent(); }, 0, true}),
    [](const testing::TestParamInfo<StopCase>& param) { return std::string(param.param.name); });

// Each stop cuts its connection at once, and the next chat opens a new one; the service is left
// with no abandoned reply (it serves a handful at a time).
TEST_F(Stopping, StoppedSilentChatsOneAfterAnother) {
    constexpr int kChats = 12;
    service.setReply(silentReply());
    for (int i = 0; i < kChats; ++i) {
        Recorder seen;
        engine.setTextGenerationResultCallback(seen.callback());
        std::thread stopper([&] {
            if (seen.waitFor(1)) engine.stopChat();
        });
        expectSuccess(engine.chat(kHello), "chat " + std::to_string(i));
        stopper.join();
        EXPECT_EQ(seen.endMarkers(), 1u);
    }
    expectNextChatWorks();
    EXPECT_EQ(service.connectionsAccepted(), static_cast<std::size_t>(kChats + 1));
}

TEST_F(Stopping, StopsOnAnIdleEngineChangeNothing) {
    engine.stopChat();
    engine.stopGenerateContent();
    const auto destroyed = engine.destroy();
    expectSuccess(destroyed, "destroy");
    EXPECT_TRUE(recorder.results().empty());
    expectNextChatWorks();
}

// What a host's callback does with the result it is handed (numbered from 1): a throw ends the
// request at once, and chat reports it instead of success.
struct ThrowCase {
    const char* name;
    std::function<void(ZefaNlpEnginePrivate&, const TextGenerationResult&, std::size_t)> callback;
    std::size_t delivered;  // results the host saw, the throwing one included
    const char* message;
    std::size_t stopAfter = 0;  // another thread stops the chat once this many results arrived
};

void PrintTo(const ThrowCase& row, std::ostream* out) { *out << row.name; }

class ThrowingCallbacks : public Stopping, public testing::WithParamInterface<ThrowCase> {};

TEST_P(ThrowingCallbacks, EndTheRequestAndFailIt) {
    const ThrowCase& c = GetParam();
    service.setReply(streamReply(20, milliseconds(2)));
    engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
        recorder.record(result);
        c.callback(engine, result, recorder.results().size());
    });
    std::thread stopper([&] {
        if (c.stopAfter > 0 && recorder.waitFor(c.stopAfter)) engine.stopChat();
    });
    const auto result = engine.chat(kHello);
    stopper.join();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 1000);
    EXPECT_EQ(result.error.message, c.message);
    EXPECT_EQ(recorder.results().size(), c.delivered);
    expectNextChatWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ThrowingCallbacks,
    testing::Values(
        ThrowCase{"StdException",
                  [](ZefaNlpEnginePrivate&, const TextGenerationResult&, std::size_t n) {
                      if (n == 2) throw std::runtime_error("host bug");
                  },
                  2, "The result callback threw an exception: host bug"},
        ThrowCase{"AnythingElse",
                  [](ZefaNlpEnginePrivate&, const TextGenerationResult&, std::size_t n) {
                      if (n == 2) throw 42;
                  },
                  2, "The result callback threw an exception"},
        // The stop from inside owes an end marker, which the throw cancels.
        ThrowCase{"AfterStoppingFromInside",
                  [](ZefaNlpEnginePrivate& e, const TextGenerationResult&, std::size_t n) {
                      if (n != 2) return;
                      e.stopChat();
                      throw std::logic_error("stopped, then failed");
                  },
                  2, "The result callback threw an exception: stopped, then failed"},
        ThrowCase{"OnTheEndMarker",
                  [](ZefaNlpEnginePrivate&, const TextGenerationResult& r, std::size_t) {
                      if (r.text == zefa_test::kEndMarker) throw std::runtime_error("at the end");
                  },
                  4, "The result callback threw an exception: at the end", 3}),
    [](const testing::TestParamInfo<ThrowCase>& param) { return std::string(param.param.name); });

// A stopped request that cannot end yet (its host callback still runs) holds the engine; a new
// chat waits for it. A stop now reaches the waiting chat: it ends at once, without sending.
TEST_F(Stopping, AStopReachesARequestWaitingForAnEarlierOne) {
    std::atomic<int> served{0};
    service.setResponder([&served](const zefa_test::RecordedRequest&) {
        return ++served == 1 ? silentReply() : streamReply(200, milliseconds(20));
    });
    Gate release;
    engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
        recorder.record(result);
        if (recorder.results().size() == 1) {
            EXPECT_TRUE(release.wait());
        }
    });
    AiEngineBaseResult first;
    AiEngineBaseResult second;
    std::thread a([&] { first = engine.chat(kHello); });
    ASSERT_TRUE(recorder.waitFor(1));
    engine.stopChat();
    std::thread b([&] { second = engine.chat(kHello); });
    ASSERT_TRUE(waitForAWaitingRequest());
    engine.stopChat();
    release.open();
    a.join();
    b.join();
    expectSuccess(first, "first chat");
    expectSuccess(second, "second chat");
    EXPECT_EQ(service.requests().size(), 1u);
    const auto results = recorder.results();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[1].text, zefa_test::kEndMarker);
    EXPECT_EQ(results[2].text, zefa_test::kEndMarker);
    service.setResponder(nullptr);
    expectNextChatWorks();
}

// Another thread's refused call, made while a chat streams, changes nothing of that chat: not
// its result, not its fragments, not the end marker of its stop.
TEST_F(Stopping, ARefusedCallNeverLeaksIntoARunningRequest) {
    for (const bool stop : {false, true}) {
        service.setReply(streamReply(5, milliseconds(2)));
        Recorder seen;
        Gate refused;
        engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
            seen.record(result);
            if (seen.results().size() == 1) {
                EXPECT_TRUE(refused.wait());
            }
        });
        std::thread other([&] {
            if (!seen.waitFor(1)) return;
            EXPECT_EQ(engine.chat("").error.code, 14);
            if (stop) engine.stopChat();
            refused.open();
        });
        const auto result = engine.chat(kHello);
        other.join();
        expectSuccess(result, stop ? "stopped chat" : "chat");
        for (const TextGenerationResult& delivered : seen.results()) {
            EXPECT_EQ(delivered.error.code, -1) << delivered.text;
            EXPECT_EQ(delivered.error.message, "") << delivered.text;
        }
        EXPECT_EQ(seen.endMarkers(), stop ? 1u : 0u);
    }
}

TEST_F(Stopping, AChatFromInsideTheCallbackIsRefusedAtOnce) {
    service.setReply(ScriptedReply{200, "text/event-stream", zefa_test::streamOf({"a", "b"})});
    AiEngineBaseResult inner;
    engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
        recorder.record(result);
        if (recorder.results().size() == 1) inner = engine.chat(kHello);
    });
    expectSuccess(engine.chat(kHello), "outer chat");
    EXPECT_FALSE(inner.success);
    EXPECT_EQ(inner.error.code, 1000);
    EXPECT_EQ(inner.error.message, kBusyMessage);
    EXPECT_EQ(recorder.text(), "ab");
    EXPECT_EQ(service.requests().size(), 1u);
}

// The order a host sees, whatever it does at random moments: stops from another thread (also
// while a second chat waits), refused calls from a third, chats and stops from inside the
// callback. Requests never overlap, so the results are runs of fragments numbered from 0, each
// closed by at most one end marker; one thread at a time is in the callback; every chat
// succeeds with its own default error.
TEST_F(Stopping, RandomStopsCallsAndWaitsKeepTheOrder) {
    service.setReply(streamReply(12, milliseconds(1)));
    std::mt19937 random(20261208);
    const auto deadline = std::chrono::steady_clock::now() + seconds(120);
    for (int round = 0; round < 300 && std::chrono::steady_clock::now() < deadline; ++round) {
        const auto dice = random();
        const bool secondChat = dice % 3 == 0;
        const bool chatInside = dice % 5 == 0;
        const bool stopInside = dice % 7 == 0;
        const auto stopDelay = std::chrono::microseconds(random() % 20000);
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        std::atomic<int> fragmentsSeen{0};
        Recorder seen;
        engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            seen.record(result);
            if (result.text != zefa_test::kEndMarker && ++fragmentsSeen == 3) {
                if (chatInside) {
                    EXPECT_EQ(engine.chat(kHello).error.message, kBusyMessage);
                }
                if (stopInside) engine.stopChat();
            }
            inside.fetch_sub(1);
        });
        std::thread stopper([&] {
            std::this_thread::sleep_for(stopDelay);
            engine.stopChat();
        });
        std::thread refuser([&] { EXPECT_EQ(engine.chat("").error.code, 14); });
        AiEngineBaseResult second{true, {}};
        std::thread waiter([&] {
            if (secondChat) second = engine.chat(kHello);
        });
        const auto first = engine.chat(kHello);
        stopper.join();
        refuser.join();
        waiter.join();
        expectSuccess(first, "round " + std::to_string(round));
        expectSuccess(second, "second chat of round " + std::to_string(round));
        EXPECT_FALSE(overlapped) << "round " << round;

        const std::size_t requests = secondChat ? 2 : 1;
        std::size_t markers = 0;
        int nextId = 0;
        for (const TextGenerationResult& result : seen.results()) {
            if (result.text == zefa_test::kEndMarker) {
                ++markers;
                nextId = 0;  // only a new request may follow
                continue;
            }
            const int id = zefa_test::parse(result.text)["sentence_id"].asInt();
            if (id == 0 && nextId != 0 && requests == 2) nextId = 0;  // the second request
            EXPECT_EQ(id, nextId) << "round " << round;
            nextId = id + 1;
        }
        EXPECT_LE(markers, requests) << "round " << round;
        if (HasFailure()) break;
    }
}

}  // namespace
