// SPDX-License-Identifier: MIT
#include "chat_session.h"

#include "chat_options.h"
#include "failure_report.h"

#include <cstdio>
#include <cstdlib>

namespace zefa_chat {

namespace {

constexpr const char* kServiceAddress = ZEFA_SERVICE_BASE_URL;

// Runs one request (a call of the engine) and prints its answer; false when it failed, which
// it says on standard error.
template <typename Request>
bool ask(ChatSession& session, const Request& request) {
    session.printer.begin();
    session.watcher.setAnswering(true);
    const ai_engine::result::AiEngineBaseResult result = request();
    session.watcher.setAnswering(false);
    session.printer.end(session.stats);
    if (!result.success) {
        std::fprintf(stderr, "%s\n", describeFailure(result.error, kServiceAddress).c_str());
    }
    return result.success;
}

bool chat(ChatSession& session, const Messages& messages) {
    return ask(session, [&] { return session.engine.chat(compactJson(toJson(messages))); });
}

// A file named at the prompt: ~/ is the home directory, as in the shell.
std::string expandedPath(const std::string& path) {
    const char* home = std::getenv("HOME");
    if (startsWith(path, "~/") && home != nullptr) return home + path.substr(1);
    return path;
}

// "1 message", "2 messages".
std::string messagesCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " message" : " messages");
}

std::size_t turnMessages(const Conversation& conversation) {
    const Messages& messages = conversation.messages();
    return messages.size() - (!messages.empty() && messages.front().role == "system" ? 1 : 0);
}

// A command of the conversation; false when it ends it.
bool runCommand(const Entry& entry, ChatSession& session, Conversation& conversation) {
    switch (entry.command) {
        case Command::Quit:
            return false;
        case Command::Help:
            std::fputs(kCommandsText, stdout);
            break;
        case Command::Reset: {
            conversation.reset();
            std::puts(conversation.empty() ? "conversation cleared"
                                           : "conversation cleared (the system message stays)");
            break;
        }
        case Command::Save: {
            const std::string path = expandedPath(entry.argument);
            if (std::optional<Failure> failed =
                    saveConversation(path, conversation.messages(), session.apiKey)) {
                std::fprintf(stderr, "zefa-chat: %s\n", failed->message.c_str());
            } else {
                std::printf("saved %s to %s\n",
                            messagesCount(conversation.messages().size()).c_str(), path.c_str());
            }
            break;
        }
        case Command::Load: {
            const std::string path = expandedPath(entry.argument);
            const Outcome<Messages> loaded = loadConversation(path);
            if (const Failure* failed = failureOf(loaded)) {
                std::fprintf(stderr, "zefa-chat: %s\n", failed->message.c_str());
            } else {
                conversation = Conversation(std::get<Messages>(loaded));
                std::printf("loaded %s from %s\n",
                            messagesCount(conversation.messages().size()).c_str(), path.c_str());
            }
            break;
        }
    }
    std::fflush(stdout);
    return true;
}

}  // namespace

int askOnce(ChatSession& session, const Conversation& conversation, const std::string& prompt) {
    bool succeeded = false;
    if (conversation.empty()) {
        Json::Value input(Json::objectValue);
        input["prompt"] = prompt;
        succeeded =
            ask(session, [&] { return session.engine.generateContent(compactJson(input)); });
    } else {
        // generateContent carries no system message nor earlier turns: send a chat instead.
        succeeded = chat(session, conversation.withPrompt(prompt));
    }
    if (!succeeded) return kRequestFailed;
    return session.printer.stopped() ? kInterrupted : kOk;
}

int converse(ChatSession& session, Conversation conversation, LineSource& input, bool interactive) {
    std::optional<LastConversation> last;
    if (interactive) {
        last.emplace(session.apiKey);
        std::printf("zefa-chat %s with %s. /help lists the commands; Ctrl-D or /quit ends.\n",
                    ZEFA_VERSION, session.engine.currentModel().c_str());
        if (turnMessages(conversation) > 0) {
            std::printf("Going on with a conversation of %s.\n",
                        messagesCount(turnMessages(conversation)).c_str());
        }
    }
    bool toldHowToLeave = false;
    for (;;) {
        const Entry entry = readEntry(input);
        const bool ends = entry.kind == Entry::Kind::End || entry.inputEnded;
        // The shell's prompt, or what follows, then starts on a line of its own.
        if (ends && interactive) std::fputs("\n", stdout);
        switch (entry.kind) {
            case Entry::Kind::End:
                return kOk;
            case Entry::Kind::Interrupted:
                if (interactive && isBlank(entry.text) && !toldHowToLeave) {
                    std::puts("(Ctrl-D or /quit ends the conversation)");
                    toldHowToLeave = true;
                }
                continue;
            case Entry::Kind::Refused:
                std::fprintf(stderr, "zefa-chat: %s\n", entry.text.c_str());
                continue;
            case Entry::Kind::Command:
                if (!runCommand(entry, session, conversation)) return kOk;
                // Kept as it now is, so that --continue brings back nothing /reset forgot.
                if (last && (entry.command == Command::Reset || entry.command == Command::Load)) {
                    last->keep(conversation.messages());
                }
                continue;
            case Entry::Kind::Prompt:
                break;
        }
        if (entry.inputEnded) {
            std::fputs(
                "zefa-chat: the input ended inside a \"\"\" block; it is sent as if "
                "closed there\n",
                stderr);
        }
        const std::string prompt = checkedText(entry.text);
        // Only a whole answer joins the conversation: a stopped, failed or empty one would
        // leave the prompt without its answer.
        if (chat(session, conversation.withPrompt(prompt)) && !session.printer.stopped() &&
            !session.printer.answer().empty()) {
            conversation.addTurn(prompt, session.printer.answer());
            if (last) last->keep(conversation.messages());
        }
        if (entry.inputEnded) return kOk;
    }
}

}  // namespace zefa_chat
