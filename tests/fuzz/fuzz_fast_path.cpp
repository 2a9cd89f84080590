// SPDX-License-Identifier: MIT
// Differential: on a payload repaired as the engine repairs it, whenever the fast reader accepts
// it, the JSON library accepts it too, sees no "error" member in it, and the fast fragment text
// is byte for byte the library's. The repair leaves well-formed UTF-8, which it keeps as it is.
#include "fragment.h"
#include "fuzz_check.h"
#include "utf8.h"
#include "zefa_nlp_util.h"

#include <json/json.h>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string payload(reinterpret_cast<const char*>(data), size);
    zefa_nlp_util::repairUtf8(payload);
    std::string again = payload;
    zefa_nlp_util::repairUtf8(again);
    FUZZ_CHECK(again == payload);
    zefa_nlp_fragment::PlainChunk chunk;
    if (!zefa_nlp_fragment::readPlainChunk(payload, chunk)) return 0;

    Json::Value value;
    FUZZ_CHECK(zefa_nlp_util::parseJson(payload, value));
    FUZZ_CHECK(!zefa_nlp_util::hasMember(value, "error"));
    const int sentenceId = static_cast<int>(size % 1000);
    std::string fast;
    zefa_nlp_fragment::writeFragment(chunk, sentenceId, fast);
    FUZZ_CHECK(fast == zefa_nlp_fragment::fragmentJson(value, sentenceId).toStyledString());
    return 0;
}
