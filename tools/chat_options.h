// SPDX-License-Identifier: MIT
// zefa-chat's command line and configuration: the options, the API key and the system message,
// each read into a value or a failure that main reports as a usage error.
#pragma once

#include "chat_text.h"

#include <optional>
#include <string>
#include <vector>

namespace zefa_chat {

// As --help lists them.
enum ExitStatus {
    kOk = 0,
    kRequestFailed = 1,
    kUsage = 2,
    kInterrupted = 130,
};

extern const char* const kUsageText;
// The conversation's commands, as /help lists them.
extern const char* const kCommandsText;

struct Options {
    std::optional<std::string> prompt;  // -p: ask once
    std::optional<std::string> system;
    std::string systemFile;
    std::string model;
    std::string apiKeyFile;
    std::string loadFile;
    bool continueLast = false;
    bool listModels = false;
    bool raw = false;
    bool stats = false;
    bool verbose = false;
};

struct ParsedOptions {
    enum class Action { Run, ShowHelp, ShowVersion };
    Action action = Action::Run;
    Options options;
};

// The options of args (without the program's name). --stats is on by default when standard
// error is a terminal; --help and --version end the parse where they stand.
Outcome<ParsedOptions> parseOptions(const std::vector<std::string>& args, bool stderrIsTerminal);

struct ApiKey {
    std::string key;
    std::string warning;  // a line to show (the key file is readable by others), or empty
};

// The key from the --api-key-file (its first line), else from environmentKey ($ZEFA_API_KEY),
// without blanks around it (an editor or `echo` leaves a line end after it, an indent before).
// None, or a key holding a control character (which no HTTP header can carry), is a failure.
Outcome<ApiKey> readApiKey(const Options& options, const char* environmentKey);

// The system message of --system or --system-file (without its trailing blanks and line end),
// repaired to UTF-8; nothing when neither is given.
Outcome<std::optional<std::string>> readSystemMessage(const Options& options);

}  // namespace zefa_chat
