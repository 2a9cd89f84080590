// SPDX-License-Identifier: MIT
// The engine proper, behind the exported facade. Not installed.
#pragma once

#include "ai_engine/abstract_text_generation_engine.h"
#include "chat_input.h"
#include "event_stream.h"
#include "fragment.h"
#include "request_slot.h"
#include "transfer.h"
#include "zefa_nlp_util.h"

#include <json/value.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// The write callback of a chat transfer: hands each chunk of the reply to the engine running the
// request, whose address userdata carries. Returns false to make the transfer abort (a stop, an
// error reply, an overlong event).
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

private:
    friend bool writeChatData(const std::string_view& data, intptr_t userdata);
    friend struct ZefaNlpEngineInspector;  // test access

    enum class ReplyKind {
        Unknown,       // nothing but blanks so far
        EventStream,   // the answer, event by event
        JsonDocument,  // one JSON document instead of a stream: the service's refusal
        RefusalPage,   // any other body of a refusal status: only its head is kept, as the message
    };

    // What one request reads and writes while its reply arrives. A request starts from a fresh
    // one, so nothing of an earlier request can leak into it. Touched only by the thread that
    // holds the request slot.
    struct RequestState {
        explicit RequestState(const std::string& modelName);

        zefa_nlp_sse::EventStreamReader reader_{kMaxPendingBytes};
        ReplyKind kind_ = ReplyKind::Unknown;
        std::string document_;  // the reply, when it is a JSON document
        std::string head_;      // the first bytes of the reply, to report an error page
        int sentenceId_ = 0;
        std::string serverErrorText_;  // the service's refusal, as it arrived
        bool serverError_ = false;
        std::string failure_;  // why the engine itself aborted the transfer
        bool sawEvent_ = false;
        bool done_ = false;  // "[DONE]" arrived: the answer is complete
        std::chrono::steady_clock::time_point doneAt_;
        std::string carriedSurrogate_;  // a character's first UTF-16 half, cut off the last event
        zefa_nlp_fragment::PlainChunk plainChunk_;  // reused from event to event
        TextGenerationResult fragment_;             // the result handed to the host, reused
    };

    void addContext_(const std::string& role, const std::string& content);
    void removeLastContext_();

    AiEngineBaseResult refuse_(int code, const std::string& message);
    // A chat of conversation, or its refusal: claims the slot, sends, reports.
    AiEngineBaseResult converse_(const zefa_nlp_chat_input::Conversation& conversation);
    void setLastError_(const ai_engine::EngineError& error);

    // The transfer, on the requesting thread while it holds the slot.
    AiEngineBaseResult post_();
    void beginReply_();
    // How long the transfer may wait before it looks again whether to go on.
    [[nodiscard]] std::chrono::milliseconds transferBudget_() const;

    // The reply, chunk by chunk, inside the transfer.
    bool onChunk_(std::string_view chunk);
    [[nodiscard]] ReplyKind kindOfReply_(char firstByte) const;
    [[nodiscard]] bool readDocument_(std::string_view chunk);
    [[nodiscard]] bool readEvents_(std::string_view chunk);
    bool onEvent_(std::string& payload);
    void finishReply_();
    [[nodiscard]] bool takeErrorDocument_();
    void reportServerError_(const std::string& text);
    // The result of a transfer that was not stopped.
    AiEngineBaseResult outcome_(const cpr::Response& response);
    AiEngineBaseResult processChatResponse_(const cpr::Response& response);

    // --- Engine state
    std::string apiKey_;
    std::string currentModel_ = "zefa-plus";
    std::string currentModelName_ = "泽法-zefa-plus";
    int maxTokens_ = -1;  // no limit known before the first catalog lookup
    TextGenerationResultCallback resultCallback_;
    Json::Value requestBody_;
    // The error of the last operation that failed or was reset; never copied into the result
    // of another request.
    ai_engine::EngineError lastError_;
    mutable std::mutex lastErrorMutex_;

    // --- Requests
    Transfer transfer_;  // kept across requests, for connection reuse
    RequestSlot slot_;   // wakes transfer_ on a stop
    RequestState request_;
    zefa_nlp_util::JsonReader jsonReader_;  // for the reply, on the requesting thread
    const zefa_nlp_sse::EventStreamReader::EventHandler eventHandler_;  // calls onEvent_
    const cpr::WriteCallback writeCallback_;                            // calls writeChatData
    const Transfer::Budget budget_;                                     // calls transferBudget_
};
