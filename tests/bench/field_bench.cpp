// SPDX-License-Identifier: MIT
// Time to the first fragment over the path a real chat takes: TLS to nginx (HTTP/2 by ALPN),
// nginx passing on unbuffered to the local service, reached through a relay (a tunnel named by
// https_proxy) that delays each direction by half a round trip and sets the tunnel up in one. The
// physical minimum is three round trips for the first chat (TCP, TLS 1.3, request) and one for a
// later chat on the kept connection.
//
//   field_bench [ROUND_TRIP_MS [TRIALS [http2|http1]]]
//                                            default 30 ms, 10 trials of one first and five
//                                            later chats each, HTTP/2
//
// Needs root: the test CA is trusted in a private mount namespace. Prints "name=value" lines.
#include "model_service.h"
#include "network_support.h"
#include "zefa_nlp_engine_p.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ai_engine::gen_ai::nlp::TextGenerationResult;

constexpr int kLaterChatsPerTrial = 5;
constexpr const char* kChat = R"({"messages": [{"role": "user", "content": "benchmark"}]})";
constexpr const char* kConfig = R"({"apiKey": "sk-bench"})";

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
    if (!result.success || !seen) {
        std::fprintf(stderr, "field_bench: chat failed: %s\n", result.error.message.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(first - start).count();
}

void printSummary(const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("%s_min_ms=%.1f\n%s_median_ms=%.1f\n%s_max_ms=%.1f\n", name, values.front(), name,
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
    service.setReply(
        zefa_test::ScriptedReply{200, "text/event-stream", zefa_test::realisticStream(10)});
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
    for (int trial = 0; trial < trials; ++trial) {
        ZefaNlpEnginePrivate engine(gateway.endpointUrl());  // a new engine: a new connection
        engine.setConfig(kConfig);
        (void)engine.init();
        first.push_back(firstFragmentMs(engine));
        for (int i = 0; i < kLaterChatsPerTrial; ++i) later.push_back(firstFragmentMs(engine));
    }
    std::printf("round_trip_ms=%d\nprotocol=%s\n", roundTripMs, http2 ? "HTTP/2" : "HTTP/1.1");
    printSummary("first_chat", first);
    printSummary("later_chat", later);
    std::printf("relay_connections=%zu\n", relay.connectionsAccepted());
    return 0;
}
