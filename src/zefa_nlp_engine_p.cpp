// SPDX-License-Identifier: MIT
#include "zefa_nlp_engine_p.h"

#include "fragment.h"
#include "zefa_config.h"
#include "zefa_nlp_server_error.h"
#include "zefa_nlp_util.h"

#include <cpr/cpr.h>
#include <json/writer.h>

#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <thread>

using ai_engine::EngineError;
using zefa_nlp_util::findMember;
using zefa_nlp_util::formatJsonFromString;

namespace {

// Built in and the same on every call; hosts show it, the engine reads "models" from it.
constexpr const char* kModelCatalog = R"(
    {
        "vendor": "泽法",
        "models": [
            {
                "name": "泽法-zefa-plus",
                "model": "zefa-plus",
                "subConfig": [
                    {
                        "name": "zefa-plus",
                        "config": [
                            {
                                "friendlyName": "APIKey",
                                "configName": "apiKey"
                            }
                        ]
                    }
                ],
                "maxTokens": 8192,
                "feedbackUrl": "https://www.zefa.ai/"
            }
        ]
    }
    )";

constexpr const char* kChatPath = "/compatible-mode/v1/chat/completions";
constexpr const char* kEmptyMessage = "The message is empty";
constexpr const char* kEndMarkerText = "{\"result\":\"\",\"is_end\":true}";
constexpr const char* kDonePayload = "[DONE]";
constexpr const char* kNoStreamMessage = "The service's reply held no event stream";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A transfer slower than this many bytes per second for kLowSpeedTime is dropped as stalled.
constexpr std::int32_t kLowSpeedLimitBytesPerSecond = 20;
constexpr std::chrono::seconds kLowSpeedTime{10};
// The connection phase (name resolution, TCP, TLS), which the low-speed limit does not cover, is
// bounded like a stall; libcurl's default would hold a silent handshake for five minutes.
constexpr std::chrono::seconds kConnectTimeout = kLowSpeedTime;
// How long a service may keep the connection open after "[DONE]" before the engine hangs up.
constexpr std::chrono::seconds kAfterDoneGrace{1};
// How long a new request waits for an earlier, stopped one to end.
constexpr std::chrono::seconds kStopWaitLimit{10};
constexpr std::chrono::milliseconds kStopPollInterval{10};
// HTTP statuses from here on are refusals.
constexpr long kFirstRefusalStatus = 400;
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

// The first CR or LF at or after pos. Two vectorised searches beat one per-byte scan for both.
std::size_t findLineEnd(std::string_view text, std::size_t pos) {
    const char* begin = text.data() + pos;
    const std::size_t length = text.size() - pos;
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', length));
    const std::size_t searched = lf == nullptr ? length : static_cast<std::size_t>(lf - begin);
    const auto* cr = static_cast<const char*>(std::memchr(begin, '\r', searched));
    const char* end = cr != nullptr ? cr : lf;
    return end == nullptr ? std::string_view::npos : static_cast<std::size_t>(end - text.data());
}

bool hasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

// The text of a transport failure. libcurl leaves its message empty for some failures (a reply
// header past its size limit); then its text for the code is taken. cpr numbers libcurl's codes
// its own way, so the libcurl code is found through cpr's own mapping.
std::string transportFailureText(const cpr::Error& error) {
    if (!error.message.empty()) return error.message;
    for (int code = CURLE_OK + 1; code < CURL_LAST; ++code) {
        if (cpr::Error(code, std::string()).code == error.code) {
            return curl_easy_strerror(static_cast<CURLcode>(code));
        }
    }
    return "transport failure " + std::to_string(static_cast<int>(error.code));
}

// Hands a result to the host. An exception from the host's callback must not cross the HTTP
// library's C frames, nor leave the engine believing the callback is still running.
void callHost(const ai_engine::gen_ai::nlp::TextGenerationResultCallback& callback,
              const ai_engine::gen_ai::nlp::TextGenerationResult& result) {
    if (!callback) return;
    try {
        callback(result);
    } catch (...) {
        // The host's own failure; the request goes on.
    }
}

// A chat message field: a string as it is, null or missing as empty, a number or boolean as its
// JSON text. Containers have no text; ok turns false for them.
std::string messageField(const Json::Value& message, const char* key, bool& ok) {
    const Json::Value* value = findMember(message, key);
    if (value == nullptr) return std::string();
    if (value->isArray() || value->isObject()) {
        ok = false;
        return std::string();
    }
    return value->asString();
}

struct ChatMessage {
    std::string role;
    std::string content;
};

// Reads the conversation of a chat input. Input without any JSON value, or without "messages",
// is an empty conversation; false, with the reason, for input of a shape that has no meaning.
bool readChatMessages(const std::string& input, std::vector<ChatMessage>& conversation,
                      std::string& problem) {
    const Json::Value root = formatJsonFromString(input);
    if (root.isNull()) return true;
    if (!root.isObject()) {
        problem = "The chat input is not a JSON object";
        return false;
    }
    const Json::Value* messages = findMember(root, "messages");
    if (messages == nullptr || messages->isNull()) return true;
    if (!messages->isArray()) {
        problem = "The \"messages\" member of the chat input is not an array";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < messages->size(); ++i) {
        const Json::Value& message = (*messages)[i];
        bool ok = message.isNull() || message.isObject();
        ChatMessage entry{messageField(message, "role", ok), messageField(message, "content", ok)};
        if (!ok) {
            problem = "Message " + std::to_string(i) +
                      " of the chat input is not an object of \"role\" and \"content\" texts";
            return false;
        }
        conversation.push_back(std::move(entry));
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- construction and identity

ZefaNlpEnginePrivate::ZefaNlpEnginePrivate(std::string endpointUrl)
    : endpointUrl_(std::move(endpointUrl)), session_(std::make_shared<cpr::Session>()) {
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

std::string ZefaNlpEnginePrivate::modelInfo() const { return kModelCatalog; }

std::string ZefaNlpEnginePrivate::currentModel() const { return currentModel_; }

std::string ZefaNlpEnginePrivate::currentModelName() const { return currentModelName_; }

// ---------------------------------------------------------------- configuration

Json::Value ZefaNlpEnginePrivate::findCatalogModel_(const std::string& model) const {
    const Json::Value catalog = formatJsonFromString(modelInfo());
    const Json::Value* models = findMember(catalog, "models");
    if (models == nullptr || !models->isArray()) return Json::Value();
    for (const Json::Value& entry : *models) {
        const Json::Value* id = findMember(entry, "model");
        if (id != nullptr && id->isString() && id->asString() == model) return entry;
    }
    return Json::Value();
}

bool ZefaNlpEnginePrivate::setCurrentModel(const std::string& model) {
    if (findCatalogModel_(model).isNull()) {
        fprintf(stderr, "Invalid current model name: %s\n", model.c_str());
        return false;
    }
    currentModel_ = model;
    return true;
}

int ZefaNlpEnginePrivate::getMaxTokens(const std::string& model) {
    const Json::Value entry = findCatalogModel_(model);
    if (entry.isNull()) return -1;
    const Json::Value* maxTokens = findMember(entry, "maxTokens");
    maxTokens_ = maxTokens != nullptr && maxTokens->isInt() ? maxTokens->asInt() : 0;
    return maxTokens_;
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
    fprintf(stderr, "Invalid config for zefa nlp engine: %s\n", shown.c_str());
}

void ZefaNlpEnginePrivate::setTextGenerationResultCallback(TextGenerationResultCallback callback) {
    resultCallback_ = callback;
}

// ---------------------------------------------------------------- request body

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::init() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = EngineError();
    }
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

// ---------------------------------------------------------------- stream parser
//
// Everything below, up to the completion step, runs on the request thread inside the transfer.

bool writeChatData(const std::string_view& data, intptr_t userdata) {
    return reinterpret_cast<ZefaNlpEnginePrivate*>(userdata)->onChunk_(data);
}

bool ZefaNlpEnginePrivate::onChunk_(std::string_view chunk) {
    if (stopFlag_.load()) return false;
    // After "[DONE]" the answer is complete: read on only so that the service can end the reply
    // normally and the connection stays reusable.
    if (stream_.done) return true;
    const bool firstWrite = stream_.head.empty();
    if (stream_.head.size() < kErrorHeadBytes) {
        stream_.head.append(chunk.substr(0, kErrorHeadBytes - stream_.head.size()));
    }
    // A later write may begin inside an event: only the first is judged alone here, and a reply
    // split over several writes when it has ended (flushStream_).
    if (firstWrite && takeErrorObject_(std::string(chunk))) return false;
    return consumeLines_(chunk) == Dispatch::Continue;
}

bool ZefaNlpEnginePrivate::takeErrorObject_(const std::string& text) {
    // Only one complete object with nothing around it counts: the first piece of a split reply
    // would cut the message, and an event stream merely holds objects.
    Json::Value value;
    if (!zefa_nlp_util::parseWholeObject(text, value) ||
        !zefa_nlp_util::hasMember(value, "error")) {
        return false;
    }
    reportServerError_(text);
    return true;
}

void ZefaNlpEnginePrivate::reportServerError_(const std::string& text) {
    fprintf(stderr, "zefa chat failed: %s\n", text.c_str());
    serverErrorText_ = text;
    stream_.serverError = true;
}

bool ZefaNlpEnginePrivate::exceedsPendingLimit_(std::size_t extra) {
    if (pendingData_.size() + stream_.eventData.size() + extra <= kMaxPendingBytes) return false;
    stream_.failure = "A server-sent event exceeded the engine's limit of " +
                      std::to_string(kMaxPendingBytes) + " bytes";
    return true;
}

ZefaNlpEnginePrivate::Dispatch ZefaNlpEnginePrivate::consumeLines_(std::string_view text) {
    std::size_t pos = 0;
    if (stream_.skipLf && !text.empty()) {
        if (text[0] == '\n') pos = 1;  // the LF of a CR LF split between two chunks
        stream_.skipLf = false;
    }
    while (pos < text.size()) {
        const std::size_t end = findLineEnd(text, pos);
        if (end == std::string_view::npos) break;
        const std::string_view rest = text.substr(pos, end - pos);
        Dispatch dispatch;
        if (pendingData_.empty()) {
            dispatch = handleLine_(rest);
        } else {
            pendingData_.append(rest);
            dispatch = handleLine_(pendingData_);
            pendingData_.clear();
        }
        pos = end + 1;
        if (text[end] == '\r') {
            if (pos == text.size()) {
                stream_.skipLf = true;
            } else if (text[pos] == '\n') {
                ++pos;
            }
        }
        if (dispatch == Dispatch::Abort) return Dispatch::Abort;
        if (stream_.done) return Dispatch::Continue;  // the rest of the reply is not read
    }
    const std::string_view tail = text.substr(pos);
    if (exceedsPendingLimit_(tail.size())) return Dispatch::Abort;
    pendingData_.append(tail);
    return Dispatch::Continue;
}

ZefaNlpEnginePrivate::Dispatch ZefaNlpEnginePrivate::handleLine_(std::string_view line) {
    if (stream_.atStart) {
        stream_.atStart = false;
        if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            line.remove_prefix(kByteOrderMark.size());
        }
    }
    if (line.empty()) return dispatchEvent_();
    if (line.front() == ':') return Dispatch::Continue;  // a comment, such as a keep-alive
    const std::size_t colon = line.find(':');
    if (line.substr(0, colon) != "data") return Dispatch::Continue;  // event, id, retry, ...
    std::string_view value =
        colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (exceedsPendingLimit_(value.size() + 1)) return Dispatch::Abort;
    if (stream_.eventHasData) stream_.eventData.push_back('\n');
    stream_.eventData.append(value);
    stream_.eventHasData = true;
    return Dispatch::Continue;
}

ZefaNlpEnginePrivate::Dispatch ZefaNlpEnginePrivate::dispatchEvent_() {
    if (!stream_.eventHasData) return Dispatch::Continue;  // no data line: no event
    stream_.eventHasData = false;
    stream_.sawEvent = true;
    const Dispatch dispatch = handlePayload_(stream_.eventData);
    stream_.eventData.clear();
    return dispatch;
}

ZefaNlpEnginePrivate::Dispatch ZefaNlpEnginePrivate::handlePayload_(std::string& payload) {
    if (payload == kDonePayload) {
        stream_.done = true;
        stream_.doneAt = std::chrono::steady_clock::now();
        return Dispatch::Continue;
    }
    // Both ways to a fragment read repaired text: the JSON library would otherwise take the
    // byte after a broken sequence into it.
    zefa_nlp_util::repairUtf8(payload);
    zefa_nlp_util::repairSplitSurrogates(payload, stream_.carriedSurrogate);
    if (zefa_nlp_fragment::readPlainChunk(payload, plainChunk_)) {
        zefa_nlp_fragment::writeFragment(plainChunk_, sentenceId_, fragment_.text);
    } else {
        Json::Value value;
        (void)zefa_nlp_util::parseJson(payload, value);  // unreadable payloads still make one
        if (zefa_nlp_util::hasMember(value, "error")) {
            // The service refused the request midway.
            reportServerError_(payload);
            return Dispatch::Abort;
        }
        fragment_.text = zefa_nlp_fragment::fragmentJson(value, sentenceId_).toStyledString();
    }
    ++sentenceId_;
    return deliverFragment_(fragment_) ? Dispatch::Continue : Dispatch::Abort;
}

void ZefaNlpEnginePrivate::flushStream_() {
    if (stream_.done || stream_.serverError || !stream_.failure.empty()) return;
    // An error reply split over several writes is whole only now: in the kept head, or, when
    // longer and on one line, in pendingData_ (nothing of it ended a line).
    const bool wholeReplyKept = stream_.head.size() < kErrorHeadBytes;
    if (sentenceId_ == 0 && wholeReplyKept && takeErrorObject_(stream_.head)) return;
    if (stream_.atStart && takeErrorObject_(pendingData_)) return;
    // The last event may lack its blank line, or even its line end.
    if (!pendingData_.empty()) {
        const std::string line = std::move(pendingData_);
        pendingData_.clear();
        if (handleLine_(line) == Dispatch::Abort) return;
    }
    (void)dispatchEvent_();
}

// ---------------------------------------------------------------- delivery and stopping
//
// The host callback is entered by one thread at a time, and nothing of a request follows the end
// marker of its stop. A stopping thread raises the flag and, unless the request thread is inside
// the callback, delivers the end marker itself; otherwise it leaves the marker to the request
// thread, which sends it as soon as the callback returns. The request thread checks the flag
// before every fragment. A stopChat from inside the callback therefore never waits for itself.

bool ZefaNlpEnginePrivate::deliverFragment_(const TextGenerationResult& fragment) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopFlag_.load()) return false;
    callbackBusy_ = true;
    lock.unlock();
    callHost(requestCallback_, fragment);
    lock.lock();
    callbackBusy_ = false;
    if (endMarkerOwed_) deliverEndMarker_(lock);
    callbackIdle_.notify_all();
    return !stopFlag_.load();
}

void ZefaNlpEnginePrivate::deliverEndMarker_(std::unique_lock<std::mutex>& lock) {
    endMarkerOwed_ = false;
    callbackBusy_ = true;
    const TextGenerationResult marker = endMarker_();
    const TextGenerationResultCallback callback = requestCallback_;
    lock.unlock();
    callHost(callback, marker);
    lock.lock();
    callbackBusy_ = false;
    callbackIdle_.notify_all();
}

ZefaNlpEnginePrivate::TextGenerationResult ZefaNlpEnginePrivate::endMarker_() const {
    return {{{true, lastError_}, currentModelName_}, kEndMarkerText};
}

void ZefaNlpEnginePrivate::stopChat() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!chatting_.load()) return;  // idle, or this request was stopped already
    if (stopFlag_.exchange(true)) return;
    chatting_ = false;
    if (callbackBusy_) {
        endMarkerOwed_ = true;
        return;
    }
    deliverEndMarker_(lock);
}

void ZefaNlpEnginePrivate::stopGenerateContent() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (chatting_.load()) stopFlag_ = true;
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::destroy() {
    stopChat();
    return {true, EngineError()};
}

bool ZefaNlpEnginePrivate::waitForStopped() {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!requestInFlight_ && !stopFlag_.load()) return true;
        }
        if (std::chrono::steady_clock::now() - start > kStopWaitLimit) return false;
        std::this_thread::sleep_for(kStopPollInterval);
    }
}

// ---------------------------------------------------------------- requests

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::refuse_(int code,
                                                                       const std::string& message) {
    const std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = EngineError(code, message);
    return {false, lastError_};
}

bool ZefaNlpEnginePrivate::claimRequest_() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (requestInFlight_) return false;
    // No stop is pending here (stops need a running request, and the last one consumed its
    // own); the store keeps this request's transfer from ever seeing an older one.
    stopFlag_ = false;
    requestInFlight_ = true;
    chatting_ = true;
    endMarkerOwed_ = false;
    lastError_ = EngineError();
    requestCallback_ = resultCallback_;
    return true;
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::chat(const std::string& input) {
    if (!resultCallback_) return refuse_(-1, std::string());
    if (input.empty()) return refuse_(ai_engine::EmptyInput, kEmptyMessage);
    std::vector<ChatMessage> conversation;
    std::string problem;
    if (!readChatMessages(input, conversation, problem)) {
        return refuse_(ai_engine::EmptyInput, problem);
    }
    // Requests never overlap: wait for an earlier, stopped one to end.
    if (!waitForStopped() || !claimRequest_()) {
        return refuse_(ai_engine::UnknownServiceError,
                       "An earlier request is still running on this engine");
    }
    clearContext();
    for (const ChatMessage& message : conversation) addContext_(message.role, message.content);
    return post_();
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::generateContent(
    const std::string& input) {
    if (input.empty()) return refuse_(ai_engine::EmptyInput, kEmptyMessage);
    const Json::Value parsed = formatJsonFromString(input);
    if (parsed.empty()) return refuse_(ai_engine::EmptyInput, kEmptyMessage);  // null, {}, []
    if (!parsed.isObject()) {
        return refuse_(ai_engine::EmptyInput, "The content input is not a JSON object");
    }
    const Json::Value* prompt = findMember(parsed, "prompt");
    if (prompt == nullptr) return refuse_(ai_engine::EmptyInput, kEmptyMessage);
    if (prompt->isArray() || prompt->isObject()) {
        return refuse_(ai_engine::EmptyInput, "The \"prompt\" member is not text");
    }
    Json::Value message(Json::objectValue);
    message["role"] = "user";
    message["content"] = prompt->asString();
    Json::Value chatInput(Json::objectValue);
    chatInput["messages"].append(std::move(message));
    return chat(chatInput.toStyledString());
}

void ZefaNlpEnginePrivate::resetStream_() {
    stream_ = StreamState();
    fragment_ = TextGenerationResult{{{true, EngineError()}, currentModelName_}, std::string()};
    pendingData_.clear();
    sentenceId_ = 0;
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::post_() {
    resetStream_();

    cpr::Session& session = *session_;
    session.SetUrl(cpr::Url{endpointUrl_});
    session.SetHeader(
        cpr::Header{{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey_}});
    session.SetBody(cpr::Body{requestBody_.toStyledString()});
    session.SetLowSpeed(cpr::LowSpeed{kLowSpeedLimitBytesPerSecond, kLowSpeedTime});
    session.SetConnectTimeout(cpr::ConnectTimeout{kConnectTimeout});
    session.SetWriteCallback(cpr::WriteCallback{writeChatData, reinterpret_cast<intptr_t>(this)});
    // libcurl calls this about once a second even when nothing arrives, so a stop also ends a
    // silent transfer, and a service that keeps the connection open after "[DONE]" is left.
    session.SetProgressCallback(
        cpr::ProgressCallback{[this](cpr::cpr_pf_arg_t, cpr::cpr_pf_arg_t, cpr::cpr_pf_arg_t,
                                     cpr::cpr_pf_arg_t, intptr_t) { return onProgress_(); }});
    cpr::Response response = session.Post();
    // A stopped transfer's connection is not kept for the next request: over HTTP/2 libcurl
    // leaves the stopped stream open on it, and the service would go on sending, and the
    // connection carrying, the rest of the answer. Closing the connection ends the stream.
    if (stopFlag_.load()) session_ = std::make_shared<cpr::Session>();
    return processChatResponse_(response);
}

bool ZefaNlpEnginePrivate::onProgress_() {
    if (stopFlag_.load()) return false;
    return !stream_.done || std::chrono::steady_clock::now() - stream_.doneAt < kAfterDoneGrace;
}

// ---------------------------------------------------------------- completion

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::processChatResponse_(
    cpr::Response& response) {
    if (response.error.code == cpr::ErrorCode::OK && !stopFlag_.load()) flushStream_();

    std::unique_lock<std::mutex> lock(mutex_);
    // A stopping thread may still be handing the end marker to the host.
    callbackIdle_.wait(lock, [this] { return !callbackBusy_; });
    chatting_ = false;
    const bool stopped = stopFlag_.exchange(false);
    const AiEngineBaseResult result =
        stopped ? AiEngineBaseResult{true, EngineError()} : outcome_(response);
    requestInFlight_ = false;
    return result;
}

ZefaNlpEnginePrivate::AiEngineBaseResult ZefaNlpEnginePrivate::outcome_(
    const cpr::Response& response) {
    const long status = response.status_code;
    if (status >= kFirstRefusalStatus && !stream_.serverError) {
        // A refusal fails whatever body came with it, even a whole event stream: an error page
        // from a gateway, for instance.
        const std::string message = stream_.head.empty() ? kNoStreamMessage : stream_.head;
        fprintf(stderr, "zefa chat failed: %s\n", message.c_str());
        lastError_ = EngineError(zefa_nlp_server_error::errorCode2nlpResult(status), message);
    } else if (!stream_.failure.empty()) {
        lastError_ = EngineError(ai_engine::UnknownServiceError, stream_.failure);
    } else if (stream_.serverError) {
        lastError_ =
            EngineError(zefa_nlp_server_error::errorCode2nlpResult(status), serverErrorText_);
    } else if (stream_.done) {
        // The answer was complete; how the connection ended afterwards does not matter.
        return {true, lastError_};
    } else if (response.error.code != cpr::ErrorCode::OK) {
        const std::string message = transportFailureText(response.error);
        fprintf(stderr, "net error: %s\n", message.c_str());
        const bool certificate = response.error.code == cpr::ErrorCode::PEER_FAILED_VERIFICATION;
        lastError_ = EngineError(
            certificate ? ai_engine::CertificateError : ai_engine::NetworkError, message);
    } else if (!stream_.sawEvent) {
        // A reply that is no event stream at all: the host received nothing of an answer.
        const std::string message = stream_.head.empty() ? kNoStreamMessage : stream_.head;
        fprintf(stderr, "zefa chat failed: %s\n", message.c_str());
        lastError_ = EngineError(zefa_nlp_server_error::errorCode2nlpResult(status), message);
    } else {
        return {true, lastError_};
    }
    return {false, lastError_};
}
