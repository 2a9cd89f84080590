// SPDX-License-Identifier: MIT
#include "reply.h"

#include "split_surrogates.h"
#include "utf8.h"
#include "zefa_nlp_server_error.h"
#include "zefa_nlp_util.h"

using ai_engine::EngineError;

namespace {

constexpr const char* kDonePayload = "[DONE]";
constexpr const char* kNoStreamMessage = "The service's reply held no event stream";
const std::string kTooLongMessage =
    "A piece of the service's reply exceeded the engine's limit of " +
    std::to_string(Reply::kMaxPendingBytes) + " bytes";
// Statuses from here on are refusals, whatever the body says.
constexpr long kFirstErrorStatus = 400;
// How long a service may keep the connection open after "[DONE]" before the engine hangs up.
constexpr std::chrono::seconds kAfterDoneGrace{1};
// How much of an unrecognised error reply becomes the error message.
constexpr std::size_t kErrorHeadBytes = 4096;

}  // namespace

Reply::Reply(const std::string& modelName, Deliver deliver)
    : deliver_(std::move(deliver)),
      eventHandler_([this](std::string& payload) { return onEvent(payload); }),
      fragment_(successResult(modelName, std::string())) {}

Reply::TextGenerationResult Reply::successResult(const std::string& modelName, std::string text) {
    TextGenerationResult result;
    result.success = true;
    result.modelName = modelName;
    result.text = std::move(text);
    return result;
}

bool Reply::read(std::string_view chunk, long status) {
    // After "[DONE]" the answer is complete: read on only so that the service can end the reply
    // normally and the connection stays reusable.
    if (done_) return true;
    if (head_.size() < kErrorHeadBytes) {
        head_.append(chunk.substr(0, kErrorHeadBytes - head_.size()));
    }
    if (kind_ == Kind::Unknown) {
        const std::size_t first = chunk.find_first_not_of(zefa_nlp_util::kJsonBlanks);
        if (first == std::string_view::npos) return true;
        kind_ = kindOf(chunk[first], status);
        chunk.remove_prefix(first);
    }
    switch (kind_) {
        case Kind::EventStream:
            return readEvents(chunk);
        case Kind::JsonDocument:
            return readDocument(chunk);
        case Kind::RefusalPage:
        case Kind::Unknown:
            break;
    }
    return true;  // a refusal's page: nothing of it reaches the host
}

Reply::Kind Reply::kindOf(char firstByte, long status) {
    // An event stream begins with a field name, a comment or a byte-order mark.
    if (firstByte == '{') return Kind::JsonDocument;
    // The status line has arrived with the headers: a refusal's body is no answer, whatever it
    // looks like.
    return status >= kFirstErrorStatus ? Kind::RefusalPage : Kind::EventStream;
}

bool Reply::readDocument(std::string_view chunk) {
    if (document_.size() + chunk.size() > kMaxPendingBytes) {
        failure_ = kTooLongMessage;
        return false;
    }
    document_.append(chunk);
    // An error reply may arrive in several writes; it counts once it is whole.
    const std::size_t last = chunk.find_last_not_of(zefa_nlp_util::kJsonBlanks);
    return last == std::string_view::npos || chunk[last] != '}' || !takeErrorDocument();
}

bool Reply::readEvents(std::string_view chunk) {
    switch (reader_.feed(chunk, eventHandler_)) {
        case zefa_nlp_sse::EventStreamReader::Status::Reading:
            return true;
        case zefa_nlp_sse::EventStreamReader::Status::Stopped:
            // "[DONE]", a stop (whose transfer is ended by its own means), or the service's error.
            return done_ || refused_;
        case zefa_nlp_sse::EventStreamReader::Status::LimitExceeded:
            failure_ = kTooLongMessage;
            return false;
    }
    return false;
}

bool Reply::onEvent(std::string& payload) {
    sawEvent_ = true;
    if (payload == kDonePayload) {
        done_ = true;
        doneAt_ = std::chrono::steady_clock::now();
        return false;  // nothing after it is read
    }
    // Both ways to a fragment read repaired text: the JSON library would otherwise take the byte
    // after a broken sequence into it.
    zefa_nlp_util::repairUtf8(payload);
    zefa_nlp_util::repairSplitSurrogates(payload, carriedSurrogate_);
    if (zefa_nlp_fragment::readPlainChunk(payload, plainChunk_)) {
        zefa_nlp_fragment::writeFragment(plainChunk_, sentenceId_, fragment_.text);
    } else {
        Json::Value value;
        (void)jsonReader_.parse(payload, value);  // unreadable payloads still make one
        if (zefa_nlp_util::hasMember(value, "error")) {
            reportServerError(payload);  // the service refused the request midway
            return false;
        }
        fragment_.text = zefa_nlp_fragment::fragmentJson(value, sentenceId_).toStyledString();
    }
    ++sentenceId_;
    refused_ = !deliver_(fragment_);
    return !refused_;
}

void Reply::finish(const cpr::Error& transport) {
    if (transport.code != cpr::ErrorCode::OK) return;
    if (done_ || serverError_ || !failure_.empty()) return;
    if (kind_ == Kind::JsonDocument) {
        (void)takeErrorDocument();
    } else if (kind_ == Kind::EventStream) {
        // The last event may lack its blank line, or even its line end.
        (void)reader_.finish(eventHandler_);
    }
}

bool Reply::takeErrorDocument() {
    Json::Value value;
    if (!jsonReader_.parseWholeObject(document_, value) ||
        !zefa_nlp_util::hasMember(value, "error")) {
        return false;
    }
    reportServerError(document_);
    return true;
}

void Reply::reportServerError(const std::string& text) {
    zefa_nlp_util::printDiagnostic("zefa chat failed: ", text);
    serverErrorText_ = text;
    serverError_ = true;
}

Reply::AiEngineBaseResult Reply::outcome(long status, const cpr::Error& transport) const {
    const auto failure = [](int code, const std::string& message) {
        return AiEngineBaseResult{false, EngineError(code, message)};
    };
    if (serverError_) {
        return failure(zefa_nlp_server_error::errorCode2nlpResult(status), serverErrorText_);
    }
    if (status >= kFirstErrorStatus ||
        (failure_.empty() && transport.code == cpr::ErrorCode::OK && !sawEvent_ && !done_)) {
        // A refusal that is no error reply (an error page from a gateway, say), whatever its
        // body, or a reply that is no event stream at all: the host has no answer.
        const std::string message = head_.empty() ? kNoStreamMessage : head_;
        zefa_nlp_util::printDiagnostic("zefa chat failed: ", message);
        return failure(zefa_nlp_server_error::errorCode2nlpResult(status), message);
    }
    if (!failure_.empty()) return failure(ai_engine::UnknownServiceError, failure_);
    if (done_ || transport.code == cpr::ErrorCode::OK) {
        // The answer was complete; how the connection ended afterwards does not matter.
        return {true, EngineError()};
    }
    zefa_nlp_util::printDiagnostic("net error: ", transport.message);
    const bool certificate = transport.code == cpr::ErrorCode::PEER_FAILED_VERIFICATION;
    return failure(certificate ? ai_engine::CertificateError : ai_engine::NetworkError,
                   transport.message);
}

std::chrono::milliseconds Reply::timeLeft() const {
    if (!done_) return std::chrono::milliseconds::max();
    // After "[DONE]" the service has a moment to end the reply normally, which keeps an HTTP/1.1
    // connection reusable; one that holds it open longer is left.
    return std::chrono::ceil<std::chrono::milliseconds>(doneAt_ + kAfterDoneGrace -
                                                        std::chrono::steady_clock::now());
}
