// SPDX-License-Identifier: MIT
// The engine proper, behind the exported facade. Not installed.
#pragma once

#include "ai_engine/abstract_text_generation_engine.h"
#include "chat_input.h"
#include "reply.h"
#include "request_slot.h"
#include "transfer.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The write callback of a chat transfer: hands each chunk of the reply to the engine running the
// request, whose address userdata carries. Returns false to make the transfer abort (an error
// reply, an overlong piece of the reply); a stopped request's transfer is ended by its budget,
// and what it reads until then is dropped.
bool writeChatData(const std::string_view& data, intptr_t userdata);

class ZefaNlpEnginePrivate : public ai_engine::gen_ai::nlp::AbstractTextGenerationEngine {
public:
    using AiEngineBaseResult = ai_engine::result::AiEngineBaseResult;
    using TextGenerationResult = ai_engine::gen_ai::nlp::TextGenerationResult;
    using TextGenerationResultCallback = ai_engine::gen_ai::nlp::TextGenerationResultCallback;

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

    void addContext_(const std::string& role, const std::string& content);
    void removeLastContext_();

    AiEngineBaseResult refuse_(int code, const std::string& message);
    // A chat of conversation, or its refusal: claims the slot, sends, reports.
    AiEngineBaseResult converse_(const zefa_nlp_chat_input::Conversation& conversation);
    void setLastError_(const ai_engine::EngineError& error);

    // The transfer, on the requesting thread while it holds the slot.
    AiEngineBaseResult post_();
    // How long the transfer may wait before it looks again whether to go on.
    [[nodiscard]] std::chrono::milliseconds transferBudget_() const;
    // A piece of the reply, inside the transfer.
    bool onChunk_(std::string_view chunk);
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
    Transfer transfer_;                       // kept across requests, for connection reuse
    RequestSlot slot_;                        // wakes transfer_ on a stop
    std::optional<Reply> reply_;              // of the latest request
    const cpr::WriteCallback writeCallback_;  // calls writeChatData
    const Transfer::Budget budget_;           // calls transferBudget_
};
