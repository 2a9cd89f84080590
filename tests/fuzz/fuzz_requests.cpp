// SPDX-License-Identifier: MIT
// chat and generateContent input of any shape: refused with code 14, or sent (to a port where
// nothing listens, so it fails with code 4); never thrown, never anything else. Also setConfig:
// a key is taken only when it is a string without control characters.
// Run with -close_fd_mask=2: every sent request prints a "net error" line.
#include "engine_inspector.h"
#include "fuzz_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZefaNlpEnginePrivate engine("http://127.0.0.1:1/compatible-mode/v1/chat/completions");
    static const bool ready = [] {
        engine.setTextGenerationResultCallback([](const auto&) {});
        (void)engine.init();
        return true;
    }();
    (void)ready;
    if (size == 0) return 0;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0: {
            const auto result = engine.chat(input);
            FUZZ_CHECK(!result.success && (result.error.code == 14 || result.error.code == 4));
            break;
        }
        case 1: {
            const auto result = engine.generateContent(input);
            FUZZ_CHECK(!result.success && (result.error.code == 14 || result.error.code == 4));
            break;
        }
        default: {
            engine.setConfig(input);
            for (const char c : ZefaNlpEngineInspector::apiKey(engine)) {
                FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
            }
            break;
        }
    }
    FUZZ_CHECK(ZefaNlpEngineInspector::waitingRequests(engine) == 0);
    return 0;
}
