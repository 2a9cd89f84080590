// SPDX-License-Identifier: MIT
// Cost of the engine's path from reply bytes to host callback, per event, at several chunkings.
// Run: build/<preset>/tests/parser_benchmark   (not part of the test suite)
#include "model_service.h"
#include "reply.h"
#include "request_slot.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ai_engine::gen_ai::nlp::TextGenerationResult;

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";
constexpr const char* kModel = "model";
constexpr long kStatus = 200;

std::string realisticReply(int events) {
    std::string reply;
    for (const std::string& piece : zefa_test::realisticStream(events)) reply += piece;
    return reply;
}

// Views into reply, so that the chunks themselves cost no memory traffic.
std::vector<std::string_view> cut(const std::string& reply, std::size_t chunkSize) {
    std::vector<std::string_view> chunks;
    if (chunkSize == 0) {  // one event per chunk
        for (std::size_t pos = 0; pos < reply.size();) {
            const std::size_t end = reply.find("\n\n", pos) + 2;
            chunks.push_back(std::string_view(reply).substr(pos, end - pos));
            pos = end;
        }
        return chunks;
    }
    for (std::size_t pos = 0; pos < reply.size(); pos += chunkSize) {
        chunks.push_back(std::string_view(reply).substr(pos, chunkSize));
    }
    return chunks;
}

// range(0): content events in the reply; range(1): bytes per chunk, 0 for one event per chunk.
void BM_ReplyToHostCallback(benchmark::State& state) {
    const int events = static_cast<int>(state.range(0));
    const std::string reply = realisticReply(events);
    const std::vector<std::string_view> chunks =
        cut(reply, static_cast<std::size_t>(state.range(1)));
    // The engine's path: the reply, and the request slot that hands each fragment to the host.
    RequestSlot slot(Reply::successResult(kModel, kEndMarker), [] {});
    std::size_t delivered = 0;
    const auto callback = [&delivered](const TextGenerationResult& result) {
        benchmark::DoNotOptimize(result.text.data());
        ++delivered;
    };
    for (auto _ : state) {
        RequestSlot::Ticket ticket(slot, callback);
        if (slot.claim(ticket, std::chrono::seconds(0)) != RequestSlot::Claim::Granted) {
            state.SkipWithError("busy");
        }
        Reply request(kModel, [&slot](const TextGenerationResult& r) { return slot.deliver(r); });
        for (const std::string_view& chunk : chunks) (void)request.read(chunk, kStatus);
        request.finish(cpr::Error());
        (void)slot.endStreaming();
        benchmark::DoNotOptimize(request.outcome(kStatus, cpr::Error()));
    }
    state.counters["ns_per_event"] = benchmark::Counter(
        static_cast<double>(events + 2) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["ns_per_byte"] = benchmark::Counter(
        static_cast<double>(reply.size()) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["reply_bytes"] = static_cast<double>(reply.size());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(reply.size()));
    if (delivered !=
        static_cast<std::size_t>(state.iterations()) * static_cast<std::size_t>(events + 2)) {
        state.SkipWithError("not every event reached the callback");
    }
}

// Stream sizes by chunking; 4,545 and 45,454 events make replies of about 1 MB and 10 MB.
BENCHMARK(BM_ReplyToHostCallback)
    ->ArgNames({"events", "chunk_bytes"})
    ->ArgsProduct({{1000, 10000, 100000}, {0, 7, 16 * 1024}})
    ->Args({4545, 1})
    ->Args({45454, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
