// SPDX-License-Identifier: MIT
#include "chat_options.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zefa_chat {

const char* const kUsageText =
    "Usage: zefa-chat [OPTIONS]\n"
    "Chats with the zefa model service through libzefa-nlp-engine.\n"
    "\n"
    "  -p, --prompt TEXT      ask once and exit; standard input, unless a terminal, is\n"
    "                         read to its end and sent after TEXT (in scripts: </dev/null).\n"
    "                         Without -p: a conversation, one prompt per line from\n"
    "                         standard input (/help lists its commands)\n"
    "      --system TEXT      a system message that leads the conversation\n"
    "      --system-file F    the system message from file F\n"
    "      --load F           go on with the conversation saved in F (by /save F)\n"
    "      --continue         go on with the last conversation held at a terminal\n"
    "                         (--system or --system-file replace their system message)\n"
    "      --model ID         the model to use (see --list-models)\n"
    "      --list-models      list the engine's models: id, token limit and name\n"
    "      --api-key-file F   read the API key from file F (default: $ZEFA_API_KEY)\n"
    "      --raw              print each fragment's JSON text instead of its text\n"
    "      --stats            print fragments, time to the first text and total time\n"
    "                         (on by default when standard error is a terminal)\n"
    "      --verbose          also print the engine's own diagnostics, such as the\n"
    "                         service's whole error reply\n"
    "  -h, --help             show this help\n"
    "      --version          show the version and the service address\n"
    "\n"
    "On a terminal the prompt can be edited; pasted text is one prompt, whatever its\n"
    "lines; earlier prompts come back with the Up key. They are kept in\n"
    "$XDG_STATE_HOME/zefa-chat/history (by default ~/.local/state/zefa-chat/history),\n"
    "and the conversation in last.json beside it, after each answer, /reset and /load.\n"
    "Ctrl-C during an answer stops it; at the prompt it drops the line. Control\n"
    "characters from the service are shown as ^[ and the like, so that they cannot\n"
    "drive the terminal.\n"
    "\n"
    "-p with --load or --continue asks once after that conversation, which stays as it\n"
    "was.\n"
    "\n"
    "Exit status:\n"
    "  0    success (in a conversation: end of input, Ctrl-D or /quit)\n"
    "  1    the request failed (--prompt): one line on standard error says what failed,\n"
    "       the engine's error code and what to do\n"
    "  2    bad usage or configuration (such as an API key file or a saved\n"
    "       conversation that cannot be read), or a model the engine does not offer\n"
    "  130  interrupted by Ctrl-C (--prompt, or a conversation not at a terminal)\n";

const char* const kCommandsText =
    "Commands:\n"
    "  /help        show this list\n"
    "  /reset       forget the conversation (its system message stays)\n"
    "  /save FILE   write the conversation to FILE, to go on with later (--load FILE)\n"
    "  /load FILE   go on with the conversation saved in FILE instead\n"
    "  /quit        end the conversation (so does Ctrl-D)\n"
    "  //TEXT       send /TEXT: a prompt that begins with /\n"
    "  \"\"\"          at the start of a line begins a prompt of several lines; \"\"\" at the\n"
    "               end of a line ends it. Pasted text is one prompt, whatever its lines.\n"
    "Ctrl-C stops an answer; at the prompt it drops the line.\n";

namespace {

// Permission bits that let group or others read a file.
constexpr mode_t kReadableByOthers = S_IRGRP | S_IROTH;
// Keys are tens of bytes; a file holding more on its first line is no key file.
constexpr FileKind kKeyFile{"an API key", 4096, true};
constexpr FileKind kSystemFile{"a system message", 1024 * 1024};

// The first line of the key file, and a warning when others can read it.
Outcome<ApiKey> readKeyFile(const std::string& path) {
    // Non-blocking, so that a named pipe with no writer cannot hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return cannotRead(path, errno);
    struct stat status {};
    const bool readableByOthers = fstat(fd, &status) == 0 && (status.st_mode & kReadableByOthers);
    Outcome<std::string> line = readOpenFile(fd, path, kKeyFile);
    close(fd);
    if (auto* failed = std::get_if<Failure>(&line)) return *failed;
    ApiKey key{std::get<std::string>(line), std::string()};
    if (readableByOthers) {
        key.warning = "zefa-chat: warning: the API key file " + path +
                      " is readable by other users (chmod 600 " + path + " makes it yours alone)";
    }
    return key;
}

}  // namespace

Outcome<ParsedOptions> parseOptions(const std::vector<std::string>& args, bool stderrIsTerminal) {
    ParsedOptions parsed;
    Options& options = parsed.options;
    options.stats = stderrIsTerminal;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        const auto value = [&]() -> std::string { return args[++i]; };
        const bool takesValue = arg == "-p" || arg == "--prompt" || arg == "--system" ||
                                arg == "--system-file" || arg == "--model" ||
                                arg == "--api-key-file" || arg == "--load";
        if (takesValue && !hasValue) return Failure{"missing value for " + arg};
        if (arg == "-h" || arg == "--help") {
            parsed.action = ParsedOptions::Action::ShowHelp;
            return parsed;
        } else if (arg == "--version") {
            parsed.action = ParsedOptions::Action::ShowVersion;
            return parsed;
        } else if (arg == "-p" || arg == "--prompt") {
            options.prompt = value();
        } else if (arg == "--system") {
            options.system = value();
        } else if (arg == "--system-file") {
            options.systemFile = value();
        } else if (arg == "--load") {
            options.loadFile = value();
        } else if (arg == "--continue") {
            options.continueLast = true;
        } else if (arg == "--model") {
            options.model = value();
        } else if (arg == "--list-models") {
            options.listModels = true;
        } else if (arg == "--api-key-file") {
            options.apiKeyFile = value();
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--stats") {
            options.stats = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            return Failure{"unknown option " + arg};
        }
    }
    if (options.system && !options.systemFile.empty()) {
        return Failure{"--system and --system-file both give the system message; give one"};
    }
    if (options.continueLast && !options.loadFile.empty()) {
        return Failure{"--load and --continue both name the conversation to go on with; give one"};
    }
    return parsed;
}

Outcome<ApiKey> readApiKey(const Options& options, const char* environmentKey) {
    ApiKey key;
    if (!options.apiKeyFile.empty()) {
        Outcome<ApiKey> read = readKeyFile(options.apiKeyFile);
        if (auto* failed = std::get_if<Failure>(&read)) return *failed;
        key = std::get<ApiKey>(read);
    } else if (environmentKey != nullptr) {
        key.key = environmentKey;
    }
    key.key = trimmed(key.key);
    const std::string source =
        options.apiKeyFile.empty() ? std::string("ZEFA_API_KEY") : options.apiKeyFile;
    if (key.key.empty()) {
        return Failure{options.apiKeyFile.empty()
                           ? "no API key: set ZEFA_API_KEY or use --api-key-file"
                           : "no API key in " + options.apiKeyFile};
    }
    if (holdsControlCharacter(key.key)) {
        return Failure{"the API key in " + source + " holds a control character"};
    }
    return key;
}

Outcome<std::optional<std::string>> readSystemMessage(const Options& options) {
    if (options.systemFile.empty()) {
        if (!options.system || options.system->empty()) return std::optional<std::string>();
        return std::optional<std::string>(checkedText(*options.system));
    }
    Outcome<std::string> text = readFile(options.systemFile, kSystemFile);
    if (auto* failed = std::get_if<Failure>(&text)) return *failed;
    const std::string message = withoutTrailingBlanks(std::get<std::string>(text));
    if (message.empty()) return Failure{"no system message in " + options.systemFile};
    return std::optional<std::string>(checkedText(message));
}

}  // namespace zefa_chat
