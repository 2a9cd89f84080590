// SPDX-License-Identifier: MIT
// The exported facade: forwards every operation to the private implementation it owns.
#include "zefa_nlp_engine.h"

#include "zefa_nlp_engine_p.h"

using ai_engine::result::AiEngineBaseResult;

ZefaNlpEngine::ZefaNlpEngine() : impl_(std::make_unique<ZefaNlpEnginePrivate>()) {}

ZefaNlpEngine::~ZefaNlpEngine() = default;

std::string ZefaNlpEngine::engineName() const { return impl_->engineName(); }

bool ZefaNlpEngine::isCloud() const { return impl_->isCloud(); }

bool ZefaNlpEngine::isBuiltInEngine() const { return impl_->isBuiltInEngine(); }

bool ZefaNlpEngine::isCustomModelEngine() const { return impl_->isCustomModelEngine(); }

std::string ZefaNlpEngine::modelInfo() const { return impl_->modelInfo(); }

bool ZefaNlpEngine::setCurrentModel(const std::string& model) {
    return impl_->setCurrentModel(model);
}

std::string ZefaNlpEngine::currentModel() const { return impl_->currentModel(); }

std::string ZefaNlpEngine::currentModelName() const { return impl_->currentModelName(); }

void ZefaNlpEngine::setConfig(const std::string& config) { impl_->setConfig(config); }

void ZefaNlpEngine::setTextGenerationResultCallback(
    ai_engine::gen_ai::nlp::TextGenerationResultCallback callback) {
    impl_->setTextGenerationResultCallback(callback);
}

AiEngineBaseResult ZefaNlpEngine::init() { return impl_->init(); }

AiEngineBaseResult ZefaNlpEngine::destroy() { return impl_->destroy(); }

AiEngineBaseResult ZefaNlpEngine::generateContent(const std::string& input) {
    return impl_->generateContent(input);
}

AiEngineBaseResult ZefaNlpEngine::chat(const std::string& input) { return impl_->chat(input); }

void ZefaNlpEngine::stopGenerateContent() { impl_->stopGenerateContent(); }

void ZefaNlpEngine::stopChat() { impl_->stopChat(); }
