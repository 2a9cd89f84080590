// SPDX-License-Identifier: MIT
// The smallest host: constructs the engine from an installed tree and asks who it is.
#include "zefa_nlp_engine.h"
#include "zefa_nlp_server_error.h"

#include <cstdio>

int main() {
    ZefaNlpEngine engine;
    ai_engine::gen_ai::nlp::AbstractTextGenerationEngine& host = engine;
    const bool ok = host.engineName() == "zefa" && host.currentModel() == "zefa-plus" &&
                    zefa_nlp_server_error::errorCode2nlpResult(429) == ai_engine::TooManyRequests;
    std::printf("consumer: %s %s\n", host.engineName().c_str(), ok ? "ok" : "WRONG");
    return ok ? 0 : 1;
}
