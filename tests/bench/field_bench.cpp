// SPDX-License-Identifier: MIT
// Time to the first fragment over the path a real chat takes: TLS to nginx (HTTP/2 by ALPN),
// nginx passing on unbuffered to the local service, reached through a relay (a tunnel named by
// https_proxy) that delays each direction by half a round trip and sets the tunnel up in one. The
// physical minimum is three round trips for the first chat (TCP, TLS 1.3, request) and one for a
// later chat on a kept connection. Also the time from stopChat to chat returning on this path,
// and the first fragment of the chat after a stop.
//
//   field_bench [ROUND_TRIP_MS [TRIALS [http2|http1]]]
//                                            default 30 ms, 10 trials of one first and five
//                                            later chats, then two stopped chats (one
//                                            streaming, one silent) each followed by a chat,
//                                            HTTP/2
//
// Needs root: the test CA is trusted in a private mount namespace. Prints "name=value" lines.
#include "model_service.h"
#include "network_support.h"
#include "zefa_nlp_engine_p.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ai_engine::gen_ai::nlp::TextGenerationResult;

constexpr int kLaterChatsPerTrial = 5;
constexpr const char* kChat = R"({"messages": [{"role": "user", "content": "benchmark"}]})";
// Answered with a long stream (an event every 10 ms), or with one event and then silence.
constexpr const char* kStreamingChat =
    R"({"messages": [{"role": "user", "content": "streaming"}]})";
constexpr const char* kSilentChat = R"({"messages": [{"role": "user", "content": "silent"}]})";
constexpr const char* kConfig = R"({"apiKey": "sk-bench"})";

zefa_test::ScriptedReply replyTo(const zefa_test::RecordedRequest& request) {
    if (request.body.find("streaming") != std::string::npos) {
        zefa_test::ScriptedReply reply{200, "text/event-stream", zefa_test::realisticStream(2000)};
        reply.pause = std::chrono::milliseconds(10);
        return reply;
    }
    if (request.body.find("silent") != std::string::npos) {
        return zefa_test::silentAfterFirstEvent(std::chrono::seconds(30));
    }
    return zefa_test::ScriptedReply{200, "text/event-stream", zefa_test::realisticStream(10)};
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "field_bench: %s\n", what.c_str());
    std::exit(1);
}

// Milliseconds from the call of chat to the first fragment.
double firstFragmentMs(ZefaNlpEnginePrivate& engine) {
    Clock::time_point first;
    bool seen = false;
    engine.setTextGenerationResultCallback([&](const TextGenerationResult&) {
        if (!seen) first = Clock::now();
        seen = true;
    });
    const auto start = Clock::now();
    const auto result = engine.chat(kChat);
    if (!result.success || !seen) fail("chat failed: " + result.error.message);
    return std::chrono::duration<double, std::milli>(first - start).count();
}

// Milliseconds from stopChat, called on another thread once the first fragment arrived, to chat
// returning.
double stopMs(ZefaNlpEnginePrivate& engine, const char* chat) {
    std::mutex mutex;
    std::condition_variable arrived;
    bool seen = false;
    engine.setTextGenerationResultCallback([&](const TextGenerationResult&) {
        const std::lock_guard<std::mutex> lock(mutex);
        seen = true;
        arrived.notify_all();
    });
    std::atomic<Clock::time_point> stoppedAt{Clock::time_point()};
    std::thread stopper([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, std::chrono::seconds(10), [&] { return seen; })) return;
        lock.unlock();
        stoppedAt = Clock::now();
        engine.stopChat();
    });
    const auto result = engine.chat(chat);
    const auto returnedAt = Clock::now();
    stopper.join();
    if (!result.success || stoppedAt.load() == Clock::time_point()) {
        fail("stopped chat failed: " + result.error.message);
    }
    return std::chrono::duration<double, std::milli>(returnedAt - stoppedAt.load()).count();
}

void printSummary(const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("%s_min_ms=%.2f\n%s_median_ms=%.2f\n%s_max_ms=%.2f\n", name, values.front(), name,
                values[values.size() / 2], name, values.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTripMs = argc > 1 ? std::atoi(argv[1]) : 30;
    const int trials = argc > 2 ? std::atoi(argv[2]) : 10;
    const bool http2 = argc <= 3 || std::string(argv[3]) != "http1";
    // First, on this thread, before any other starts.
    const zefa_test::TrustedCa& trusted = zefa_test::trustedTestCa();
    if (!trusted.problem.empty()) {
        std::fprintf(stderr, "field_bench: %s\n", trusted.problem.c_str());
        return 77;
    }
    const zefa_test::ScratchDirectory scratch("field-bench");
    zefa_test::ModelService service;
    service.setResponder(replyTo);
    const zefa_test::Gateway gateway(trusted.ca, service.port(), scratch.path(), http2);
    const zefa_test::LatencyRelay relay(gateway.port(), std::chrono::milliseconds(roundTripMs));

    // nginx, the service and this process warm, without the relay.
    {
        ZefaNlpEnginePrivate warm(gateway.endpointUrl());
        warm.setConfig(kConfig);
        (void)warm.init();
        (void)firstFragmentMs(warm);
    }
    // From here on libcurl reaches nginx through the relay's tunnel.
    for (const char* name : {"no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY", "HTTPS_PROXY"}) {
        unsetenv(name);
    }
    setenv("https_proxy", relay.proxyUrl().c_str(), 1);
    std::vector<double> first;
    std::vector<double> later;
    std::vector<double> stopStreaming;
    std::vector<double> stopSilent;
    std::vector<double> afterStop;
    for (int trial = 0; trial < trials; ++trial) {
        ZefaNlpEnginePrivate engine(gateway.endpointUrl());  // a new engine: a new connection
        engine.setConfig(kConfig);
        (void)engine.init();
        first.push_back(firstFragmentMs(engine));
        for (int i = 0; i < kLaterChatsPerTrial; ++i) later.push_back(firstFragmentMs(engine));
        stopStreaming.push_back(stopMs(engine, kStreamingChat));
        afterStop.push_back(firstFragmentMs(engine));
        stopSilent.push_back(stopMs(engine, kSilentChat));
        afterStop.push_back(firstFragmentMs(engine));
    }
    std::printf("round_trip_ms=%d\nprotocol=%s\n", roundTripMs, http2 ? "HTTP/2" : "HTTP/1.1");
    printSummary("first_chat", first);
    printSummary("later_chat", later);
    printSummary("stop_streaming", stopStreaming);
    printSummary("stop_silent", stopSilent);
    printSummary("chat_after_stop", afterStop);
    std::printf("relay_connections=%zu\n", relay.connectionsAccepted());
    return 0;
}
