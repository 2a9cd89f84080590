// SPDX-License-Identifier: MIT
// ZefaNlpEngine: the text-generation engine this library exports to the host framework.
//
// The host constructs one engine, configures it (setConfig with {"apiKey": "..."}, a result
// callback, optionally setCurrentModel), calls init, then chat or generateContent any number of
// times, one at a time. stopChat or stopGenerateContent may be called from another thread while
// a request runs. Delete the engine only once no request runs on it.
#pragma once

#include "ai_engine/abstract_text_generation_engine.h"
#include "zefa_nlp_engine_export.h"

#include <memory>
#include <string>

class ZefaNlpEnginePrivate;

class ZEFA_NLP_ENGINE_EXPORT ZefaNlpEngine final
    : public ai_engine::gen_ai::nlp::AbstractTextGenerationEngine {
public:
    ZefaNlpEngine();
    ~ZefaNlpEngine() override;

    ZefaNlpEngine(const ZefaNlpEngine&) = delete;
    ZefaNlpEngine& operator=(const ZefaNlpEngine&) = delete;

    // Identity: "zefa", a cloud engine, neither built in nor custom-model.
    std::string engineName() const override;
    bool isCloud() const override;
    bool isBuiltInEngine() const override;
    bool isCustomModelEngine() const override;
    // The built-in model catalog as a JSON text.
    std::string modelInfo() const override;
    // Switches to a catalog model (matched on its "model" identifier); false if there is none.
    bool setCurrentModel(const std::string& model) override;
    std::string currentModel() const override;
    std::string currentModelName() const override;
    // Takes the API key from a JSON object {"apiKey": "..."}.
    void setConfig(const std::string& config) override;

    void setTextGenerationResultCallback(
        ai_engine::gen_ai::nlp::TextGenerationResultCallback callback) override;
    // Writes the current model and the fixed request switches into the request body.
    ai_engine::result::AiEngineBaseResult init() override;
    // Stops a running chat; does not wait for it to end.
    ai_engine::result::AiEngineBaseResult destroy() override;
    // Streams the answer to {"prompt": "..."} into the result callback.
    ai_engine::result::AiEngineBaseResult generateContent(const std::string& input) override;
    // Streams the answer to {"messages": [{"role": ..., "content": ...}, ...]}.
    ai_engine::result::AiEngineBaseResult chat(const std::string& input) override;
    void stopGenerateContent() override;
    void stopChat() override;

private:
    const std::unique_ptr<ZefaNlpEnginePrivate> impl_;
};
