// SPDX-License-Identifier: MIT
// The write callback fed an arbitrary reply in arbitrary chunks, with stops between them.
// Input: repeated [length byte][flag byte][chunk bytes]; flag 0xFF raises a stop first.
// Checks: fragment numbers run from 0 without gaps; every fragment text is a JSON object of
// exactly "is_end" (bool), "result" and "sentence_id" (int); at most one end marker and nothing
// after it; the pending buffer never passes its limit.
#include "engine_inspector.h"
#include "fuzz_check.h"

#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";

struct Observed {
    int nextId = 0;
    int endMarkers = 0;
};

void check(const ai_engine::gen_ai::nlp::TextGenerationResult& result, Observed& seen) {
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
    static ZefaNlpEnginePrivate engine("http://127.0.0.1:1/unused");
    Observed seen;
    engine.setTextGenerationResultCallback(
        [&seen](const ai_engine::gen_ai::nlp::TextGenerationResult& r) { check(r, seen); });
    ZefaNlpEngineInspector::Reply reply(engine);
    FUZZ_CHECK(reply.granted());

    size_t at = 0;
    while (at + 2 <= size) {
        const size_t length = data[at];
        const bool stop = data[at + 1] == 0xFF;
        at += 2;
        const std::string chunk(reinterpret_cast<const char*>(data + at),
                                std::min(length, size - at));
        at += chunk.size();
        if (stop) engine.stopChat();
        const bool accepted = reply.feed(chunk);
        FUZZ_CHECK(!(seen.endMarkers > 0 && accepted));
        FUZZ_CHECK(ZefaNlpEngineInspector::heldReplyBytes(engine) <=
                   ZefaNlpEnginePrivate::kMaxPendingBytes);
        if (!accepted) break;  // the transfer ends here
    }
    cpr::Response response;
    response.status_code = 200;
    (void)reply.finish(response);
    FUZZ_CHECK(ZefaNlpEngineInspector::waitingRequests(engine) == 0);
    return 0;
}
