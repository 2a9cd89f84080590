// SPDX-License-Identifier: MIT
#include "zefa_nlp_engine_p.h"

#include "catalog.h"
#include "fragment.h"
#include "zefa_config.h"
#include "zefa_nlp_util.h"

#include <cpr/cpr.h>

#include <algorithm>

using ai_engine::EngineError;
using zefa_nlp_util::findMember;
using zefa_nlp_util::formatJsonFromString;

namespace {

constexpr const char* kChatPath = "/compatible-mode/v1/chat/completions";
constexpr const char* kEndMarkerText = "{\"result\":\"\",\"is_end\":true}";
constexpr const char* kBusyMessage = "An earlier request is still running on this engine";
// How long a new request waits for an earlier one to end.
constexpr std::chrono::seconds kStopWaitLimit{10};

bool hasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return zefa_nlp_util::isControlByte(static_cast<unsigned char>(c));
    });
}

}  // namespace

// ---------------------------------------------------------------- construction and identity

ZefaNlpEnginePrivate::ZefaNlpEnginePrivate(std::string endpointUrl)
    : transfer_(std::move(endpointUrl)),
      slot_(Reply::successResult(currentModelName_, kEndMarkerText), [this] { transfer_.wake(); }),
      writeCallback_(writeChatData, reinterpret_cast<intptr_t>(this)),
      budget_([this] { return transferBudget_(); }) {
    zefa_nlp_fragment::warmUp();
}

ZefaNlpEnginePrivate::~ZefaNlpEnginePrivate() = default;

std::string ZefaNlpEnginePrivate::defaultEndpointUrl() {
    return std::string(ZEFA_SERVICE_BASE_URL) + kChatPath;
}

std::string ZefaNlpEnginePrivate::engineName() const { return "zefa"; }

bool ZefaNlpEnginePrivate::isCloud() const { return true; }

bool ZefaNlpEnginePrivate::isBuiltInEngine() const { return false; }

bool ZefaNlpEnginePrivate::isCustomModelEngine() const { return false; }

std::string ZefaNlpEnginePrivate::modelInfo() const { return zefa_nlp_catalog::text(); }

std::string ZefaNlpEnginePrivate::currentModel() const { return currentModel_; }

std::string ZefaNlpEnginePrivate::currentModelName() const { return currentModelName_; }

// ---------------------------------------------------------------- configuration

bool ZefaNlpEnginePrivate::setCurrentModel(const std::string& model) {
    if (!zefa_nlp_catalog::hasModel(model)) {
        zefa_nlp_util::printDiagnostic("Invalid current model name: ", model);
        return false;
    }
    currentModel_ = model;
    return true;
}

int ZefaNlpEnginePrivate::getMaxTokens(const std::string& model) {
    const int limit = zefa_nlp_catalog::maxTokens(model);
    if (limit != -1) maxTokens_ = limit;
    return limit;
}

void ZefaNlpEnginePrivate::setConfig(const std::string& config) {
    const Json::Value parsed = formatJsonFromString(config);
    const Json::Value* apiKey = findMember(parsed, "apiKey");
    // A key with a control character would be spliced into an HTTP header line.
    if (apiKey != nullptr && apiKey->isString() && !hasControlCharacter(apiKey->asString())) {
        apiKey_ = apiKey->asString();
        return;
    }
    const std::string shown = config.empty() ? std::string() : zefa_nlp_util::maskedConfig(config);
    zefa_nlp_util::printDiagnostic("Invalid config for zefa nlp engine: ", shown);
}

void ZefaNlpEnginePrivate::setTextGenerationResultCallback(TextGenerationResultCallback callback) {
    resultCallback_ = callback;
}

// ---------------------------------------------------------------- request body

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::init() {
    setLastError_(EngineError());
    requestBody_["model"] = currentModel_;
    requestBody_["stream"] = true;
    if (getMaxTokens(currentModel_) != -1) requestBody_["max_tokens"] = maxTokens_;
    requestBody_["enable_search"] = true;
    return {true, EngineError()};
}

void ZefaNlpEnginePrivate::clearContext() {
    if (requestBody_.isMember("messages")) requestBody_["messages"].clear();
}

void ZefaNlpEnginePrivate::addContext_(const std::string& role, const std::string& content) {
    if (role == "system") {
        // The system prompt always stands first; a later one replaces whatever stands there.
        if (content.empty()) return;
        Json::Value& first = requestBody_["messages"][0];
        first["role"] = role;
        first["content"] = content;
        return;
    }
    Json::Value message(Json::objectValue);
    message["role"] = role;
    message["content"] = content;
    requestBody_["messages"].append(std::move(message));
}

void ZefaNlpEnginePrivate::removeLastContext_() {
    if (!requestBody_.isMember("messages")) return;
    Json::Value& messages = requestBody_["messages"];
    const Json::ArrayIndex count = messages.size();
    const auto roleAt = [&messages](Json::ArrayIndex i) { return messages[i]["role"]; };
    if (count >= 1 && roleAt(count - 1) == "user") {
        messages.removeIndex(count - 1, nullptr);
    } else if (count >= 2 && roleAt(count - 1) == "assistant" && roleAt(count - 2) == "user") {
        messages.removeIndex(count - 1, nullptr);
        messages.removeIndex(count - 2, nullptr);
    }
}

// ---------------------------------------------------------------- requests

void ZefaNlpEnginePrivate::setLastError_(const EngineError& error) {
    const std::lock_guard<std::mutex> lock(lastErrorMutex_);
    lastError_ = error;
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::refuse_(int code,
                                                                       const std::string& message) {
    const EngineError error(code, message);
    setLastError_(error);
    return {false, error};
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::chat(const std::string& input) {
    return converse_(zefa_nlp_chat_input::readChatInput(input));
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::generateContent(
    const std::string& input) {
    const zefa_nlp_chat_input::Conversation prompt = zefa_nlp_chat_input::readContentInput(input);
    // Unlike a chat input, a content input is refused before the callback is looked at.
    if (!prompt.problem.empty()) return refuse_(ai_engine::EmptyInput, prompt.problem);
    return converse_(prompt);
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::converse_(
    const zefa_nlp_chat_input::Conversation& conversation) {
    if (!resultCallback_) return refuse_(-1, std::string());
    if (!conversation.problem.empty()) return refuse_(ai_engine::EmptyInput, conversation.problem);
    RequestSlot::Ticket ticket(slot_, resultCallback_);
    AiEngineBaseResult result{true, EngineError()};
    switch (slot_.claim(ticket, kStopWaitLimit)) {
        case RequestSlot::Claim::Granted:
            clearContext();
            for (const zefa_nlp_chat_input::Message& message : conversation.messages) {
                addContext_(message.role, message.content);
            }
            result = post_();
            break;
        case RequestSlot::Claim::Stopped:
            break;
        case RequestSlot::Claim::BusyInsideCallback:
        case RequestSlot::Claim::BusyTooLong:
            return refuse_(ai_engine::UnknownServiceError, kBusyMessage);
    }
    // The host's own failure, in its callback, decides over anything the service did.
    const std::string callbackFailure = ticket.callbackFailure();
    if (!callbackFailure.empty()) return refuse_(ai_engine::UnknownServiceError, callbackFailure);
    return result;
}

void ZefaNlpEnginePrivate::stopChat() { slot_.stop(RequestSlot::StopKind::WithEndMarker); }

void ZefaNlpEnginePrivate::stopGenerateContent() { slot_.stop(RequestSlot::StopKind::Silent); }

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::destroy() {
    stopChat();
    return {true, EngineError()};
}

// ---------------------------------------------------------------- the transfer
//
// Everything below runs on the requesting thread while it holds the request slot.

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::post_() {
    reply_.emplace(currentModelName_, [this](const TextGenerationResult& fragment) {
        return slot_.deliver(fragment);
    });
    const cpr::Response response = transfer_.post(
        cpr::Header{{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey_}},
        requestBody_.toStyledString(), writeCallback_, budget_);
    return processChatResponse_(response);
}

std::chrono::milliseconds ZefaNlpEnginePrivate::transferBudget_() const {
    if (slot_.stopRequested()) return std::chrono::milliseconds(0);
    return reply_->timeLeft();
}

bool writeChatData(const std::string_view& data, intptr_t userdata) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the HTTP client hands back the address as is
    return reinterpret_cast<ZefaNlpEnginePrivate*>(userdata)->onChunk_(data);
}

bool ZefaNlpEnginePrivate::onChunk_(std::string_view chunk) {
    // A stopped request delivers nothing more; its transfer ends once libcurl hands back
    // control, and what it reads until then is dropped here.
    if (slot_.stopRequested()) return true;
    return reply_->read(chunk, transfer_.status());
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::processChatResponse_(
    const cpr::Response& response) {
    // Not even a last event reaches the host after a stop.
    if (!slot_.stopRequested()) reply_->finish(response.error);
    if (slot_.endStreaming()) return {true, EngineError()};
    AiEngineBaseResult result = reply_->outcome(response.status_code, response.error);
    setLastError_(result.error);
    return result;
}
