// SPDX-License-Identifier: MIT
// Stopping and overlapping calls from a hostile host, over HTTP from the local service: one end
// marker per stop, nothing after it, no request's result changed by another call.
#include "engine_inspector.h"
#include "served_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zefa_test {
namespace {

constexpr const char* kBusyMessage = "An earlier request is still running on this engine";

// A reply of count tokens, pause apart.
ScriptedReply tokens(std::size_t count, milliseconds pause) {
    return streamReply(std::vector<std::string>(count, "t"), pause);
}

// A reply that falls silent after its first event and does not end by itself.
ScriptedReply silentReply() { return silentAfterFirstEvent(seconds(60)); }

class Stopping : public ServedEngineTest {
protected:
    // The next chat is neither refused nor stopped by anything that came before.
    void expectNextChatWorks() {
        service.setReply(streamReply({"next"}));
        expectChatWorks(engine, "next");
    }

    // Waits (bounded) until a request is queued behind the one holding the engine: nothing
    // public shows it, the request's chat call just has not returned.
    bool waitForAWaitingRequest() {
        return eventually([this] { return ZefaNlpEngineInspector::waitingRequests(engine) > 0; });
    }
};

// How each stop operation ends a chat; stops in combination are rows of the request slot's table.
struct StopCase {
    const char* name;
    std::function<void(ZefaNlpEnginePrivate&)> stop;
    std::size_t endMarkers;
    bool silent = false;  // the reply falls silent instead of streaming
};

class StopDuringAChat : public Stopping, public testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringAChat, EndsItWithItsEndMarkersAndNothingAfter) {
    const StopCase& c = GetParam();
    service.setReply(c.silent ? silentReply() : tokens(200, milliseconds(20)));
    std::thread stopper([&] {
        if (recorder.waitFor(1)) c.stop(engine);
    });
    const auto result = engine.chat(kHello);
    stopper.join();
    expectSuccess(result, c.name);
    const auto results = recorder.results();
    EXPECT_EQ(recorder.endMarkers(), c.endMarkers);
    if (c.endMarkers == 1) {
        EXPECT_EQ(results.back().text, kEndMarker);
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

ZEFA_TABLE(
    Operations, StopDuringAChat,
    testing::Values(
        StopCase{"StopChat", [](ZefaNlpEnginePrivate& e) { e.stopChat(); }, 1},
        StopCase{"StopGenerateContent", [](ZefaNlpEnginePrivate& e) { e.stopGenerateContent(); },
                 0},
        StopCase{"Destroy", [](ZefaNlpEnginePrivate& e) { EXPECT_TRUE(e.destroy().success); }, 1},
        StopCase{"EightThreadsAtOnce", stopFromEightThreads, 1},
        StopCase{"StopChatOnASilentStream", [](ZefaNlpEnginePrivate& e) { e.stopChat(); }, 1, true},
        StopCase{"StopGenerateContentOnASilentStream",
                 [](ZefaNlpEnginePrivate& e) { e.stopGenerateContent(); }, 0, true}));

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
// request at once, and chat reports it instead of success. The other ways to throw are rows of
// the request slot's own table.
struct ThrowCase {
    const char* name;
    std::function<void(ZefaNlpEnginePrivate&, const TextGenerationResult&, std::size_t)> callback;
    std::size_t delivered;  // results the host saw, the throwing one included
    const char* message;
    std::size_t stopAfter = 0;  // another thread stops the chat once this many results arrived
};

class ThrowingCallbacks : public Stopping, public testing::WithParamInterface<ThrowCase> {};

TEST_P(ThrowingCallbacks, EndTheRequestAndFailIt) {
    const ThrowCase& c = GetParam();
    service.setReply(tokens(20, milliseconds(2)));
    // The callback holds the request at the result the stop follows, so that the stop comes
    // before the next fragment however slowly the stopping thread runs.
    Gate stopped;
    engine.setTextGenerationResultCallback([&](const TextGenerationResult& result) {
        recorder.record(result);
        const std::size_t n = recorder.results().size();
        if (c.stopAfter > 0 && n == c.stopAfter) {
            EXPECT_TRUE(stopped.wait());
        }
        c.callback(engine, result, n);
    });
    std::thread stopper([&] {
        if (c.stopAfter > 0 && recorder.waitFor(c.stopAfter)) engine.stopChat();
        stopped.open();
    });
    const auto result = engine.chat(kHello);
    stopper.join();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 1000);
    EXPECT_EQ(result.error.message, c.message);
    EXPECT_EQ(recorder.results().size(), c.delivered);
    expectNextChatWorks();
}

ZEFA_TABLE(Hosts, ThrowingCallbacks,
           testing::Values(
               ThrowCase{"StdException",
                         [](ZefaNlpEnginePrivate&, const TextGenerationResult&, std::size_t n) {
                             if (n == 2) throw std::runtime_error("host bug");
                         },
                         2, "The result callback threw an exception: host bug"},
               ThrowCase{"OnTheEndMarker",
                         [](ZefaNlpEnginePrivate&, const TextGenerationResult& r, std::size_t) {
                             if (r.text == kEndMarker) throw std::runtime_error("at the end");
                         },
                         4, "The result callback threw an exception: at the end", 3}));

// A stopped request that cannot end yet (its host callback still runs) holds the engine; a new
// chat waits for it. A stop now reaches the waiting chat: it ends at once, without sending.
TEST_F(Stopping, AStopReachesARequestWaitingForAnEarlierOne) {
    std::atomic<int> served{0};
    service.setResponder([&served](const RecordedRequest&) {
        return ++served == 1 ? silentReply() : tokens(200, milliseconds(20));
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
    EXPECT_EQ(results[1].text, kEndMarker);
    EXPECT_EQ(results[2].text, kEndMarker);
    service.setResponder(nullptr);
    expectNextChatWorks();
}

// Another thread's refused call, made while a chat streams, changes nothing of that chat: not
// its result, not its fragments, not the end marker of its stop.
TEST_F(Stopping, ARefusedCallNeverLeaksIntoARunningRequest) {
    for (const bool stop : {false, true}) {
        service.setReply(tokens(5, milliseconds(2)));
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
    service.setReply(streamReply({"a", "b"}));
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
    service.setReply(tokens(12, milliseconds(1)));
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
            if (result.text != kEndMarker && ++fragmentsSeen == 3) {
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
            if (result.text == kEndMarker) {
                ++markers;
                nextId = 0;  // only a new request may follow
                continue;
            }
            const int id = parse(result.text)["sentence_id"].asInt();
            if (id == 0 && nextId != 0 && requests == 2) nextId = 0;  // the second request
            EXPECT_EQ(id, nextId) << "round " << round;
            nextId = id + 1;
        }
        EXPECT_LE(markers, requests) << "round " << round;
        if (HasFailure()) break;
    }
}

// ---------------------------------------------------------------- the host's own connections

// The host's own traffic beside the engines: threads that each open a loopback TCP connection to
// a listener of their own, pass a few bytes each way and close it, over and over, so that every
// descriptor number they let go is taken again at once. An exchange that fails in any way
// (refused, reset, cut short) is a host connection broken under the host.
class HostTraffic {
public:
    // raisingSigpipe: write as most code does, so that a connection shut down under the host
    // raises SIGPIPE; otherwise with MSG_NOSIGNAL, so that each breakage is counted.
    HostTraffic(int threads, bool raisingSigpipe) {
        for (int i = 0; i < threads; ++i) {
            int port = 0;
            const int listener = listenOnLoopback(1, port);
            setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &kReadLimit, sizeof kReadLimit);
            listeners_.push_back(listener);
            threads_.emplace_back([this, listener, port, raisingSigpipe] {
                while (!stopping_) {
                    ++(exchangeOnce(listener, port, raisingSigpipe) ? exchanges_ : broken_);
                }
            });
        }
    }

    ~HostTraffic() {
        stopping_ = true;
        for (std::thread& thread : threads_) thread.join();
        for (const int listener : listeners_) close(listener);
    }

    HostTraffic(const HostTraffic&) = delete;
    HostTraffic& operator=(const HostTraffic&) = delete;

    std::size_t exchanges() const { return exchanges_; }
    std::size_t broken() const { return broken_; }

private:
    static constexpr char kMessage[] = "host's own bytes";
    static constexpr std::size_t kSize = sizeof kMessage;
    static constexpr int kRoundTrips = 2;
    // Bounds every wait: nothing here waits for ever.
    static constexpr timeval kReadLimit{5, 0};

    // Writes the message at one end and reads it at the other.
    static bool pass(int from, int to, bool raisingSigpipe) {
        const ssize_t sent = raisingSigpipe ? write(from, kMessage, kSize)
                                            : send(from, kMessage, kSize, MSG_NOSIGNAL);
        if (sent != static_cast<ssize_t>(kSize)) return false;
        setsockopt(to, SOL_SOCKET, SO_RCVTIMEO, &kReadLimit, sizeof kReadLimit);
        char received[kSize];
        for (std::size_t got = 0; got < kSize;) {
            const ssize_t n = read(to, received + got, kSize - got);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return std::memcmp(received, kMessage, kSize) == 0;
    }

    // Round trips on one connection. A failed one does not end the exchange: like most code, the
    // host writes its next message without looking at the connection first.
    static bool exchangeOnce(int listener, int port, bool raisingSigpipe) {
        const int client = connectToLoopback(port);
        if (client < 0) return false;
        const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        bool whole = server >= 0;
        for (int trip = 0; trip < kRoundTrips && server >= 0; ++trip) {
            whole = pass(client, server, raisingSigpipe) && pass(server, client, raisingSigpipe) &&
                    whole;
        }
        // A reset instead of a close: no TIME_WAIT, so that a tight loop never runs out of ports.
        const linger reset{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(client);
        if (server >= 0) close(server);
        return whole;
    }

    std::vector<int> listeners_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> exchanges_{0};
    std::atomic<std::size_t> broken_{0};
    std::vector<std::thread> threads_;
};

struct HostOutcome {
    std::size_t exchanges = 0;
    std::size_t brokenConnections = 0;
    std::size_t failedChats = 0;
    std::string firstFailure;

    bool sound() const { return brokenConnections == 0 && failedChats == 0; }
};

constexpr int kHostThreads = 2;
constexpr int kStoppedChatsPerEngine = 300;
constexpr unsigned kLatestStopMicroseconds = 300;

// Engines, each with a service of its own, that chat and are stopped by another thread in their
// first few hundred microseconds (while the connection is set up, the request sent, the reply
// begun), while the host's threads reuse descriptor numbers. A stopped chat succeeds.
class StoppedChats {
public:
    explicit StoppedChats(int engines) {
        for (int i = 0; i < engines; ++i) {
            engines_.push_back(std::make_unique<ServedEngine>());
            engines_.back()->service.setReply(tokens(5, milliseconds(2)));
        }
    }

    HostOutcome runBesideHostTraffic(bool raisingSigpipe) {
        HostOutcome outcome;
        HostTraffic host(kHostThreads, raisingSigpipe);
        std::vector<std::thread> drivers;
        for (std::size_t i = 0; i < engines_.size(); ++i) {
            drivers.emplace_back([this, i, &outcome] {
                chatAndStop(engines_[i]->engine, static_cast<unsigned>(i), outcome);
            });
        }
        for (std::thread& driver : drivers) driver.join();
        outcome.exchanges = host.exchanges();
        outcome.brokenConnections = host.broken();
        return outcome;
    }

private:
    void chatAndStop(ZefaNlpEnginePrivate& engine, unsigned seed, HostOutcome& outcome) {
        std::mt19937 random(seed);
        for (int round = 0; round < kStoppedChatsPerEngine; ++round) {
            const auto delay = std::chrono::microseconds(random() % (kLatestStopMicroseconds + 1));
            std::thread stopper([&engine, delay] {
                std::this_thread::sleep_for(delay);
                engine.stopChat();
            });
            const auto result = engine.chat(kHello);
            stopper.join();
            if (result.success) continue;
            const std::lock_guard<std::mutex> lock(outcomeMutex_);
            if (outcome.failedChats++ == 0) outcome.firstFailure = result.error.message;
        }
    }

    std::vector<std::unique_ptr<ServedEngine>> engines_;
    std::mutex outcomeMutex_;
};

std::string describe(const HostOutcome& outcome) {
    return std::to_string(outcome.brokenConnections) + " of " +
           std::to_string(outcome.brokenConnections + outcome.exchanges) +
           " host connections broken, " + std::to_string(outcome.failedChats) +
           " chats failed (first: \"" + outcome.firstFailure + "\")";
}

// The host's own SIGPIPE handler, for the lifetime of the object.
class HostSigpipeHandler {
public:
    HostSigpipeHandler() { previous_ = std::signal(SIGPIPE, &handle); }
    ~HostSigpipeHandler() { std::signal(SIGPIPE, previous_); }
    HostSigpipeHandler(const HostSigpipeHandler&) = delete;
    HostSigpipeHandler& operator=(const HostSigpipeHandler&) = delete;

    // The handler is still the host's.
    static bool inPlace() {
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        return current.sa_handler == &handle;
    }

private:
    static void handle(int) {}

    void (*previous_)(int) = nullptr;
};

// A stop acts on the engine's own transfer only, never on a descriptor number that the host may
// hold by then: the host's connections stay whole, and one engine's stop never ends another
// engine's chat. Nor do the engines change how the process handles SIGPIPE, which is the host's
// to decide.
TEST(HostConnections, SurviveChatsStoppedWhileConnecting) {
    StoppedChats chats(4);
    const HostSigpipeHandler handler;  // installed after the local services ignored SIGPIPE
    const HostOutcome outcome = chats.runBesideHostTraffic(false);
    EXPECT_TRUE(outcome.sound()) << describe(outcome);
    EXPECT_GT(outcome.exchanges, 0u);
    EXPECT_TRUE(HostSigpipeHandler::inPlace()) << "the chats replaced the host's SIGPIPE handler";
}

// The same in a host that leaves SIGPIPE at its default, in a process of its own: a host
// connection shut down under it kills it when it next writes there.
TEST(HostConnections, SurviveWithSigpipeAtItsDefault) {
    // The child starts afresh, without threads; an emulator cannot start the program again, and
    // this test's process has no threads of its own yet when it forks.
    GTEST_FLAG_SET(death_test_style, *ZEFA_TEST_EMULATOR == '\0' ? "threadsafe" : "fast");
    EXPECT_EXIT(
        {
            StoppedChats chats(1);
            std::signal(SIGPIPE, SIG_DFL);  // the local service ignored it when it started
            const HostOutcome outcome = chats.runBesideHostTraffic(true);
            std::fprintf(stderr, "%s\n", describe(outcome).c_str());
            std::_Exit(outcome.sound() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zefa_test
