// SPDX-License-Identifier: MIT
// Interface of a text-generation engine, as the host framework drives it. Appends its operations
// to the virtual table of AbstractAiEngine; the order is part of the binary contract.
#pragma once

#include "ai_engine/abstract_ai_engine.h"
#include "ai_engine/ai_engine_result.h"

#include <string>

namespace ai_engine {
namespace gen_ai {
namespace nlp {

class AbstractTextGenerationEngine : public AbstractAiEngine {
public:
    AbstractTextGenerationEngine() = default;
    virtual ~AbstractTextGenerationEngine() {}

    virtual void setTextGenerationResultCallback(TextGenerationResultCallback callback) = 0;
    virtual result::AiEngineBaseResult init() = 0;
    virtual result::AiEngineBaseResult destroy() = 0;
    virtual result::AiEngineBaseResult generateContent(const std::string& input) = 0;
    virtual result::AiEngineBaseResult chat(const std::string& input) = 0;
    virtual void stopGenerateContent() = 0;
    virtual void stopChat() = 0;
};

}  // namespace nlp
}  // namespace gen_ai
}  // namespace ai_engine
