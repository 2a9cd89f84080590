// SPDX-License-Identifier: MIT
// One request's reply, piece by piece as the transfer hands it over, and the request's outcome.
//
// - The first bytes tell the kind of reply: an event stream (the answer), one JSON document (the
//   service's refusal, also when it arrives in several pieces), or, under a refusal status, any
//   other body (a gateway's error page, say), of which only the head is kept, as the message.
// - Each event of a stream becomes one fragment, handed on at once; "[DONE]" ends the answer,
//   and an event holding "error" is the service's refusal midway.
// - The status decides: a reply under a status of 400 or more fails, whatever its body.
// - A fresh Reply serves each request, on the thread that runs it, so nothing of an earlier
//   request leaks into a later one.
#pragma once

#include "ai_engine/ai_engine_result.h"
#include "event_stream.h"
#include "fragment.h"
#include "zefa_nlp_util.h"

#include <cpr/error.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class Reply {
public:
    using AiEngineBaseResult = ai_engine::result::AiEngineBaseResult;
    using TextGenerationResult = ai_engine::gen_ai::nlp::TextGenerationResult;
    // Hands a fragment to the host; false once the request takes none any more (it was stopped,
    // or the host's callback failed).
    using Deliver = std::function<bool(const TextGenerationResult&)>;

    // The longest stretch of a reply that may stay unterminated: one event, in practice.
    static constexpr std::size_t kMaxPendingBytes = std::size_t{1024} * 1024;

    // modelName: what every fragment names as its model.
    Reply(const std::string& modelName, Deliver deliver);
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    // The next piece of the reply body; status: the reply's HTTP status (it arrives before the
    // body). False: the transfer is to end now (the service's refusal, an overlong event).
    [[nodiscard]] bool read(std::string_view chunk, long status);
    // The transfer is over, as transport says. After a whole transfer, reads what is left: a last
    // event without its blank line, a refusal without its closing brace's line end.
    void finish(const cpr::Error& transport);
    // The request's result, once finished (and not stopped).
    [[nodiscard]] AiEngineBaseResult outcome(long status, const cpr::Error& transport) const;

    // How much longer the transfer may go on: without limit until "[DONE]", then a short grace.
    [[nodiscard]] std::chrono::milliseconds timeLeft() const;
    // Bytes held for the event being read.
    [[nodiscard]] std::size_t heldBytes() const { return reader_.heldBytes(); }

    // A result that tells the host of success: the default error, the model's name and text.
    static TextGenerationResult successResult(const std::string& modelName, std::string text);

private:
    enum class Kind {
        Unknown,       // nothing but blanks so far
        EventStream,   // the answer, event by event
        JsonDocument,  // one JSON document instead of a stream: the service's refusal
        RefusalPage,   // any other body of a refusal status
    };

    [[nodiscard]] static Kind kindOf(char firstByte, long status);
    [[nodiscard]] bool readDocument(std::string_view chunk);
    [[nodiscard]] bool readEvents(std::string_view chunk);
    bool onEvent(std::string& payload);
    [[nodiscard]] bool takeErrorDocument();
    void reportServerError(const std::string& text);

    const Deliver deliver_;
    const zefa_nlp_sse::EventStreamReader::EventHandler eventHandler_;  // calls onEvent
    zefa_nlp_sse::EventStreamReader reader_{kMaxPendingBytes};
    zefa_nlp_util::JsonReader jsonReader_;
    Kind kind_ = Kind::Unknown;
    std::string document_;  // the reply, when it is a JSON document
    std::string head_;      // the first bytes of the reply, to report an error page
    int sentenceId_ = 0;
    std::string serverErrorText_;  // the service's refusal, as it arrived
    bool serverError_ = false;
    std::string failure_;  // why the engine itself ended the transfer
    bool sawEvent_ = false;
    bool refused_ = false;  // the host takes no more fragments
    bool done_ = false;     // "[DONE]" arrived: the answer is complete
    std::chrono::steady_clock::time_point doneAt_;
    std::string carriedSurrogate_;  // a character's first UTF-16 half, cut off the last event
    zefa_nlp_fragment::PlainChunk plainChunk_;  // reused from event to event
    TextGenerationResult fragment_;             // the result handed to the host, reused
};
