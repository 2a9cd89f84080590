// SPDX-License-Identifier: MIT
// zefa-chat: a command-line host for the engine. It uses the library exactly as the host
// framework does: the public class, the engine interface and the result callback.
#include "answer_printer.h"
#include "chat_options.h"
#include "chat_session.h"
#include "conversation_store.h"
#include "failure_report.h"
#include "interrupt_watcher.h"
#include "line_input.h"
#include "zefa_nlp_engine.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using namespace zefa_chat;

int usageError(const Failure& failure) {
    std::fprintf(stderr, "zefa-chat: %s\nTry 'zefa-chat --help'.\n", failure.message.c_str());
    return kUsage;
}

Json::Value catalogOf(const ZefaNlpEngine& engine) {
    const Outcome<Json::Value> catalog = parseJson(engine.modelInfo());
    return failureOf(catalog) ? Json::Value() : std::get<Json::Value>(catalog);
}

// One line per model of the engine's catalog: id, token limit, name; the one in use marked.
void listModels(const ZefaNlpEngine& engine) {
    const Json::Value catalog = catalogOf(engine);
    std::size_t idWidth = 0;
    for (const Json::Value& model : catalog["models"]) {
        idWidth = std::max(idWidth, model["model"].asString().size());
    }
    for (const Json::Value& model : catalog["models"]) {
        const std::string id = model["model"].asString();
        std::printf("%-*s  %d tokens  %s%s\n", static_cast<int>(idWidth), id.c_str(),
                    model["maxTokens"].asInt(), model["name"].asString().c_str(),
                    id == engine.currentModel() ? "  (default)" : "");
    }
}

// The key, and the model when one is asked for; false when the engine does not offer it.
bool configure(ZefaNlpEngine& engine, const std::string& apiKey, const std::string& model) {
    Json::Value config(Json::objectValue);
    config["apiKey"] = apiKey;
    engine.setConfig(compactJson(config));
    if (model.empty() || engine.setCurrentModel(model)) return true;
    const Json::Value catalog = catalogOf(engine);
    std::string offered;
    for (const Json::Value& entry : catalog["models"]) {
        offered += (offered.empty() ? "" : ", ") + entry["model"].asString();
    }
    std::fprintf(stderr, "zefa-chat: the engine offers no model '%s'; its models: %s\n",
                 model.c_str(), offered.c_str());
    return false;
}

// The conversation to go on with (--load, --continue), under the system message asked for.
Outcome<Conversation> startingConversation(const Options& options) {
    Conversation conversation;
    if (!options.loadFile.empty() || options.continueLast) {
        const Outcome<Messages> loaded =
            options.continueLast ? LastConversation::load() : loadConversation(options.loadFile);
        if (const Failure* failed = failureOf(loaded)) return *failed;
        conversation = Conversation(std::get<Messages>(loaded));
    }
    const Outcome<std::optional<std::string>> system = readSystemMessage(options);
    if (const Failure* failed = failureOf(system)) return *failed;
    if (const auto& message = std::get<std::optional<std::string>>(system)) {
        conversation.setSystem(*message);
    }
    return conversation;
}

// The prompt of -p, and after it what was piped into standard input (a file to summarize,
// say); nothing to ask is a failure.
Outcome<std::string> oneShotPrompt(const std::string& prompt) {
    std::string text = prompt;
    if (isatty(STDIN_FILENO) == 0) {
        const std::string piped{std::istreambuf_iterator<char>(std::cin),
                                std::istreambuf_iterator<char>()};
        if (!isBlank(piped)) text += (text.empty() ? "" : "\n\n") + piped;
    }
    if (isBlank(text)) return Failure{"nothing to ask: the prompt is blank"};
    return checkedText(text);
}

AnswerPrinter::Settings printerSettings(const Options& options) {
    return {options.raw, isatty(STDOUT_FILENO) != 0,
            isatty(STDERR_FILENO) != 0 && terminalTakesEscapes()};
}

}  // namespace

int main(int argc, char** argv) {
    const Outcome<ParsedOptions> parsed =
        parseOptions({argv + 1, argv + argc}, isatty(STDERR_FILENO) != 0);
    if (const Failure* failed = failureOf(parsed)) return usageError(*failed);
    const auto& [action, options] = std::get<ParsedOptions>(parsed);
    if (action == ParsedOptions::Action::ShowHelp) {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (action == ParsedOptions::Action::ShowVersion) {
        // The library takes its service address from its build; it is built with this tool.
        std::printf("zefa-chat %s\nservice: %s\n", ZEFA_VERSION, ZEFA_SERVICE_BASE_URL);
        return kOk;
    }
    filterStandardError(!options.verbose);

    ZefaNlpEngine engine;
    if (options.listModels) {
        listModels(engine);
        return kOk;
    }
    const Outcome<ApiKey> key = readApiKey(options, std::getenv("ZEFA_API_KEY"));
    if (const Failure* failed = failureOf(key)) return usageError(*failed);
    const ApiKey& apiKey = std::get<ApiKey>(key);
    if (!apiKey.warning.empty()) std::fprintf(stderr, "%s\n", apiKey.warning.c_str());
    if (!configure(engine, apiKey.key, options.model)) return kUsage;
    Outcome<Conversation> conversation = startingConversation(options);
    if (const Failure* failed = failureOf(conversation)) return usageError(*failed);
    // Read before the engine starts its work, which a usage error would cut short.
    const Outcome<std::string> prompt =
        options.prompt ? oneShotPrompt(*options.prompt) : Outcome<std::string>(std::string());
    if (const Failure* failed = failureOf(prompt)) return usageError(*failed);

    AnswerPrinter printer(printerSettings(options));
    engine.setTextGenerationResultCallback(
        [&printer](const ai_engine::gen_ai::nlp::TextGenerationResult& result) {
            printer.onResult(result);
        });
    (void)engine.init();

    std::optional<LineInput> input;
    if (!options.prompt) input.emplace(apiKey.key);
    const bool interactive = input && input->interactive();
    InterruptWatcher watcher([&engine] { engine.stopChat(); }, interactive);
    ChatSession session{engine, printer, watcher, options.stats, apiKey.key};
    const int status =
        options.prompt
            ? askOnce(session, std::get<Conversation>(conversation), std::get<std::string>(prompt))
            : converse(session, std::move(std::get<Conversation>(conversation)), *input,
                       interactive);
    (void)engine.destroy();
    return status;
}
