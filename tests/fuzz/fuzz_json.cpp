// SPDX-License-Identifier: MIT
// The JSON helpers on arbitrary text: reading never throws, masking leaves no scalar value
// behind and shows of text that is no object only its length, the surrogate repair carries at most
// one escape and leaves readable text.
#include "fuzz_check.h"
#include "split_surrogates.h"
#include "zefa_nlp_util.h"

#include <json/json.h>

#include <cstdint>
#include <string>

namespace {

void expectMasked(const Json::Value& value) {
    if (value.isArray() || value.isObject()) {
        for (const Json::Value& element : value) expectMasked(element);
    } else {
        FUZZ_CHECK(value.isString() && value.asString() == "***");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Json::Value value = zefa_nlp_util::formatJsonFromString(text);

    const std::string masked = zefa_nlp_util::maskedJson(value);
    Json::Value reread;
    FUZZ_CHECK(zefa_fuzz::parseStrict(masked, reread));
    expectMasked(reread);
    if (!value.isObject()) {
        FUZZ_CHECK(zefa_nlp_util::maskedConfig(text) ==
                   "(not a JSON object, " + std::to_string(size) + " bytes)");
    }

    std::string payload = text;
    std::string carried = size > 0 && data[0] % 2 == 0 ? "\\ud83d" : "";
    zefa_nlp_util::repairSplitSurrogates(payload, carried);
    FUZZ_CHECK(carried.empty() || carried.size() == 6);
    (void)zefa_nlp_util::formatJsonFromString(payload);
    return 0;
}
