// SPDX-License-Identifier: MIT
// zefa-chat: a command-line host for the engine. It uses the library exactly as the host
// framework does: the public class, the engine interface and the result callback.
#include "zefa_nlp_engine.h"

#include <json/json.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using ai_engine::gen_ai::nlp::TextGenerationResult;
using Clock = std::chrono::steady_clock;

constexpr const char* kEndMarker = "{\"result\":\"\",\"is_end\":true}";

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
    "  -p, --prompt TEXT     ask once and exit (without it: a conversation, one prompt per\n"
    "                        line from standard input; /reset forgets it, /quit ends it)\n"
    "      --system TEXT     a system message that leads the conversation\n"
    "      --model ID        the model to use (see the engine's catalog)\n"
    "      --api-key-file F  read the API key from file F (default: $ZEFA_API_KEY)\n"
    "      --raw             print each fragment's JSON text instead of its text\n"
    "      --stats           print fragments, time to first fragment and total time\n"
    "                        (on by default when standard error is a terminal)\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "\n"
    "Ctrl-C during an answer stops it; at the prompt it ends the program.\n"
    "\n"
    "Exit status:\n"
    "  0    success (in a conversation: end of input or /quit)\n"
    "  1    the request failed (--prompt): 'zefa-chat: error CODE: MESSAGE' on standard error\n"
    "  2    bad usage or configuration\n"
    "  130  interrupted by Ctrl-C\n";

struct Options {
    std::string prompt;
    bool oneShot = false;
    std::string system;
    std::string model;
    std::string apiKeyFile;
    bool raw = false;
    bool stats = isatty(STDERR_FILENO) != 0;
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
            std::printf("zefa-chat %s\n", ZEFA_VERSION);
            std::exit(kOk);
        } else if (arg == "-p" || arg == "--prompt") {
            options.prompt = value();
            options.oneShot = true;
        } else if (arg == "--system") {
            options.system = value();
        } else if (arg == "--model") {
            options.model = value();
        } else if (arg == "--api-key-file") {
            options.apiKeyFile = value();
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--stats") {
            options.stats = true;
        } else {
            usageError("unknown option " + arg);
        }
    }
    return options;
}

std::string readApiKey(const Options& options) {
    if (!options.apiKeyFile.empty()) {
        std::ifstream file(options.apiKeyFile);
        std::string key;
        if (!file || !std::getline(file, key)) usageError("cannot read " + options.apiKeyFile);
        key.erase(key.find_last_not_of(" \t\r\n") + 1);
        return key;
    }
    const char* key = std::getenv("ZEFA_API_KEY");
    if (key == nullptr || *key == '\0') {
        usageError("no API key: set ZEFA_API_KEY or use --api-key-file");
    }
    return key;
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

Json::Value message(const std::string& role, const std::string& content) {
    Json::Value entry(Json::objectValue);
    entry["role"] = role;
    entry["content"] = content;
    return entry;
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
    }

    void onResult(const TextGenerationResult& result) {
        if (result.text == kEndMarker) {
            stopped_ = true;
            if (raw_) print(result.text + "\n");
            return;
        }
        if (fragments_++ == 0) firstFragment_ = Clock::now();
        Json::Value fragment;
        std::istringstream(result.text) >> fragment;
        const std::string text = fragment["result"].isString() ? fragment["result"].asString() : "";
        answer_ += text;
        print(raw_ ? result.text : text);
    }

    // Ends the answer's line and, when asked, says how it went.
    void end(bool stats) {
        if (!raw_) print("\n");
        if (!stats) return;
        const auto ms = [this](Clock::time_point t) {
            return static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(t - started_).count());
        };
        std::fprintf(stderr, "zefa-chat: %d fragments, first after %lld ms, total %lld ms%s\n",
                     fragments_, fragments_ > 0 ? ms(firstFragment_) : -1LL, ms(Clock::now()),
                     stopped_ ? " (stopped)" : "");
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
    Clock::time_point firstFragment_;
};

// Ctrl-C: the signal handler only writes a byte into a pipe; a watcher thread reads it and
// stops the running answer, or ends the program when no answer runs.
class InterruptWatcher {
public:
    explicit InterruptWatcher(ZefaNlpEngine& engine) : engine_(engine) {
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
                std::fputs("\n", stdout);
                std::fflush(stdout);
                _exit(kInterrupted);
            }
        }
    }

    static inline int writeFd_ = -1;
    ZefaNlpEngine& engine_;
    int fds_[2] = {-1, -1};
    std::atomic<bool> answering_{false};
    std::thread thread_;
};

void reportFailure(const ai_engine::result::AiEngineBaseResult& result) {
    std::fprintf(stderr, "zefa-chat: error %d: %s\n", result.error.code,
                 result.error.message.c_str());
}

int askOnce(ZefaNlpEngine& engine, AnswerPrinter& printer, InterruptWatcher& watcher,
            const Options& options) {
    printer.begin();
    watcher.setAnswering(true);
    ai_engine::result::AiEngineBaseResult result;
    if (options.system.empty()) {
        Json::Value input(Json::objectValue);
        input["prompt"] = options.prompt;
        result = engine.generateContent(compactJson(input));
    } else {
        // generateContent carries no system message: send a two-message chat instead.
        Json::Value input(Json::objectValue);
        input["messages"].append(message("system", options.system));
        input["messages"].append(message("user", options.prompt));
        result = engine.chat(compactJson(input));
    }
    watcher.setAnswering(false);
    printer.end(options.stats);
    if (!result.success) {
        reportFailure(result);
        return kRequestFailed;
    }
    return printer.stopped() ? kInterrupted : kOk;
}

// A conversation: the host keeps it, and sends all of it with every prompt.
int converse(ZefaNlpEngine& engine, AnswerPrinter& printer, InterruptWatcher& watcher,
             const Options& options) {
    const bool interactive = isatty(STDIN_FILENO) != 0;
    Json::Value history(Json::arrayValue);
    std::string line;
    for (;;) {
        if (interactive) {
            std::fputs("> ", stdout);
            std::fflush(stdout);
        }
        if (!std::getline(std::cin, line) || line == "/quit") break;
        if (line == "/reset") {
            history = Json::Value(Json::arrayValue);
            continue;
        }
        if (line.empty()) continue;
        history.append(message("user", line));
        Json::Value input(Json::objectValue);
        if (!options.system.empty()) input["messages"].append(message("system", options.system));
        for (const Json::Value& entry : history) input["messages"].append(entry);

        printer.begin();
        watcher.setAnswering(true);
        const auto result = engine.chat(compactJson(input));
        watcher.setAnswering(false);
        printer.end(options.stats);
        if (!result.success) {
            reportFailure(result);
            history.removeIndex(history.size() - 1, nullptr);
        } else if (!printer.answer().empty()) {
            history.append(message("assistant", printer.answer()));
        }
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    const std::string apiKey = readApiKey(options);

    ZefaNlpEngine engine;
    Json::Value config(Json::objectValue);
    config["apiKey"] = apiKey;
    engine.setConfig(compactJson(config));
    if (!options.model.empty() && !engine.setCurrentModel(options.model)) return kUsage;
    AnswerPrinter printer(options.raw);
    engine.setTextGenerationResultCallback(
        [&printer](const TextGenerationResult& result) { printer.onResult(result); });
    (void)engine.init();

    InterruptWatcher watcher(engine);
    const int status = options.oneShot ? askOnce(engine, printer, watcher, options)
                                       : converse(engine, printer, watcher, options);
    (void)engine.destroy();
    return status;
}
