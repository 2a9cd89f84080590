// SPDX-License-Identifier: MIT
// Prints the fragments of an answer as they arrive (on the thread that delivers them): its text,
// or with --raw each fragment's JSON; on a terminal, text from the service is shown escaped, and
// a quiet status stands in for an answer that has no text yet.
#pragma once

#include "ai_engine/ai_engine_result.h"

#include <chrono>
#include <optional>
#include <string>

namespace zefa_chat {

class AnswerPrinter {
public:
    struct Settings {
        bool raw = false;             // each fragment's JSON text, as the host receives it
        bool escape = false;          // standard output is a terminal: control characters escaped
        bool thinkingStatus = false;  // standard error is a terminal that can erase a line
    };

    explicit AnswerPrinter(Settings settings) : settings_(settings) {}

    // Before each request.
    void begin();
    void onResult(const ai_engine::gen_ai::nlp::TextGenerationResult& result);
    // After the request: ends the answer's line, if there is one, and, when asked, says on
    // standard error how it went.
    void end(bool stats);

    // The text of the answer, as the service sent it.
    const std::string& answer() const { return answer_; }
    // The answer ended with the engine's end marker: it was stopped.
    bool stopped() const { return stopped_; }

private:
    using Clock = std::chrono::steady_clock;

    void print(const std::string& text) const;
    void showStatus(bool shown) const;

    const Settings settings_;
    std::string answer_;
    int fragments_ = 0;
    bool stopped_ = false;
    Clock::time_point started_;
    std::optional<Clock::time_point> firstText_;
};

}  // namespace zefa_chat
