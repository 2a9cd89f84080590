// SPDX-License-Identifier: MIT
// A reply fed an arbitrary body in arbitrary chunks, its fragments handed to the host through
// the request slot, with stops between the chunks.
// Input: repeated [length byte][flag byte][chunk bytes]; flag 0xFF raises a stop first.
// Checks: fragment numbers run from 0 without gaps; every fragment text is a JSON object of
// exactly "is_end" (bool), "result" and "sentence_id" (int); at most one end marker and nothing
// after it; the unfinished event never passes its limit.
#include "fuzz_check.h"
#include "reply.h"
#include "request_slot.h"

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using ai_engine::gen_ai::nlp::TextGenerationResult;

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";
constexpr const char* kModel = "model";
constexpr long kStatus = 200;

struct Observed {
    int nextId = 0;
    int endMarkers = 0;
};

void check(const TextGenerationResult& result, Observed& seen) {
    FUZZ_CHECK(result.success && result.error.code == -1);
    if (result.text == kEndMarker) {
        FUZZ_CHECK(++seen.endMarkers == 1);
        return;
    }
    FUZZ_CHECK(seen.endMarkers == 0);
    Json::Value fragment;
    FUZZ_CHECK(zefa_fuzz::parseStrict(result.text, fragment));
    FUZZ_CHECK(fragment.isObject() && fragment.size() == 3);
    FUZZ_CHECK(fragment.isMember("result") && fragment["is_end"].isBool());
    FUZZ_CHECK(fragment["sentence_id"].isInt() && fragment["sentence_id"].asInt() == seen.nextId);
    ++seen.nextId;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Observed seen;
    RequestSlot slot(Reply::successResult(kModel, kEndMarker), [] {});
    RequestSlot::Ticket ticket(slot, [&seen](const TextGenerationResult& r) { check(r, seen); });
    FUZZ_CHECK(slot.claim(ticket, std::chrono::seconds(0)) == RequestSlot::Claim::Granted);
    Reply reply(kModel, [&slot](const TextGenerationResult& r) { return slot.deliver(r); });

    size_t at = 0;
    while (at + 2 <= size) {
        const size_t length = data[at];
        const bool stop = data[at + 1] == 0xFF;
        at += 2;
        const std::string chunk(reinterpret_cast<const char*>(data + at),
                                std::min(length, size - at));
        at += chunk.size();
        if (stop) slot.stop(RequestSlot::StopKind::WithEndMarker);
        if (slot.stopRequested()) break;  // the engine ends a stopped request's transfer
        const bool accepted = reply.read(chunk, kStatus);
        FUZZ_CHECK(reply.heldBytes() <= Reply::kMaxPendingBytes);
        if (!accepted) break;  // the transfer ends here
    }
    if (!slot.stopRequested()) reply.finish(cpr::Error());
    if (!slot.endStreaming()) (void)reply.outcome(kStatus, cpr::Error());
    FUZZ_CHECK(slot.waiting() == 0);
    return 0;
}
