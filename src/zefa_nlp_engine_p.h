// SPDX-License-Identifier: MIT
// The engine proper, behind the exported facade. Not installed.
#pragma once

#include "ai_engine/abstract_text_generation_engine.h"
#include "fragment.h"

#include <json/value.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cpr {
class Response;
class Session;
}  // namespace cpr

// The write callback of a chat transfer: cuts the reply into server-sent events and hands each
// to the host. userdata is the address of the ZefaNlpEnginePrivate running the request. Returns
// false to make the transfer abort (a stop, an error reply, an overlong event).
bool writeChatData(const std::string_view& data, intptr_t userdata);

class ZefaNlpEnginePrivate : public ai_engine::gen_ai::nlp::AbstractTextGenerationEngine {
public:
    using AiEngineBaseResult = ai_engine::result::AiEngineBaseResult;
    using TextGenerationResult = ai_engine::gen_ai::nlp::TextGenerationResult;
    using TextGenerationResultCallback = ai_engine::gen_ai::nlp::TextGenerationResultCallback;

    // The longest stretch of a reply that may stay unterminated: one event, in practice.
    static constexpr std::size_t kMaxPendingBytes = 1024 * 1024;

    // endpointUrl: where chat requests go; the service address of the build by default.
    explicit ZefaNlpEnginePrivate(std::string endpointUrl = defaultEndpointUrl());
    ~ZefaNlpEnginePrivate() override;

    ZefaNlpEnginePrivate(const ZefaNlpEnginePrivate&) = delete;
    ZefaNlpEnginePrivate& operator=(const ZefaNlpEnginePrivate&) = delete;

    static std::string defaultEndpointUrl();

    std::string engineName() const override;
    bool isCloud() const override;
    bool isBuiltInEngine() const override;
    bool isCustomModelEngine() const override;
    std::string modelInfo() const override;
    bool setCurrentModel(const std::string& model) override;
    std::string currentModel() const override;
    std::string currentModelName() const override;
    void setConfig(const std::string& config) override;

    void setTextGenerationResultCallback(TextGenerationResultCallback callback) override;
    AiEngineBaseResult init() override;
    AiEngineBaseResult destroy() override;
    AiEngineBaseResult generateContent(const std::string& input) override;
    AiEngineBaseResult chat(const std::string& input) override;
    void stopGenerateContent() override;
    void stopChat() override;

    // The "maxTokens" of the catalog entry of model (also kept for init), or -1 if none.
    int getMaxTokens(const std::string& model);
    // Empties the conversation of the request body.
    void clearContext();
    // Waits, up to a little over 10 s, until no earlier request is still ending; false if one is.
    [[nodiscard]] bool waitForStopped();

private:
    friend bool writeChatData(const std::string_view& data, intptr_t userdata);
    friend struct ZefaNlpEngineInspector;  // test access

    // What a transfer's write and progress callbacks decided, for the completion step.
    struct StreamState {
        std::string eventData;  // data lines of the event being read, joined with LF
        bool eventHasData = false;
        bool skipLf = false;  // the last line ended in CR: a following LF belongs to it
        bool atStart = true;  // nothing read yet: a byte-order mark may come first
        bool done = false;    // "[DONE]" arrived: the answer is complete
        std::chrono::steady_clock::time_point doneAt;
        bool sawEvent = false;         // at least one event with data arrived
        bool serverError = false;      // an error reply or error event was met (serverErrorText_)
        std::string failure;           // why the parser aborted the transfer otherwise
        std::string head;              // the first bytes of the reply, to report an error page
        std::string carriedSurrogate;  // a character's first UTF-16 half, cut off the last event
    };

    enum class Dispatch { Continue, Abort };

    void addContext_(const std::string& role, const std::string& content);
    void removeLastContext_();
    AiEngineBaseResult processChatResponse_(cpr::Response& response);

    // The catalog entry whose "model" is model, or null.
    Json::Value findCatalogModel_(const std::string& model) const;
    AiEngineBaseResult refuse_(int code, const std::string& message);
    [[nodiscard]] bool claimRequest_();
    void resetStream_();
    AiEngineBaseResult post_();
    bool onProgress_();

    // Stream parsing, on the request thread (inside the transfer).
    bool onChunk_(std::string_view chunk);
    Dispatch consumeLines_(std::string_view text);
    Dispatch handleLine_(std::string_view line);
    Dispatch dispatchEvent_();
    Dispatch handlePayload_(std::string& payload);
    void flushStream_();
    [[nodiscard]] bool takeErrorObject_(const std::string& text);
    void reportServerError_(const std::string& text);
    [[nodiscard]] bool exceedsPendingLimit_(std::size_t extra);

    // Delivery to the host callback: one thread at a time, nothing after a stop's end marker.
    [[nodiscard]] bool deliverFragment_(const TextGenerationResult& fragment);
    void deliverEndMarker_(std::unique_lock<std::mutex>& lock);
    TextGenerationResult endMarker_() const;

    // The result of a transfer that was not stopped; called with mutex_ held.
    AiEngineBaseResult outcome_(const cpr::Response& response);

    // --- Engine state
    std::string apiKey_;
    std::string currentModel_ = "zefa-plus";
    std::string currentModelName_ = "泽法-zefa-plus";
    int maxTokens_ = -1;  // no limit known before the first catalog lookup
    TextGenerationResultCallback resultCallback_;
    Json::Value requestBody_;
    int sentenceId_ = 0;
    std::string pendingData_;  // the unterminated last line of the reply
    ai_engine::EngineError lastError_;
    std::string serverErrorText_;
    std::atomic<bool> stopFlag_{false};
    std::atomic<bool> chatting_{false};  // a request runs and no stopChat has ended it

    // --- Request plumbing
    const std::string endpointUrl_;
    StreamState stream_;
    zefa_nlp_fragment::PlainChunk plainChunk_;      // reused from event to event
    TextGenerationResult fragment_;                 // the result handed to the host, reused
    TextGenerationResultCallback requestCallback_;  // the callback the running request feeds
    std::shared_ptr<cpr::Session> session_;         // kept across requests: connection reuse

    // Guards lastError_, the request slot and the hand-over of the host callback between the
    // request thread and a stopping thread. Never held while the host callback runs.
    mutable std::mutex mutex_;
    std::condition_variable callbackIdle_;
    bool requestInFlight_ = false;
    bool callbackBusy_ = false;   // some thread is inside the host callback
    bool endMarkerOwed_ = false;  // a stop came while the request thread was in the callback
};
