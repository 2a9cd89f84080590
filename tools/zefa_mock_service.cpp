// SPDX-License-Identifier: MIT
// zefa-mock-service: a local, offline stand-in for the model service. Answers chat-completion
// requests on 127.0.0.1 with an event stream that echoes the last user message token by token.
#include "model_service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <string>

namespace {

constexpr const char* kUsage =
    "Usage: zefa-mock-service [OPTIONS]\n"
    "Serves POST /compatible-mode/v1/chat/completions on 127.0.0.1 with an OpenAI-compatible\n"
    "event stream that echoes the last user message, token by token.\n"
    "\n"
    "Options:\n"
    "  --port N          port to listen on (default 8765)\n"
    "  --pace-ms N       pause between tokens in milliseconds (default 30)\n"
    "  --api-key KEY     accept only this bearer token (default: $ZEFA_MOCK_API_KEY,\n"
    "                    which keeps the key out of the process list; else any\n"
    "                    non-empty one)\n"
    "  --fail-status N   answer every request with HTTP status N and a JSON error object\n"
    "  --stall           send the headers and one event, then nothing\n"
    "  --html-error      answer 502 with an HTML page\n"
    "  --help            show this help\n"
    "\n"
    "Stops on SIGINT or SIGTERM. Logs one line per request to standard error.\n";

struct Options {
    int port = 8765;
    zefa_test::EchoOptions echo;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "zefa-mock-service: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

int number(const char* text, const char* option) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 65535) {
        usageError(std::string("bad value for ") + option + ": " + text);
    }
    return static_cast<int>(value);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    if (const char* key = std::getenv("ZEFA_MOCK_API_KEY")) options.echo.requiredKey = key;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) usageError("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--port") {
            options.port = number(value(), "--port");
        } else if (arg == "--pace-ms") {
            options.echo.pace = std::chrono::milliseconds(number(value(), "--pace-ms"));
        } else if (arg == "--api-key") {
            options.echo.requiredKey = value();
        } else if (arg == "--fail-status") {
            options.echo.failStatus = number(value(), "--fail-status");
        } else if (arg == "--stall") {
            options.echo.stall = true;
        } else if (arg == "--html-error") {
            options.echo.htmlError = true;
        } else {
            usageError("unknown option " + arg);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    // Block the stop signals before any thread starts, then wait for them here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        zefa_test::ModelService service(options.port);
        service.setResponder([&options](const zefa_test::RecordedRequest& request) {
            const zefa_test::ScriptedReply reply = zefa_test::echoReply(request, options.echo);
            std::fprintf(stderr, "zefa-mock-service: %s %s -> %d (%zu body bytes)\n",
                         request.method.c_str(), request.path.c_str(), reply.status,
                         request.body.size());
            return reply;
        });
        std::fprintf(stderr, "zefa-mock-service: listening on %s\n", service.baseUrl().c_str());
        int received = 0;
        sigwait(&stopSignals, &received);
        std::fprintf(stderr, "zefa-mock-service: %s, stopping\n", strsignal(received));
        service.stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "zefa-mock-service: %s\n"
                     "zefa-mock-service: is another service on that port? Stop it, or choose "
                     "another one with --port\n",
                     error.what());
        return 1;
    }
    return 0;
}
