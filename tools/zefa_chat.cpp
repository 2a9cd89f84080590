// SPDX-License-Identifier: MIT
// zefa-chat: a command-line host for the engine. It uses the library exactly as the host
// framework does: the public class, the engine interface and the result callback.
#include "failure_report.h"
#include "line_input.h"
#include "utf8.h"
#include "zefa_nlp_engine.h"

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ai_engine::gen_ai::nlp::TextGenerationResult;
using zefa_chat::LineInput;
using Clock = std::chrono::steady_clock;

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";
constexpr const char* kServiceAddress = ZEFA_SERVICE_BASE_URL;
// A line that begins or ends a prompt of several lines.
constexpr std::string_view kBlockQuote = R"(""")";

enum ExitStatus {
    kOk = 0,
    kRequestFailed = 1,
    kUsage = 2,
    kInterrupted = 130,
};

constexpr const char* kUsageText =
    "Usage: zefa-chat [OPTIONS]\n"
    "Chats with the zefa model service through libzefa-nlp-engine.\n"
    "\n"
    "  -p, --prompt TEXT     ask once and exit; standard input, unless a terminal, is\n"
    "                        read to its end and sent after TEXT (in scripts: </dev/null).\n"
    "                        Without -p: a conversation, one prompt per line from\n"
    "                        standard input (/help lists its commands)\n"
    "      --system TEXT     a system message that leads the conversation\n"
    "      --model ID        the model to use (see --list-models)\n"
    "      --list-models     list the engine's models: id, token limit and name\n"
    "      --api-key-file F  read the API key from file F (default: $ZEFA_API_KEY)\n"
    "      --raw             print each fragment's JSON text instead of its text\n"
    "      --stats           print fragments, time to the first text and total time\n"
    "                        (on by default when standard error is a terminal)\n"
    "      --verbose         also print the engine's own diagnostics, such as the\n"
    "                        service's whole error reply\n"
    "  -h, --help            show this help\n"
    "      --version         show the version and the service address\n"
    "\n"
    "On a terminal the prompt can be edited, and earlier prompts come back with the Up\n"
    "key; they are kept in $XDG_STATE_HOME/zefa-chat/history (by default\n"
    "~/.local/state/zefa-chat/history). Ctrl-C during an answer stops it; at the prompt\n"
    "it ends the program.\n"
    "\n"
    "Exit status:\n"
    "  0    success (in a conversation: end of input, Ctrl-D or /quit)\n"
    "  1    the request failed (--prompt): one line on standard error says what failed,\n"
    "       the engine's error code and what to do\n"
    "  2    bad usage or configuration, or a model the engine does not offer\n"
    "  130  interrupted by Ctrl-C\n";

constexpr const char* kCommandsText =
    "Commands:\n"
    "  /help    show this list\n"
    "  /reset   forget the conversation (a --system message stays)\n"
    "  /quit    end the conversation (so does Ctrl-D)\n"
    "  \"\"\"      at the start of a line begins a prompt of several lines; \"\"\" at the\n"
    "           end of a line ends it\n"
    "Ctrl-C stops an answer; at the prompt it ends the program.\n";

struct Options {
    std::string prompt;
    bool oneShot = false;
    std::string system;
    std::string model;
    std::string apiKeyFile;
    bool listModels = false;
    bool raw = false;
    bool stats = isatty(STDERR_FILENO) != 0;
    bool verbose = false;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "zefa-chat: %s\nTry 'zefa-chat --help'.\n", message.c_str());
    std::exit(kUsage);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) usageError("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsageText, stdout);
            std::exit(kOk);
        } else if (arg == "--version") {
            // The library takes its service address from its build; it is built with this tool.
            std::printf("zefa-chat %s\nservice: %s\n", ZEFA_VERSION, kServiceAddress);
            std::exit(kOk);
        } else if (arg == "-p" || arg == "--prompt") {
            options.prompt = value();
            options.oneShot = true;
        } else if (arg == "--system") {
            options.system = value();
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
            usageError("unknown option " + arg);
        }
    }
    return options;
}

// The key from the file given, else from $ZEFA_API_KEY, without the blanks and line end that an
// editor or `echo` leaves after it; none is a usage error.
std::string readApiKey(const Options& options) {
    std::string key;
    if (!options.apiKeyFile.empty()) {
        std::ifstream file(options.apiKeyFile);
        if (!file) usageError("cannot read " + options.apiKeyFile);
        std::getline(file, key);
    } else if (const char* variable = std::getenv("ZEFA_API_KEY")) {
        key = variable;
    }
    key.erase(key.find_last_not_of(" \t\r\n") + 1);
    if (key.empty()) {
        usageError(options.apiKeyFile.empty() ? "no API key: set ZEFA_API_KEY or use --api-key-file"
                                              : "no API key in " + options.apiKeyFile);
    }
    return key;
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

Json::Value parseJson(const std::string& text) {
    Json::Value value;
    std::istringstream(text) >> value;  // the engine writes well-formed JSON only
    return value;
}

Json::Value message(const std::string& role, const std::string& content) {
    Json::Value entry(Json::objectValue);
    entry["role"] = role;
    entry["content"] = content;
    return entry;
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

std::string trimmed(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) return std::string();
    return std::string(text.substr(start, text.find_last_not_of(" \t\r") - start + 1));
}

// Text for the service, which takes UTF-8 only; says once when something had to be replaced.
std::string checkedText(std::string_view text) {
    static bool warned = false;
    std::string valid(text);
    if (zefa_nlp_util::repairUtf8(valid) && !warned) {
        std::fputs(
            "zefa-chat: the input is not valid UTF-8; its invalid bytes are sent as U+FFFD "
            "(check the encoding of the terminal or file)\n",
            stderr);
        warned = true;
    }
    return valid;
}

// One line per model of the engine's catalog: id, token limit, name; the one in use marked.
void listModels(const ZefaNlpEngine& engine) {
    const Json::Value catalog = parseJson(engine.modelInfo());
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

void reportUnknownModel(const ZefaNlpEngine& engine, const std::string& model) {
    const Json::Value catalog = parseJson(engine.modelInfo());
    std::string offered;
    for (const Json::Value& entry : catalog["models"]) {
        offered += (offered.empty() ? "" : ", ") + entry["model"].asString();
    }
    std::fprintf(stderr, "zefa-chat: the engine offers no model '%s'; its models: %s\n",
                 model.c_str(), offered.c_str());
}

// Prints the fragments of one answer as they arrive, on the thread that delivers them.
class AnswerPrinter {
public:
    explicit AnswerPrinter(bool raw) : raw_(raw) {}

    void begin() {
        answer_.clear();
        fragments_ = 0;
        stopped_ = false;
        started_ = Clock::now();
        firstText_.reset();
    }

    void onResult(const TextGenerationResult& result) {
        if (result.text == kEndMarker) {
            stopped_ = true;
            if (raw_) print(result.text + "\n");
            return;
        }
        ++fragments_;
        const Json::Value fragment = parseJson(result.text);
        const std::string text = fragment["result"].isString() ? fragment["result"].asString() : "";
        // The first fragments often carry only the answer's role.
        if (!text.empty() && !firstText_) firstText_ = Clock::now();
        answer_ += text;
        print(raw_ ? result.text : text);
    }

    // Ends the answer's line, if there is one, and, when asked, says how it went.
    void end(bool stats) {
        if (!raw_ && !answer_.empty()) print("\n");
        if (!stats) return;
        const auto ms = [this](Clock::time_point t) {
            return std::to_string(
                std::chrono::duration_cast<std::chrono::milliseconds>(t - started_).count());
        };
        const std::string first =
            firstText_ ? "first text after " + ms(*firstText_) + " ms" : std::string("no answer");
        std::fprintf(stderr, "zefa-chat: %d fragments, %s, total %s ms%s\n", fragments_,
                     first.c_str(), ms(Clock::now()).c_str(), stopped_ ? " (stopped)" : "");
    }

    const std::string& answer() const { return answer_; }
    bool stopped() const { return stopped_; }

private:
    static void print(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    const bool raw_;
    std::string answer_;
    int fragments_ = 0;
    bool stopped_ = false;
    Clock::time_point started_;
    std::optional<Clock::time_point> firstText_;
};

// Ctrl-C: the signal handler only writes a byte into a pipe; a watcher thread reads it and
// stops the running answer, or ends the program when no answer runs (after beforeExit, which
// puts the terminal back in order).
class InterruptWatcher {
public:
    InterruptWatcher(ZefaNlpEngine& engine, std::function<void()> beforeExit)
        : engine_(engine), beforeExit_(std::move(beforeExit)) {
        if (pipe(fds_) != 0) throw std::runtime_error("pipe failed");
        writeFd_ = fds_[1];
        struct sigaction action {};
        action.sa_handler = [](int) {
            const char byte = 'i';
            (void)!write(writeFd_, &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;  // reads of the prompt and of the pipe go on
        sigaction(SIGINT, &action, nullptr);
        thread_ = std::thread([this] { watch(); });
    }

    ~InterruptWatcher() {
        signal(SIGINT, SIG_DFL);
        const char byte = 'q';
        (void)!write(fds_[1], &byte, 1);
        thread_.join();
        close(fds_[0]);
        close(fds_[1]);
    }

    void setAnswering(bool answering) { answering_ = answering; }

private:
    void watch() {
        for (;;) {
            char byte = 0;
            const ssize_t n = read(fds_[0], &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n != 1 || byte != 'i') return;
            if (answering_.load()) {
                engine_.stopChat();
            } else {
                beforeExit_();
                std::fputs("\n", stdout);
                std::fflush(stdout);
                _exit(kInterrupted);
            }
        }
    }

    static inline int writeFd_ = -1;
    ZefaNlpEngine& engine_;
    const std::function<void()> beforeExit_;
    int fds_[2] = {-1, -1};
    std::atomic<bool> answering_{false};
    std::thread thread_;
};

// Runs one request (a call of the engine) and prints its answer; false when it failed, which
// it says on standard error.
template <typename Request>
bool ask(AnswerPrinter& printer, InterruptWatcher& watcher, const Options& options,
         const Request& request) {
    printer.begin();
    watcher.setAnswering(true);
    const ai_engine::result::AiEngineBaseResult result = request();
    watcher.setAnswering(false);
    printer.end(options.stats);
    if (!result.success) {
        std::fprintf(stderr, "%s\n",
                     zefa_chat::describeFailure(result.error, kServiceAddress).c_str());
    }
    return result.success;
}

// The prompt, and after it what was piped into standard input (a file to summarize, say);
// nothing to ask is a usage error.
std::string oneShotPrompt(const Options& options) {
    std::string prompt = options.prompt;
    if (isatty(STDIN_FILENO) == 0) {
        const std::string piped{std::istreambuf_iterator<char>(std::cin),
                                std::istreambuf_iterator<char>()};
        if (!isBlank(piped)) prompt += (prompt.empty() ? "" : "\n\n") + piped;
    }
    if (isBlank(prompt)) usageError("nothing to ask: the prompt is blank");
    return checkedText(prompt);
}

int askOnce(ZefaNlpEngine& engine, AnswerPrinter& printer, InterruptWatcher& watcher,
            const Options& options, const std::string& prompt) {
    Json::Value input(Json::objectValue);
    bool succeeded = false;
    if (options.system.empty()) {
        input["prompt"] = prompt;
        succeeded = ask(printer, watcher, options,
                        [&] { return engine.generateContent(compactJson(input)); });
    } else {
        // generateContent carries no system message: send a two-message chat instead.
        input["messages"].append(message("system", checkedText(options.system)));
        input["messages"].append(message("user", prompt));
        succeeded = ask(printer, watcher, options, [&] { return engine.chat(compactJson(input)); });
    }
    if (!succeeded) return kRequestFailed;
    return printer.stopped() ? kInterrupted : kOk;
}

struct Entry {
    std::string text;
    bool block = false;       // lines between """ and """: never a command
    bool inputEnded = false;  // the input ended inside the block, which closed there
};

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// One prompt: a line, or the lines of a """ block joined. The quotes may share their lines with
// text ("""first line ... last line"""). Nothing at the end of input; a block left open there
// closes, so that its text is not lost.
std::optional<Entry> readEntry(LineInput& input) {
    std::optional<std::string> line = input.read(false);
    if (!line) return std::nullopt;
    if (line->rfind(kBlockQuote, 0) != 0) return Entry{*line};
    Entry entry{std::string(), true};
    std::vector<std::string> lines;
    std::string rest = line->substr(kBlockQuote.size());
    for (;;) {
        const bool closes = endsWith(rest, kBlockQuote);
        if (closes) rest.resize(rest.size() - kBlockQuote.size());
        lines.push_back(rest);
        if (closes) break;
        line = input.read(true);
        if (!line) {
            entry.inputEnded = true;
            break;
        }
        rest = *line;
    }
    // Quotes on lines of their own add no empty lines.
    if (!lines.empty() && lines.front().empty()) lines.erase(lines.begin());
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    for (std::size_t i = 0; i < lines.size(); ++i) entry.text += (i == 0 ? "" : "\n") + lines[i];
    return entry;
}

// A conversation: the host keeps it, and sends all of it with every prompt.
int converse(ZefaNlpEngine& engine, AnswerPrinter& printer, InterruptWatcher& watcher,
             const Options& options, LineInput& input) {
    Json::Value system(Json::arrayValue);
    if (!options.system.empty()) system.append(message("system", checkedText(options.system)));
    Json::Value messages = system;
    if (input.interactive()) {
        std::printf("zefa-chat %s with %s. /help lists the commands; Ctrl-D or /quit ends.\n",
                    ZEFA_VERSION, engine.currentModel().c_str());
    }
    for (;;) {
        const std::optional<Entry> entry = readEntry(input);
        // The shell's prompt, or what follows, then starts on a line of its own.
        if ((!entry || entry->inputEnded) && input.interactive()) std::fputs("\n", stdout);
        if (!entry) break;
        if (entry->inputEnded) {
            if (isBlank(entry->text)) break;
            std::fputs(
                "zefa-chat: the input ended inside a \"\"\" block; it is sent as if "
                "closed there\n",
                stderr);
        }
        const std::string command = entry->block ? std::string() : trimmed(entry->text);
        if (command == "/quit") break;
        if (command == "/help") {
            std::fputs(kCommandsText, stdout);
            continue;
        }
        if (command == "/reset") {
            messages = system;
            std::puts(system.empty() ? "conversation cleared"
                                     : "conversation cleared (the system message stays)");
            continue;
        }
        if (isBlank(entry->text)) continue;
        messages.append(message("user", checkedText(entry->text)));
        Json::Value request(Json::objectValue);
        request["messages"] = messages;
        if (!ask(printer, watcher, options, [&] { return engine.chat(compactJson(request)); })) {
            messages.removeIndex(messages.size() - 1, nullptr);
        } else if (!printer.answer().empty()) {
            messages.append(message("assistant", printer.answer()));
        }
        if (entry->inputEnded) break;
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (!options.verbose) zefa_chat::holdBackEngineDiagnostics();

    ZefaNlpEngine engine;
    if (options.listModels) {
        listModels(engine);
        return kOk;
    }
    const std::string apiKey = readApiKey(options);
    Json::Value config(Json::objectValue);
    config["apiKey"] = apiKey;
    engine.setConfig(compactJson(config));
    if (!options.model.empty() && !engine.setCurrentModel(options.model)) {
        reportUnknownModel(engine, options.model);
        return kUsage;
    }
    // Read before the engine starts its work, which a usage error would cut short.
    const std::string prompt = options.oneShot ? oneShotPrompt(options) : std::string();
    AnswerPrinter printer(options.raw);
    engine.setTextGenerationResultCallback(
        [&printer](const TextGenerationResult& result) { printer.onResult(result); });
    (void)engine.init();

    std::optional<LineInput> input;
    if (!options.oneShot) input.emplace(apiKey);
    InterruptWatcher watcher(engine, [&input] {
        if (input) input->restoreTerminal();
    });
    const int status = options.oneShot ? askOnce(engine, printer, watcher, options, prompt)
                                       : converse(engine, printer, watcher, options, *input);
    (void)engine.destroy();
    return status;
}
