// SPDX-License-Identifier: MIT
// Cost of the engine's path from reply bytes to host callback, per event, at several chunkings.
// Run: build/<preset>/tests/parser_benchmark   (not part of the test suite)
#include "engine_inspector.h"
#include "model_service.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kEvents = 10000;

// A realistic reply: chat-completion chunks of about 200 bytes whose deltas hold 1 to 8
// characters of mixed ASCII and Chinese text.
std::string realisticReply(int events) {
    static const std::vector<std::string> alphabet = {"a",  "e",  "t",  " ", "o",  "n", "的", "是",
                                                      "了", "我", "你", ",", "。", "s", "r"};
    std::mt19937 random(42);
    std::string reply = zefa_test::roleEvent();
    for (int i = 0; i < events; ++i) {
        std::string delta;
        const int characters = 1 + static_cast<int>(random() % 8);
        for (int c = 0; c < characters; ++c) delta += alphabet[random() % alphabet.size()];
        std::string event = zefa_test::contentEvent(delta);
        // Members a real service adds bring the event to about 200 bytes.
        event.replace(event.find('{'), 1,
                      R"({"created":1733600000,"system_fingerprint":null,"usage":null,)");
        reply += event;
    }
    return reply + zefa_test::stopEvent() + zefa_test::doneEvent();
}

std::vector<std::string> cut(const std::string& reply, std::size_t chunkSize) {
    std::vector<std::string> chunks;
    if (chunkSize == 0) {  // one event per chunk
        for (std::size_t pos = 0; pos < reply.size();) {
            const std::size_t end = reply.find("\n\n", pos) + 2;
            chunks.push_back(reply.substr(pos, end - pos));
            pos = end;
        }
        return chunks;
    }
    for (std::size_t pos = 0; pos < reply.size(); pos += chunkSize) {
        chunks.push_back(reply.substr(pos, chunkSize));
    }
    return chunks;
}

// range(0): bytes per chunk, 0 for one event per chunk.
void BM_ReplyToHostCallback(benchmark::State& state) {
    const std::string reply = realisticReply(kEvents);
    const std::vector<std::string> chunks = cut(reply, static_cast<std::size_t>(state.range(0)));
    ZefaNlpEnginePrivate engine("http://127.0.0.1:9/unused");
    std::size_t delivered = 0;
    engine.setTextGenerationResultCallback(
        [&delivered](const ai_engine::gen_ai::nlp::TextGenerationResult& result) {
            benchmark::DoNotOptimize(result.text.data());
            ++delivered;
        });
    for (auto _ : state) {
        if (!ZefaNlpEngineInspector::beginRequest(engine)) state.SkipWithError("busy");
        for (const std::string& chunk : chunks) {
            writeChatData(chunk, reinterpret_cast<intptr_t>(&engine));
        }
        (void)ZefaNlpEngineInspector::finishRequest(engine);
    }
    state.counters["ns_per_event"] = benchmark::Counter(
        static_cast<double>(kEvents + 2) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["bytes_per_event"] = static_cast<double>(reply.size()) / (kEvents + 2);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
    if (delivered != static_cast<std::size_t>(state.iterations()) * (kEvents + 2)) {
        state.SkipWithError("not every event reached the callback");
    }
}

BENCHMARK(BM_ReplyToHostCallback)
    ->ArgName("chunk_bytes")
    ->Arg(0)
    ->Arg(1)
    ->Arg(7)
    ->Arg(16 * 1024)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
