// SPDX-License-Identifier: MIT
// Asking the engine: once (-p), or a conversation that the host keeps and sends whole with
// every prompt.
#pragma once

#include "answer_printer.h"
#include "conversation_store.h"
#include "interrupt_watcher.h"
#include "prompt_entry.h"
#include "zefa_nlp_engine.h"

#include <string>

namespace zefa_chat {

struct ChatSession {
    ZefaNlpEngine& engine;
    AnswerPrinter& printer;
    InterruptWatcher& watcher;
    bool stats;
    std::string apiKey;  // never written to a file
};

// The prompt after conversation (which may be empty); an exit status.
int askOnce(ChatSession& session, const Conversation& conversation, const std::string& prompt);

// The conversation's loop: prompts from input, answered one by one, and its commands.
// interactive: input is a terminal, whose conversation is kept in last for --continue.
int converse(ChatSession& session, Conversation conversation, LineSource& input, bool interactive);

}  // namespace zefa_chat
