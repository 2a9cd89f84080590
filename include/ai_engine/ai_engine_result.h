// SPDX-License-Identifier: MIT
// Result records an engine hands back to the host; plain aggregates built in field order.
#pragma once

#include "ai_engine/engine_error.h"

#include <functional>
#include <string>

namespace ai_engine {
namespace result {

struct AiEngineBaseResult {
    bool success;
    EngineError error;
};

struct AiEngineModelResult : AiEngineBaseResult {
    std::string modelName;
};

}  // namespace result

namespace gen_ai {
namespace nlp {

struct TextGenerationResult : result::AiEngineModelResult {
    std::string text;  // a JSON text describing one piece of generated output
};

// Receives each result by reference; the record lives only until the callback returns.
using TextGenerationResultCallback = std::function<void(const TextGenerationResult&)>;

}  // namespace nlp
}  // namespace gen_ai
}  // namespace ai_engine
