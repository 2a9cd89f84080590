// SPDX-License-Identifier: MIT
// zefa-chat as a person runs it, against the local service on the build's service address.
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace zefa_test {
namespace {

// How a child's standard streams are connected.
enum class Streams {
    Pipes,     // one pipe each
    Terminal,  // one pseudo-terminal for all three, the child's controlling terminal
};

// A child process run as a person would: through pipes, or typing on a terminal.
class Process {
public:
    Process(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            Streams streams = Streams::Pipes)
        : streams_(streams) {
        int in[2], out[2], err[2];
        if (streams == Streams::Terminal) {
            winsize size{kRows, kColumns, 0, 0};
            if (openpty(&in[1], &in[0], nullptr, nullptr, &size) != 0)
                throw std::runtime_error("pty");
            out[0] = dup(in[1]);
            out[1] = dup(in[0]);
            err[0] = -1;
            err[1] = dup(in[0]);
        } else if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        child_.emplace([&] {
            // A session of its own, whose terminal turns Ctrl-C into SIGINT for the child only.
            if (streams == Streams::Terminal && (setsid() < 0 || ioctl(in[0], TIOCSCTTY, 0) != 0)) {
                return 127;
            }
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
                if (fd > STDERR_FILENO) close(fd);
            }
            for (const std::string& assignment : environment) putenv(strdup(assignment.c_str()));
            execv(argv[0], argv.data());
            return 127;
        });
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }

    ~Process() {
        closeStdin();
        child_.reset();  // ends it if it still runs
        close(stdout_);
        if (stderr_ >= 0) close(stderr_);
        if (terminal_ >= 0) close(terminal_);
    }

    void write(const std::string& text) { (void)!::write(stdin_, text.data(), text.size()); }

    void closeStdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }

    void signal(int number) { child_->signal(number); }

    // On a terminal: keeps it open beside the child, so that its settings outlast the child
    // (a pseudo-terminal's are reset once no one holds it).
    void holdTerminal() { terminal_ = open(ptsname(stdin_), O_RDWR | O_NOCTTY | O_CLOEXEC); }
    // The settings of the terminal held.
    termios terminalSettings() const {
        termios settings{};
        if (tcgetattr(terminal_, &settings) != 0) throw std::runtime_error("tcgetattr");
        return settings;
    }

    // Reads standard output until text appears after what earlier waits found; false after a
    // generous limit.
    bool waitForOutput(const std::string& text, seconds limit = seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t at = 0;
        while ((at = out_.find(text, seen_)) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !pump(100)) return false;
        }
        seen_ = at + text.size();
        return true;
    }

    // Ends the input of a child on pipes, then waits for its exit (bounded). Returns the exit
    // status, or 128 + signal.
    int wait() {
        if (streams_ == Streams::Pipes) closeStdin();
        const auto deadline = std::chrono::steady_clock::now() + seconds(30);
        while (child_->running()) {
            (void)pump(50);
            if (std::chrono::steady_clock::now() > deadline) child_->signal(SIGKILL);
        }
        while (pump(0)) {
        }
        return child_->wait();
    }

    // On a terminal: everything the child wrote, with the terminal's line ends.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    static constexpr unsigned short kRows = 24;
    static constexpr unsigned short kColumns = 100;

    // Reads what is available on stdout and stderr, waiting up to timeoutMs for it; false once
    // both are closed (a terminal whose child has gone reads as an error), or when nothing is
    // there to read without waiting.
    bool pump(int timeoutMs) {
        pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        const int ready = poll(fds, 2, timeoutMs);
        if (ready == 0) return timeoutMs > 0;
        if (ready < 0) return true;
        bool open = false;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0) continue;
            if (fds[i].revents == 0) {
                open = true;
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out_ : err_).append(buffer, std::size_t(n));
                open = true;
            }
        }
        return open;
    }

    const Streams streams_;
    std::optional<ChildProcess> child_;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    int terminal_ = -1;
    std::string out_, err_;
    std::size_t seen_ = 0;
};

// A pseudo-terminal can be had here (a chroot without /dev/pts has none).
bool terminalsAvailable() {
    int controller = -1;
    int terminal = -1;
    if (openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0) return false;
    close(controller);
    close(terminal);
    return true;
}

constexpr const char* kNoTerminal = "no pseudo-terminal can be opened here (no /dev/pts?)";

const std::string kKey = "test-key";
const std::string kBlockEndedAtEnd =
    "zefa-chat: the input ended inside a \"\"\" block; it is sent as if closed there";

class ZefaChat : public testing::Test {
protected:
    void SetUp() override {
        if (ZEFA_SERVICE_PORT == 0) GTEST_SKIP() << "the build's service is not on 127.0.0.1";
        service = std::make_unique<ModelService>(ZEFA_SERVICE_PORT);
        service->setResponder(
            [this](const RecordedRequest& request) { return echoReply(request, echo); });
    }

    Process run(std::vector<std::string> args, const std::string& key = kKey,
                Streams streams = Streams::Pipes) {
        args.insert(args.begin(), ZEFA_CHAT_PATH);
        // A cross build's programs may need an emulator to run here.
        if (*ZEFA_TEST_EMULATOR != '\0') args.insert(args.begin(), ZEFA_TEST_EMULATOR);
        return Process(
            args,
            {"ZEFA_API_KEY=" + key, "XDG_STATE_HOME=" + stateHome, "TERM=xterm", "LANG=C.UTF-8"},
            streams);
    }

    Process runOnTerminal(std::vector<std::string> args) {
        return run(std::move(args), kKey, Streams::Terminal);
    }

    // The text of the last message of each request.
    std::vector<std::string> lastMessages() const {
        std::vector<std::string> texts;
        for (const RecordedRequest& request : service->requests()) {
            const Json::Value messages = parse(request.body)["messages"];
            texts.push_back(messages[messages.size() - 1]["content"].asString());
        }
        return texts;
    }

    EchoOptions echo{milliseconds(1), kKey};
    std::unique_ptr<ModelService> service;
    const ScratchDirectory scratch{"chat-state"};
    const std::string& stateHome = scratch.path();
};

TEST_F(ZefaChat, OneShotPrintsTheStreamedAnswer) {
    Process chat = run({"-p", "hello 世界"});
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(chat.out(), "You said: hello 世界\n");
    ASSERT_EQ(service->requests().size(), 1u);
    const Json::Value body = parse(service->requests()[0].body);
    EXPECT_EQ(body["messages"].size(), 1u);
}

TEST_F(ZefaChat, PipedTextFollowsThePromptAsUtf8) {
    Process chat = run({"-p", "Summarize:"});
    chat.write("caf\xE9 notes\n\xFF\n");
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(lastMessages(), std::vector<std::string>{"Summarize:\n\ncaf\uFFFD notes\n\uFFFD\n"});
    EXPECT_EQ(chat.err(),
              "zefa-chat: the input is not valid UTF-8; its invalid bytes are sent as U+FFFD "
              "(check the encoding of the terminal or file)\n");
}

TEST_F(ZefaChat, RawPrintsOneJsonFragmentPerEvent) {
    Process chat = run({"--raw", "-p", "a b"});
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    // role, "You ", "said: ", "a ", "b", stop
    std::size_t fragments = 0;
    for (std::size_t at = 0; (at = chat.out().find("\"sentence_id\" : ", at)) != std::string::npos;
         ++at) {
        ++fragments;
    }
    EXPECT_EQ(fragments, 6u);
    EXPECT_EQ(chat.out().substr(0, 2), "{\n");
}

TEST_F(ZefaChat, StatsTimeTheFirstTextNotTheFirstFragment) {
    // Each event comes a pace after the role event that opens the reply.
    echo.pace = milliseconds(300);
    Process chat = run({"--stats", "-p", "hi"});
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    std::smatch match;
    const std::string err = chat.err();
    ASSERT_TRUE(std::regex_match(
        err, match,
        std::regex("zefa-chat: 5 fragments, first text after (\\d+) ms, total \\d+ ms\n")))
        << err;
    EXPECT_GE(std::stoi(match[1]), 300);

    service->setResponder([](const RecordedRequest&) {
        return ScriptedReply{200, "text/event-stream", streamOf({})};
    });
    Process silent = run({"--stats", "-p", "hi"});
    EXPECT_EQ(silent.wait(), 0) << silent.err();
    EXPECT_TRUE(std::regex_match(silent.err(),
                                 std::regex("zefa-chat: 2 fragments, no answer, total \\d+ ms\n")))
        << silent.err();

    if (*ZEFA_TEST_EMULATOR != '\0') return;  // signals: see CtrlCStopsTheAnswer...
    // A stopped answer: role, "partial", and the end marker in place of the last event.
    service->setResponder([](const RecordedRequest&) {
        ScriptedReply reply = silentAfterFirstEvent(seconds(60));
        reply.pieces.push_back(contentEvent("partial"));
        return reply;
    });
    Process stopped = run({"--stats", "-p", "hi"});
    stopped.closeStdin();
    ASSERT_TRUE(stopped.waitForOutput("partial"));
    stopped.signal(SIGINT);
    EXPECT_EQ(stopped.wait(), 130) << stopped.err();
    EXPECT_TRUE(std::regex_match(
        stopped.err(),
        std::regex(
            "zefa-chat: 3 fragments, first text after \\d+ ms, total \\d+ ms \\(stopped\\)\n")))
        << stopped.err();
}

TEST_F(ZefaChat, PipedConversationSendsTheGrowingHistory) {
    Process chat = run({"--system", "be brief"});
    chat.write("first\n   \nsecond\n\"\"\"\nleft\nopen");
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(chat.out(), "You said: first\nYou said: second\nYou said: left\nopen\n");
    EXPECT_EQ(chat.err(), kBlockEndedAtEnd + "\n");
    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 3u);
    const Json::Value messages = parse(requests[1].body)["messages"];
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0]["role"], "system");
    EXPECT_EQ(messages[1]["content"], "first");
    EXPECT_EQ(messages[2]["role"], "assistant");
    EXPECT_EQ(messages[2]["content"], "You said: first");
    EXPECT_EQ(messages[3]["content"], "second");
}

TEST_F(ZefaChat, CtrlCStopsTheAnswerAndTheConversationGoesOn) {
    if (*ZEFA_TEST_EMULATOR != '\0') {
        // qemu-user 7.2 aborts any program that joins a thread after a signal was delivered.
        GTEST_SKIP() << "signals under " << ZEFA_TEST_EMULATOR;
    }
    echo.pace = milliseconds(200);
    Process chat = run({});
    chat.write("a long question with many many words in it\n");
    ASSERT_TRUE(chat.waitForOutput("said"));
    chat.signal(SIGINT);
    ASSERT_TRUE(chat.waitForOutput("\n"));
    chat.write("next\n");
    ASSERT_TRUE(chat.waitForOutput("You said: next\n"));
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(chat.out().find("many many words"), std::string::npos);
}

// Keys as a terminal sends them.
const std::string kEnter = "\r";
const std::string kLeft = "\x1b[D";
const std::string kUp = "\x1b[A";
const std::string kCtrlC = "\x03";
const std::string kCtrlD = "\x04";
// Text pasted while the terminal's bracketed paste is on; its line ends come as CR.
std::string pasted(const std::string& text) { return "\x1b[200~" + text + "\x1b[201~"; }
const std::string kPasteModeOn = "\x1b[?2004h";
const std::string kPasteModeOff = "\x1b[?2004l";
// The prompt, with the terminal's bracketed paste turned on before it.
const std::string kPrompt = kPasteModeOn + "> ";

struct Keystrokes {
    std::string keys;
    std::vector<std::string> awaited;  // output that follows them, in this order
};

// A session at the terminal, which ends with status 0.
struct TerminalSession {
    const char* name;
    std::vector<Keystrokes> steps;
    std::vector<std::string> prompts;  // what each request asked
    std::size_t lastRequestMessages;   // how many messages the last request sent
    std::vector<std::string> args{};
    bool stopsAnAnswer = false;  // Ctrl-C is typed during an answer, which comes slowly for it
};

TEST_F(ZefaChat, TerminalSessions) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    const std::string prompt = kPrompt;
    const std::string noCommand = "zefa-chat: no command /sve; /help lists them";
    const TerminalSession sessions[] = {
        {"line editing and recall",
         {{"", {"/help lists the commands", prompt}},
          {"helo" + kLeft + kLeft + "l" + kEnter, {"You said: hello", prompt}},
          {kUp + kEnter, {"You said: hello", prompt}},
          {"caf\u00e9 \u4e16\u754c" + kLeft + "!" + kEnter,
           {"You said: caf\u00e9 \u4e16!\u754c", prompt}},
          {kCtrlD, {"\n"}}},
         {"hello", "hello", "caf\u00e9 \u4e16!\u754c"},
         5},
        {"commands, and prompts of several lines recalled whole",
         {{"/help" + kEnter, {"/reset", prompt}},
          {"first" + kEnter, {"You said: first", prompt}},
          {"/reset" + kEnter, {"conversation cleared (the system message stays)", prompt}},
          {"   " + kEnter, {prompt}},
          {"/sve x.json" + kEnter, {noCommand, prompt}},
          {"//etc" + kEnter, {"You said: /etc", prompt}},
          {"\"\"\"" + kEnter, {"... "}},
          {"one" + kEnter, {"... "}},
          {"two\"\"\"" + kEnter, {"You said: one", prompt}},
          {kUp + kEnter, {"You said: one", prompt}},
          {"/quit" + kEnter, {}}},
         {"first", "/etc", "one\ntwo", "one\ntwo"},
         6,
         {"--system", "be brief"}},
        {"a paste of three lines is one prompt",
         {{"Compare: " + pasted("one\rtwo\r\tthree\r") + kEnter, {"You said: Compare", prompt}},
          {kUp + kEnter, {"You said: Compare", prompt}},
          {kCtrlD, {"\n"}}},
         {"Compare: one\ntwo\n\tthree", "Compare: one\ntwo\n\tthree"},
         3},
        {"a line that begins with a paste is a prompt; a typed command takes a pasted argument",
         {{pasted("/usr/bin/env: what?") + kEnter, {"You said: /usr/bin/env: what?", prompt}},
          {kUp + kEnter, {"You said: /usr/bin/env: what?", prompt}},
          {"/sve " + pasted("x.json") + kEnter, {noCommand, prompt}},
          {kCtrlD, {"\n"}}},
         {"/usr/bin/env: what?", "/usr/bin/env: what?"},
         3},
        {"Ctrl-C ends a paste whose end does not come, and drops the line",
         {{"", {prompt}},  // Ctrl-C before the prompt would end the program
          {"typed \x1b[200~never ended\r" + kCtrlC, {"^C", prompt}},
          {"next" + kEnter, {"You said: next", prompt}},
          {kCtrlD, {"\n"}}},
         {"next"},
         1},
        {"tabs, typed and pasted, are text",
         {{"a\tb" + kEnter, {"You said: a", prompt}},
          {"\"\"\"" + kEnter + "if x:" + kEnter + "\treturn 1" + kEnter + "a\tb\tc" + kEnter +
               "\"\"\"" + kEnter,
           {"You said: if", prompt}},
          {kCtrlD, {"\n"}}},
         {"a\tb", "if x:\n\treturn 1\na\tb\tc"},
         3},
        {"Ctrl-D inside a prompt of several lines sends it, then ends",
         {{"\"\"\"" + kEnter, {"... "}},
          {"kept" + kEnter, {"... "}},
          {kCtrlD, {kBlockEndedAtEnd, "You said: kept"}}},
         {"kept"},
         1},
        {"Ctrl-C at the prompt drops the line, and the conversation goes on",
         {{"first" + kEnter, {"You said: first", prompt}},
          {"half typed" + kCtrlC, {"^C", prompt}},
          {"\"\"\"" + kEnter + "a block" + kCtrlC, {"^C", prompt}},
          {kCtrlC, {"(Ctrl-D or /quit ends the conversation)", prompt}},
          {"second" + kEnter, {"You said: second", prompt}},
          {kCtrlD, {"\n"}}},
         {"first", "second"},
         3},
        {"Ctrl-C stops an answer, which the conversation leaves out",
         {{"many many words in a long question" + kEnter, {"said"}},
          {kCtrlC, {"(stopped)", prompt}},
          {"next" + kEnter, {"You said: next", prompt}},
          {kCtrlD, {"\n"}}},
         {"many many words in a long question", "next"},
         1,
         {},
         true},
    };
    for (const TerminalSession& session : sessions) {
        SCOPED_TRACE(session.name);
        if (session.stopsAnAnswer && *ZEFA_TEST_EMULATOR != '\0') {
            // qemu-user 7.2 aborts any program that joins a thread after a signal was delivered.
            std::printf("skipped under %s (signals): %s\n", ZEFA_TEST_EMULATOR, session.name);
            continue;
        }
        service->stop();
        service = std::make_unique<ModelService>(ZEFA_SERVICE_PORT);
        const milliseconds pace(session.stopsAnAnswer ? 200 : 1);
        service->setResponder([pace](const RecordedRequest& r) {
            return echoReply(r, EchoOptions{pace, kKey});
        });
        Process chat = runOnTerminal(session.args);
        for (const Keystrokes& step : session.steps) {
            chat.write(step.keys);
            for (const std::string& text : step.awaited) {
                ASSERT_TRUE(chat.waitForOutput(text)) << chat.out();
            }
        }
        EXPECT_EQ(chat.wait(), 0) << chat.out();
        EXPECT_GT(chat.out().rfind(kPasteModeOff), chat.out().rfind(kPasteModeOn))
            << "the terminal is left in bracketed paste mode";
        EXPECT_EQ(lastMessages(), session.prompts);
        const auto requests = service->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(parse(requests.back().body)["messages"].size(), session.lastRequestMessages);
        if (session.stopsAnAnswer) {
            EXPECT_EQ(chat.out().find("question", chat.out().find("said")), std::string::npos)
                << "the stopped answer went on";
        }
    }
}

// Whether texts stand in text in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& texts) {
    std::size_t at = 0;
    for (const std::string& part : texts) {
        if ((at = text.find(part, at)) == std::string::npos) return false;
        at += part.size();
    }
    return true;
}

// While an answer has no text, a terminal shows a status, erased before the answer or a line
// of the engine's own; no pipe shows it, nor --raw.
TEST_F(ZefaChat, ThinkingStatusOnlyOnATerminal) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    const std::string thinking = "\x1b[2mthinking\u2026\x1b[0m";
    const std::string erased = "\r\x1b[K";
    const struct {
        std::vector<std::string> args;
        std::string key;
        Streams streams;
        std::vector<std::string> shown;  // in this order, on the terminal or standard error
    } rows[] = {
        {{"-p", "hi"}, kKey, Streams::Terminal, {thinking, erased, "You said: hi"}},
        {{"--verbose", "-p", "hi"},
         "wrong-key",
         Streams::Terminal,
         {thinking, erased, "zefa chat failed: "}},
        {{"--raw", "-p", "hi"}, kKey, Streams::Terminal, {"\"is_end\""}},
        {{"--stats", "-p", "hi"}, kKey, Streams::Pipes, {"zefa-chat: "}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        Process chat = run(row.args, row.key, row.streams);
        chat.wait();
        const std::string& shown = row.streams == Streams::Terminal ? chat.out() : chat.err();
        EXPECT_TRUE(inOrder(shown, row.shown)) << shown;
        if (row.shown.front() != thinking) {
            EXPECT_EQ(shown.find("thinking"), std::string::npos) << shown;
        }
    }
}

// A signal that ends the program at the prompt (a key of the terminal's, its hang-up, or another
// process) first gives the terminal back as the shell had it: bracketed paste off, and its own
// line editing, echo and Ctrl-C on. Ctrl-Z the same, and once the program goes on, it sets the
// prompt up again with what was typed.
TEST_F(ZefaChat, SignalsAtThePromptGiveTheTerminalBack) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    if (*ZEFA_TEST_EMULATOR != '\0') GTEST_SKIP() << "signals under " << ZEFA_TEST_EMULATOR;
    // Ctrl-\ dumps no core here.
    rlimit cores{};
    ASSERT_EQ(getrlimit(RLIMIT_CORE, &cores), 0);
    const rlimit noCores{0, cores.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &noCores), 0);
    const struct {
        const char* name;
        std::function<void(Process&)> send;
        int signal;
    } rows[] = {
        {"Ctrl-\\", [](Process& chat) { chat.write("\x1c"); }, SIGQUIT},
        {"kill -TERM", [](Process& chat) { chat.signal(SIGTERM); }, SIGTERM},
        {"hang-up", [](Process& chat) { chat.signal(SIGHUP); }, SIGHUP},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Process chat = runOnTerminal({});
        chat.holdTerminal();
        ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        chat.write("typed");
        ASSERT_TRUE(chat.waitForOutput("typed")) << chat.out();
        row.send(chat);
        EXPECT_EQ(chat.wait(), 128 + row.signal) << chat.out();
        EXPECT_GT(chat.out().rfind(kPasteModeOff), chat.out().rfind(kPasteModeOn)) << chat.out();
        const termios settings = chat.terminalSettings();
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ICANON | ECHO | ISIG));
        EXPECT_EQ(settings.c_cc[VINTR], '\x03');
    }
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &cores), 0);

    // Started by the test, the program has no shell to stop it for: its Ctrl-Z goes on at once.
    Process chat = runOnTerminal({});
    ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
    chat.write("typed");
    ASSERT_TRUE(chat.waitForOutput("typed")) << chat.out();
    chat.write("\x1a");
    ASSERT_TRUE(chat.waitForOutput(kPasteModeOff)) << chat.out();
    ASSERT_TRUE(chat.waitForOutput(kPrompt + "typed")) << chat.out();
    chat.write(" on" + kEnter);
    ASSERT_TRUE(chat.waitForOutput("You said: typed on")) << chat.out();
    ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
    chat.write(kCtrlD);
    EXPECT_EQ(chat.wait(), 0) << chat.out();
}

// Sessions that run at once each keep their prompts, in a file of the user's alone that holds
// no line with the key and is cut back once it has grown long.
TEST_F(ZefaChat, HistoryIsSharedPrivateAndBounded) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    const std::string path = stateHome + "/zefa-chat/history";
    // A file of an earlier version: its entries as typed, backslashes and all.
    const std::string earlier = R"(dir C:\new\table)";
    ASSERT_EQ(mkdir((stateHome + "/zefa-chat").c_str(), 0700), 0);
    (void)scratch.file("zefa-chat/history", earlier + "\n");
    {
        Process first = runOnTerminal({});
        ASSERT_TRUE(first.waitForOutput(kPrompt)) << first.out();
        first.write(kUp + kEnter);
        ASSERT_TRUE(first.waitForOutput("You said: " + earlier)) << first.out();
        ASSERT_TRUE(first.waitForOutput(kPrompt)) << first.out();
        Process second = runOnTerminal({});
        const std::pair<Process*, std::string> entries[] = {{&first, "hello"},
                                                            {&second, "second"},
                                                            {&second, "my key is " + kKey},
                                                            {&first, "again"}};
        for (const auto& [chat, line] : entries) {
            chat->write(line + kEnter);
            ASSERT_TRUE(chat->waitForOutput("You said: " + line)) << chat->out();
            ASSERT_TRUE(chat->waitForOutput(kPrompt)) << chat->out();
        }
        for (Process* chat : {&first, &second}) {
            chat->write(kCtrlD);
            EXPECT_EQ(chat->wait(), 0) << chat->out();
        }
    }
    EXPECT_EQ(readFile(path),
              "#zefa-chat history: one prompt a line, \\n a line end in it, \\\\ a backslash\n"
              R"(dir C:\\new\\table)"
              "\nhello\nsecond\nagain\n");

    constexpr int kLongHistory = 3000;
    {
        std::ofstream file(path, std::ios::app);
        for (int i = 0; i < kLongHistory; ++i) file << "old " << i << "\n";
    }
    Process next = runOnTerminal({});
    next.write(kUp + kEnter);
    EXPECT_TRUE(next.waitForOutput("You said: old 2999")) << next.out();
    EXPECT_TRUE(next.waitForOutput(kPrompt)) << next.out();
    next.write(kCtrlD);
    EXPECT_EQ(next.wait(), 0) << next.out();
    const std::string saved = readFile(path);
    EXPECT_LT(std::count(saved.begin(), saved.end(), '\n'), kLongHistory);
    EXPECT_TRUE(saved.size() > 10 && saved.substr(saved.size() - 10) == "\nold 2999\n") << saved;
    struct stat file {};
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
}

// Text from the service, in an answer or quoted by a failure, is shown; it cannot retitle or
// clear the terminal.
TEST_F(ZefaChat, ServiceTextCannotDriveTheTerminal) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    ScriptedReply refusal{
        400, "application/json", {R"({"error": {"message": "bad \u001b[2J request"}})"}};
    const struct {
        const char* name;
        ScriptedReply reply;
        int status;
        std::string shown;
    } rows[] = {
        {"answer",
         {200, "text/event-stream", streamOf({"\x1b]0;owned\x07", "\x1b[2J", "ok"})},
         0,
         "^[]0;owned^G^[[2Jok\r\n"},
        {"failure line", refusal, 1, "(HTTP 400, 408 or 500): bad ^[[2J request (error 7)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        service->setResponder([reply = row.reply](const RecordedRequest&) { return reply; });
        Process chat = runOnTerminal({"-p", "hi"});
        EXPECT_EQ(chat.wait(), row.status);
        EXPECT_NE(chat.out().find(row.shown), std::string::npos) << chat.out();
        for (const char* control : {"\x1b]", "\x1b[2J", "\x07"}) {
            EXPECT_EQ(chat.out().find(control), std::string::npos) << chat.out();
        }
    }
}

// A conversation saved with /save goes on in a new process with --load (or /load), and the last
// one at a terminal with --continue: each sends the same messages, then its prompt. Neither file
// holds the key, and both are the user's alone.
TEST_F(ZefaChat, ConversationsLastAcrossSessions) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    const std::string saved = stateHome + "/saved.json";
    const std::string last = stateHome + "/zefa-chat/last.json";
    {
        Process chat = runOnTerminal({"--system", "be brief"});
        for (const std::string& line : {std::string("first"), "my key is " + kKey}) {
            chat.write(line + kEnter);
            ASSERT_TRUE(chat.waitForOutput("You said: " + line)) << chat.out();
            ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        }
        chat.write("/save " + saved + kEnter);
        ASSERT_TRUE(chat.waitForOutput("saved 5 messages to " + saved)) << chat.out();
        ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        chat.write(kCtrlD);
        EXPECT_EQ(chat.wait(), 0) << chat.out();
    }
    for (const std::string& path : {saved, last}) {
        SCOPED_TRACE(path);
        struct stat file {};
        ASSERT_EQ(stat(path.c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 0777, 0600u);
        EXPECT_EQ(readFile(path).find(kKey), std::string::npos) << readFile(path);
    }
    EXPECT_EQ(readFile(saved), readFile(last));
    const Json::Value conversation = parse(readFile(saved))["messages"];
    ASSERT_EQ(conversation.size(), 5u);
    EXPECT_EQ(conversation[0]["content"], "be brief");
    EXPECT_EQ(conversation[3]["content"], "my key is [API key removed]");

    Json::Value expected = conversation;
    Json::Value prompt(Json::objectValue);
    prompt["role"] = "user";
    prompt["content"] = "next";
    expected.append(prompt);
    const struct {
        std::vector<std::string> args;
        std::string input;  // through a pipe; at a terminal when empty
    } rows[] = {
        {{"--load", saved}, "next\n"}, {{}, "/load " + saved + "\nnext\n"}, {{"--continue"}, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args) + row.input);
        if (row.input.empty()) {
            Process chat = runOnTerminal(row.args);
            ASSERT_TRUE(chat.waitForOutput("Going on with a conversation of 4 messages."))
                << chat.out();
            chat.write("next" + kEnter);
            ASSERT_TRUE(chat.waitForOutput("You said: next")) << chat.out();
            ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
            chat.write(kCtrlD);
            EXPECT_EQ(chat.wait(), 0) << chat.out();
        } else {
            Process chat = run(row.args);
            chat.write(row.input);
            EXPECT_EQ(chat.wait(), 0) << chat.err();
        }
        EXPECT_EQ(parse(service->requests().back().body)["messages"], expected);
    }
    EXPECT_EQ(parse(readFile(last))["messages"].size(), 7u);

    // A conversation cleared or loaded is kept as it then is, without an answer after it.
    const std::pair<std::string, Json::ArrayIndex> commands[] = {{"/reset", 1u},
                                                                 {"/load " + saved, 5u}};
    for (const auto& [command, kept] : commands) {
        SCOPED_TRACE(command);
        Process chat = runOnTerminal({"--continue"});
        ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        chat.write(command + kEnter);
        ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        chat.write(kCtrlD);
        EXPECT_EQ(chat.wait(), 0) << chat.out();
        EXPECT_EQ(parse(readFile(last))["messages"].size(), kept) << readFile(last);
    }
}

// A history file or directory that is not the user's own and private is not used, and none is
// reached through a symbolic link: one warning, and the file stays as it was.
TEST_F(ZefaChat, HistoryOnlyWhereItIsPrivate) {
    if (!terminalsAvailable()) GTEST_SKIP() << kNoTerminal;
    const std::string directory = stateHome + "/zefa-chat";
    const std::string path = directory + "/history";
    const std::string elsewhere = stateHome + "/elsewhere";
    constexpr uid_t kNobody = 65534;
    const struct {
        const char* name;
        std::function<void()> spoil;
        std::string warning;
        bool asRoot;  // only root can give a file away
    } rows[] = {
        {"owned by another user", [&] { ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0); },
         path + " is owned by another user", true},
        {"open to others", [&] { chmod(path.c_str(), 0644); },
         path + " is open to other users (chmod 600 " + path + " makes it yours alone)", false},
        {"a symbolic link",
         [&] {
             std::filesystem::rename(path, elsewhere);
             std::filesystem::create_symlink(elsewhere, path);
         },
         path + " is a symbolic link", false},
        {"in a directory open to others", [&] { chmod(directory.c_str(), 0777); },
         directory + " is open to other users (chmod 700 " + directory + " makes it yours alone)",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.asRoot && geteuid() != 0) continue;
        std::filesystem::remove_all(directory);
        std::filesystem::remove(elsewhere);
        mkdir(directory.c_str(), 0700);
        (void)scratch.file("zefa-chat/history", "old\n");
        row.spoil();
        Process chat = runOnTerminal({});
        const std::string warning = "zefa-chat: the history is not kept: " + row.warning + "\r\n";
        ASSERT_TRUE(chat.waitForOutput(warning)) << chat.out();
        ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        chat.write("hello" + kEnter);
        ASSERT_TRUE(chat.waitForOutput("You said: hello")) << chat.out();
        ASSERT_TRUE(chat.waitForOutput(kPrompt)) << chat.out();
        chat.write(kCtrlD);
        EXPECT_EQ(chat.wait(), 0) << chat.out();
        EXPECT_EQ(chat.out().find(warning, chat.out().find(warning) + 1), std::string::npos);
        EXPECT_EQ(readFile(std::filesystem::exists(elsewhere) ? elsewhere : path), "old\n");
    }
}

struct FailureCase {
    const char* name;
    std::function<void(EchoOptions&)> service;  // how the service fails
    std::vector<std::string> args;
    std::string key;
    std::string err;  // exactly; for a failed connection the start and the end
    std::string errEnd;
};

TEST_F(ZefaChat, EachFailureIsOneLineInWords) {
    const auto failing = [](int status) {
        return [status](EchoOptions& options) { options.failStatus = status; };
    };
    const auto none = [](EchoOptions&) {};
    const std::string keyHint =
        " (error 10) Check the key in ZEFA_API_KEY or the --api-key-file.\n";
    const std::string refused =
        "zefa-chat: the service refused the API key (HTTP 401, 403 or "
        "404): Incorrect API key provided." +
        keyHint;
    const std::string laterHint = " The service may be busy or down; retry later.\n";
    const FailureCase cases[] = {
        {"wrong key", none, {}, "wrong-key", refused, ""},
        {"wrong key, verbose",
         none,
         {"--verbose"},
         "wrong-key",
         "zefa chat failed: {\"error\":{\"code\":\"invalid_api_key\",\"message\":\"Incorrect API "
         "key provided.\",\"type\":\"invalid_request_error\"}}\n" +
             refused,
         ""},
        {"bad request",
         failing(400),
         {},
         kKey,
         "zefa-chat: the service refused the request (HTTP 400, 408 or 500): Simulated failure "
         "with status 400. (error 7) Retry later; if it keeps failing, shorten the conversation "
         "(/reset).\n",
         ""},
        {"too large",
         failing(413),
         {},
         kKey,
         "zefa-chat: the request is too large for the service (HTTP 413): Simulated failure with "
         "status 413. (error 15) Shorten the prompt or the conversation (/reset).\n",
         ""},
        {"rate limit",
         failing(429),
         {},
         kKey,
         "zefa-chat: the service is busy or the rate limit is reached (HTTP 429): Simulated "
         "failure with status 429. (error 16) Retry later.\n",
         ""},
        {"unavailable",
         failing(503),
         {},
         kKey,
         "zefa-chat: the service gave no usable answer: Simulated failure with status 503. "
         "(error 1000)" +
             laterHint,
         ""},
        {"gateway page",
         [](EchoOptions& options) { options.htmlError = true; },
         {},
         kKey,
         "zefa-chat: the service gave no usable answer: 502 Bad Gateway (error 1000)" + laterHint,
         ""},
        {"no service",
         nullptr,
         {},
         kKey,
         "zefa-chat: the connection to the service at " ZEFA_SERVICE_BASE_URL " failed: ",
         " (error 4) Check the network connection, then retry.\n"},
    };
    for (const FailureCase& failure : cases) {
        SCOPED_TRACE(failure.name);
        EchoOptions options{milliseconds(1), kKey};
        if (failure.service) {
            failure.service(options);
        } else {
            service->stop();
        }
        service->setResponder(
            [options](const RecordedRequest& request) { return echoReply(request, options); });
        std::vector<std::string> args = failure.args;
        args.insert(args.end(), {"-p", "hi"});
        Process chat = run(args, failure.key);
        EXPECT_EQ(chat.wait(), 1);
        EXPECT_EQ(chat.out(), "") << "no answer, no line";
        if (failure.errEnd.empty()) {
            EXPECT_EQ(chat.err(), failure.err);
        } else {
            EXPECT_EQ(chat.err().rfind(failure.err, 0), 0u) << chat.err();
            EXPECT_TRUE(chat.err().size() > failure.errEnd.size() &&
                        chat.err().compare(chat.err().size() - failure.errEnd.size(),
                                           std::string::npos, failure.errEnd) == 0)
                << chat.err();
            EXPECT_EQ(std::count(chat.err().begin(), chat.err().end(), '\n'), 1) << chat.err();
        }
    }
}

struct OptionCase {
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of standard output
    std::string err;
    std::string key = kKey;  // in ZEFA_API_KEY
};

TEST_F(ZefaChat, OptionsAndUsageErrors) {
    const std::string blankKeyFile = scratch.file("blank-key", " \r\n");
    const std::string sharedKeyFile = scratch.file("shared-key", kKey + "\n", 0644);
    const std::string missing = stateHome + "/missing.json";
    const std::string pipe = scratch.namedPipe("chat.pipe");
    const std::string tryHelp = "\nTry 'zefa-chat --help'.\n";
    const OptionCase cases[] = {
        {{"--help"}, 0, "Usage: zefa-chat [OPTIONS]\n", ""},
        {{"--version"}, 0, "zefa-chat ", ""},
        {{"--list-models"}, 0, "zefa-plus  8192 tokens  泽法-zefa-plus  (default)\n", ""},
        {{"--model", "gpt-4", "-p", "hi"},
         2,
         "",
         "zefa-chat: the engine offers no model 'gpt-4'; its models: zefa-plus\n"},
        {{"-p", "hi"}, 0, "You said: hi\n", "", kKey + " \r\n"},
        {{"-p", "hi"},
         2,
         "",
         "zefa-chat: no API key: set ZEFA_API_KEY or use --api-key-file" + tryHelp,
         " \r\n"},
        {{"--api-key-file", blankKeyFile, "-p", "hi"},
         2,
         "",
         "zefa-chat: no API key in " + blankKeyFile + tryHelp},
        {{"-p", " "}, 2, "", "zefa-chat: nothing to ask: the prompt is blank" + tryHelp},
        {{"-p", "hi"},
         2,
         "",
         "zefa-chat: the API key in ZEFA_API_KEY holds a control character" + tryHelp,
         kKey + "\x1b"},
        {{"--api-key-file", sharedKeyFile, "-p", "hi"},
         0,
         "You said: hi\n",
         "zefa-chat: warning: the API key file " + sharedKeyFile +
             " is readable by other users (chmod 600 " + sharedKeyFile +
             " makes it yours alone)\n"},
        {{"--load", missing},
         2,
         "",
         "zefa-chat: cannot read " + missing + ": No such file or directory" + tryHelp},
        {{"--load", pipe},
         2,
         "",
         "zefa-chat: cannot read " + pipe + ": it is a named pipe, not a regular file" + tryHelp},
        {{"--system-file", stateHome, "-p", "hi"},
         2,
         "",
         "zefa-chat: cannot read " + stateHome + ": Is a directory" + tryHelp},
        {{"--continue"},
         2,
         "",
         "zefa-chat: no conversation to continue: cannot open " + stateHome +
             "/zefa-chat: No such file or directory" + tryHelp},
    };
    for (const OptionCase& option : cases) {
        SCOPED_TRACE(testing::PrintToString(option.args) + " key " +
                     testing::PrintToString(option.key));
        Process chat = run(option.args, option.key);
        EXPECT_EQ(chat.wait(), option.status);
        EXPECT_EQ(chat.out().rfind(option.out, 0), 0u) << chat.out();
        EXPECT_EQ(chat.err(), option.err);
    }
    // Only the key with a line end after it asked, and the one in a file others can read.
    EXPECT_EQ(lastMessages(), (std::vector<std::string>{"hi", "hi"}));
    Process version = run({"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_NE(version.out().find("\nservice: " ZEFA_SERVICE_BASE_URL "\n"), std::string::npos)
        << version.out();
}

}  // namespace
}  // namespace zefa_test
