// SPDX-License-Identifier: MIT
#include "answer_printer.h"

#include "chat_text.h"
#include "failure_report.h"

#include <json/json.h>

#include <cstdio>
#include <string_view>

namespace zefa_chat {

namespace {

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";
// Dim, so that it reads as a status and not as the answer.
constexpr std::string_view kThinking = "\x1b[2mthinking\u2026\x1b[0m";

}  // namespace

void AnswerPrinter::begin() {
    answer_.clear();
    fragments_ = 0;
    stopped_ = false;
    started_ = Clock::now();
    firstText_.reset();
    showStatus(true);
}

void AnswerPrinter::onResult(const ai_engine::gen_ai::nlp::TextGenerationResult& result) {
    ++fragments_;
    if (result.text == kEndMarker) {
        stopped_ = true;
        if (settings_.raw) print(result.text + "\n");
        return;
    }
    const Outcome<Json::Value> parsed = parseJson(result.text);  // the engine writes JSON only
    const Json::Value* fragment = std::get_if<Json::Value>(&parsed);
    const std::string text = fragment != nullptr && (*fragment)["result"].isString()
                                 ? (*fragment)["result"].asString()
                                 : std::string();
    // The first fragments often carry only the answer's role, or a reasoning model's thinking.
    if (!text.empty() && !firstText_) {
        firstText_ = Clock::now();
        showStatus(false);
    }
    answer_ += text;
    if (settings_.raw) {
        print(result.text);
    } else {
        print(settings_.escape ? escapedForTerminal(text) : text);
    }
}

void AnswerPrinter::end(bool stats) {
    showStatus(false);
    if (!settings_.raw && !answer_.empty()) print("\n");
    if (!stats) return;
    const auto ms = [this](Clock::time_point t) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(t - started_).count());
    };
    const std::string first =
        firstText_ ? "first text after " + ms(*firstText_) + " ms" : std::string("no answer");
    std::fprintf(stderr, "zefa-chat: %d fragments, %s, total %s ms%s\n", fragments_, first.c_str(),
                 ms(Clock::now()).c_str(), stopped_ ? " (stopped)" : "");
}

void AnswerPrinter::print(const std::string& text) const {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void AnswerPrinter::showStatus(bool shown) const {
    if (!settings_.thinkingStatus || settings_.raw) return;
    if (shown) {
        zefa_chat::showStatus(kThinking);
    } else {
        clearStatus();
    }
}

}  // namespace zefa_chat
