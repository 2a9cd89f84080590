// SPDX-License-Identifier: MIT
#include "zefa_nlp_engine_p.h"

#include "catalog.h"
#include "chat_input.h"
#include "fragment.h"
#include "split_surrogates.h"
#include "utf8.h"
#include "zefa_config.h"
#include "zefa_nlp_server_error.h"
#include "zefa_nlp_util.h"

#include <cpr/cpr.h>
#include <json/writer.h>

using ai_engine::EngineError;
using zefa_nlp_util::findMember;
using zefa_nlp_util::formatJsonFromString;

namespace {

constexpr const char* kChatPath = "/compatible-mode/v1/chat/completions";
constexpr const char* kEndMarkerText = "{\"result\":\"\",\"is_end\":true}";
constexpr const char* kDonePayload = "[DONE]";
constexpr const char* kNoStreamMessage = "The service's reply held no event stream";
constexpr const char* kBusyMessage = "An earlier request is still running on this engine";
const std::string kTooLongMessage =
    "A piece of the service's reply exceeded the engine's limit of " +
    std::to_string(ZefaNlpEnginePrivate::kMaxPendingBytes) + " bytes";
// What may stand around a JSON document, and before the first line of an event stream.
constexpr const char* kBlanks = " \t\r\n";
// Statuses from here on are refusals, whatever the body says.
constexpr long kFirstErrorStatus = 400;

// How long a service may keep the connection open after "[DONE]" before the engine hangs up.
constexpr std::chrono::seconds kAfterDoneGrace{1};
// How long a new request waits for an earlier one to end.
constexpr std::chrono::seconds kStopWaitLimit{10};
// How much of an unrecognised error reply becomes the error message.
constexpr std::size_t kErrorHeadBytes = 4096;

// Runs both ways from event to fragment text once, so that the first event of the first
// request does not pay for loading their code and binding their symbols (about 0.15 ms).
void warmUp() {
    static const std::string kSample =
        R"({"choices":[{"delta":{"content":"\u4f60"},"finish_reason":null}]})";
    zefa_nlp_fragment::PlainChunk chunk;
    std::string text;
    if (zefa_nlp_fragment::readPlainChunk(kSample, chunk)) {
        zefa_nlp_fragment::writeFragment(chunk, 0, text);
    }
    text = zefa_nlp_fragment::fragmentJson(zefa_nlp_util::formatJsonFromString(kSample), 0)
               .toStyledString();
}

// A result that tells the host of success: the default error, the model's name and text.
ai_engine::gen_ai::nlp::TextGenerationResult successResult(const std::string& modelName,
                                                           std::string text) {
    ai_engine::gen_ai::nlp::TextGenerationResult result;
    result.success = true;
    result.modelName = modelName;
    result.text = std::move(text);
    return result;
}

bool hasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------- construction and identity

ZefaNlpEnginePrivate::ZefaNlpEnginePrivate(std::string endpointUrl)
    : transfer_(std::move(endpointUrl)),
      slot_(successResult(currentModelName_, kEndMarkerText), [this] { transfer_.wake(); }),
      request_(currentModelName_),
      eventHandler_([this](std::string& payload) { return onEvent_(payload); }),
      writeCallback_(writeChatData, reinterpret_cast<intptr_t>(this)),
      budget_([this] { return transferBudget_(); }) {
    warmUp();
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
        case RequestSlot::Claim::Busy:
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

ZefaNlpEnginePrivate::RequestState::RequestState(const std::string& modelName)
    : fragment_(successResult(modelName, std::string())) {}

void ZefaNlpEnginePrivate::beginReply_() { request_ = RequestState(currentModelName_); }

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::post_() {
    beginReply_();
    const cpr::Response response = transfer_.post(
        cpr::Header{{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey_}},
        requestBody_.toStyledString(), writeCallback_, budget_);
    return processChatResponse_(response);
}

std::chrono::milliseconds ZefaNlpEnginePrivate::transferBudget_() const {
    if (slot_.stopRequested()) return std::chrono::milliseconds(0);
    if (!request_.done_) return std::chrono::milliseconds::max();
    // After "[DONE]" the service has a moment to end the reply normally, which keeps an HTTP/1.1
    // connection reusable; one that holds it open longer is left.
    return std::chrono::ceil<std::chrono::milliseconds>(request_.doneAt_ + kAfterDoneGrace -
                                                        std::chrono::steady_clock::now());
}

// ---------------------------------------------------------------- the reply

bool writeChatData(const std::string_view& data, intptr_t userdata) {
    return reinterpret_cast<ZefaNlpEnginePrivate*>(userdata)->onChunk_(data);
}

bool ZefaNlpEnginePrivate::onChunk_(std::string_view chunk) {
    // A stopped request delivers nothing more; its transfer ends once libcurl hands back
    // control, and what it reads until then is dropped here.
    if (slot_.stopRequested()) return true;
    RequestState& request = request_;
    // After "[DONE]" the answer is complete: read on only so that the service can end the reply
    // normally and the connection stays reusable.
    if (request.done_) return true;
    if (request.head_.size() < kErrorHeadBytes) {
        request.head_.append(chunk.substr(0, kErrorHeadBytes - request.head_.size()));
    }
    if (request.kind_ == ReplyKind::Unknown) {
        const std::size_t first = chunk.find_first_not_of(kBlanks);
        if (first == std::string_view::npos) return true;
        request.kind_ = kindOfReply_(chunk[first]);
        chunk.remove_prefix(first);
    }
    switch (request.kind_) {
        case ReplyKind::EventStream:
            return readEvents_(chunk);
        case ReplyKind::JsonDocument:
            return readDocument_(chunk);
        case ReplyKind::RefusalPage:
        case ReplyKind::Unknown:
            break;
    }
    return true;  // a refusal's page: nothing of it reaches the host
}

ZefaNlpEnginePrivate::ReplyKind ZefaNlpEnginePrivate::kindOfReply_(char firstByte) const {
    // An event stream begins with a field name, a comment or a byte-order mark.
    if (firstByte == '{') return ReplyKind::JsonDocument;
    // The status line has arrived with the headers: a refusal's body is no answer, whatever it
    // looks like.
    return transfer_.status() >= kFirstErrorStatus ? ReplyKind::RefusalPage
                                                   : ReplyKind::EventStream;
}

bool ZefaNlpEnginePrivate::readDocument_(std::string_view chunk) {
    RequestState& request = request_;
    if (request.document_.size() + chunk.size() > kMaxPendingBytes) {
        request.failure_ = kTooLongMessage;
        return false;
    }
    request.document_.append(chunk);
    // An error reply may arrive in several writes; it counts once it is whole.
    const std::size_t last = chunk.find_last_not_of(kBlanks);
    return last == std::string_view::npos || chunk[last] != '}' || !takeErrorDocument_();
}

bool ZefaNlpEnginePrivate::readEvents_(std::string_view chunk) {
    RequestState& request = request_;
    switch (request.reader_.feed(chunk, eventHandler_)) {
        case zefa_nlp_sse::EventStreamReader::Status::Reading:
            return true;
        case zefa_nlp_sse::EventStreamReader::Status::Stopped:
            // "[DONE]", a stop (the transfer ends at once), or the service's error.
            return request.done_ || slot_.stopRequested();
        case zefa_nlp_sse::EventStreamReader::Status::LimitExceeded:
            request.failure_ = kTooLongMessage;
            return false;
    }
    return false;
}

bool ZefaNlpEnginePrivate::onEvent_(std::string& payload) {
    RequestState& request = request_;
    request.sawEvent_ = true;
    if (payload == kDonePayload) {
        request.done_ = true;
        request.doneAt_ = std::chrono::steady_clock::now();
        return false;  // nothing after it is read
    }
    // Both ways to a fragment read repaired text: the JSON library would otherwise take the byte
    // after a broken sequence into it.
    zefa_nlp_util::repairUtf8(payload);
    zefa_nlp_util::repairSplitSurrogates(payload, request.carriedSurrogate_);
    if (zefa_nlp_fragment::readPlainChunk(payload, request.plainChunk_)) {
        zefa_nlp_fragment::writeFragment(request.plainChunk_, request.sentenceId_,
                                         request.fragment_.text);
    } else {
        Json::Value value;
        (void)jsonReader_.parse(payload, value);  // unreadable payloads still make one
        if (zefa_nlp_util::hasMember(value, "error")) {
            reportServerError_(payload);  // the service refused the request midway
            return false;
        }
        request.fragment_.text =
            zefa_nlp_fragment::fragmentJson(value, request.sentenceId_).toStyledString();
    }
    ++request.sentenceId_;
    return slot_.deliver(request.fragment_);
}

void ZefaNlpEnginePrivate::finishReply_() {
    RequestState& request = request_;
    if (request.done_ || request.serverError_ || !request.failure_.empty()) return;
    if (request.kind_ == ReplyKind::JsonDocument) {
        (void)takeErrorDocument_();
    } else if (request.kind_ == ReplyKind::EventStream) {
        // The last event may lack its blank line, or even its line end.
        (void)request.reader_.finish(eventHandler_);
    }
}

bool ZefaNlpEnginePrivate::takeErrorDocument_() {
    Json::Value value;
    if (!jsonReader_.parseWholeObject(request_.document_, value) ||
        !zefa_nlp_util::hasMember(value, "error")) {
        return false;
    }
    reportServerError_(request_.document_);
    return true;
}

void ZefaNlpEnginePrivate::reportServerError_(const std::string& text) {
    zefa_nlp_util::printDiagnostic("zefa chat failed: ", text);
    request_.serverErrorText_ = text;
    request_.serverError_ = true;
}

// ---------------------------------------------------------------- completion

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::processChatResponse_(
    const cpr::Response& response) {
    if (response.error.code == cpr::ErrorCode::OK && !slot_.stopRequested()) finishReply_();
    if (slot_.endStreaming()) return {true, EngineError()};
    const AiEngineBaseResult result = outcome_(response);
    setLastError_(result.error);
    return result;
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::outcome_(
    const cpr::Response& response) {
    const RequestState& request = request_;
    const long status = response.status_code;
    const auto failure = [](int code, const std::string& message) {
        return AiEngineBaseResult{false, EngineError(code, message)};
    };
    if (request.serverError_) {
        return failure(zefa_nlp_server_error::errorCode2nlpResult(status),
                       request.serverErrorText_);
    }
    if (status >= kFirstErrorStatus ||
        (request.failure_.empty() && response.error.code == cpr::ErrorCode::OK &&
         !request.sawEvent_ && !request.done_)) {
        // A refusal that is no error reply (an error page from a gateway, say), whatever its
        // body, or a reply that is no event stream at all: the host has no answer.
        const std::string message = request.head_.empty() ? kNoStreamMessage : request.head_;
        zefa_nlp_util::printDiagnostic("zefa chat failed: ", message);
        return failure(zefa_nlp_server_error::errorCode2nlpResult(status), message);
    }
    if (!request.failure_.empty()) {
        return failure(ai_engine::UnknownServiceError, request.failure_);
    }
    if (request.done_ || response.error.code == cpr::ErrorCode::OK) {
        // The answer was complete; how the connection ended afterwards does not matter.
        return {true, EngineError()};
    }
    const std::string& message = response.error.message;
    zefa_nlp_util::printDiagnostic("net error: ", message);
    const bool certificate = response.error.code == cpr::ErrorCode::PEER_FAILED_VERIFICATION;
    return failure(certificate ? ai_engine::CertificateError : ai_engine::NetworkError, message);
}
