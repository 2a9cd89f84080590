// SPDX-License-Identifier: MIT
// zefa-chat as a person runs it, against the local service on the build's service address.
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A child process with pipes on its standard streams.
class Process {
public:
    Process(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            for (const std::string& assignment : environment) putenv(strdup(assignment.c_str()));
            std::vector<char*> argv;
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }

    ~Process() {
        closeStdin();
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            (void)wait();
        }
        close(stdout_);
        close(stderr_);
    }

    void write(const std::string& text) { (void)!::write(stdin_, text.data(), text.size()); }

    void closeStdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }

    void signal(int number) { kill(pid_, number); }

    // Reads standard output until it holds text; false after a generous limit.
    bool waitForOutput(const std::string& text, seconds limit = seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !pump(100)) return false;
        }
        return true;
    }

    // Waits for the exit (bounded) and returns the exit status, or 128 + signal.
    int wait() {
        const auto deadline = std::chrono::steady_clock::now() + seconds(30);
        while (status_ < 0) {
            (void)pump(50);
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
            }
        }
        while (pump(0)) {
        }
        return status_;
    }

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // Reads what is available on stdout and stderr; false once both are closed.
    bool pump(int timeoutMs) {
        pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) <= 0) return true;
        bool open = false;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
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

    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

int servicePort() {
    const std::string base = ZEFA_SERVICE_BASE_URL;
    const std::string prefix = "http://127.0.0.1:";
    return base.rfind(prefix, 0) == 0 ? std::atoi(base.c_str() + prefix.size()) : 0;
}

class ZefaChat : public testing::Test {
protected:
    void SetUp() override {
        if (servicePort() == 0) GTEST_SKIP() << "the build's service is not on 127.0.0.1";
        service = std::make_unique<zefa_test::ModelService>(servicePort());
        service->setResponder([this](const zefa_test::RecordedRequest& request) {
            return zefa_test::echoReply(request, echo);
        });
    }

    Process run(std::vector<std::string> args, const std::string& key = "test-key") {
        args.insert(args.begin(), ZEFA_CHAT_PATH);
        // A cross build's programs may need an emulator to run here.
        if (*ZEFA_TEST_EMULATOR != '\0') args.insert(args.begin(), ZEFA_TEST_EMULATOR);
        return Process(args, {"ZEFA_API_KEY=" + key});
    }

    zefa_test::EchoOptions echo{milliseconds(1), "test-key"};
    std::unique_ptr<zefa_test::ModelService> service;
};

TEST_F(ZefaChat, OneShotPrintsTheStreamedAnswer) {
    Process chat = run({"-p", "hello 世界"});
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(chat.out(), "You said: hello 世界\n");
    ASSERT_EQ(service->requests().size(), 1u);
    const Json::Value body = zefa_test::parse(service->requests()[0].body);
    EXPECT_EQ(body["messages"].size(), 1u);
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

TEST_F(ZefaChat, PipedConversationSendsTheGrowingHistory) {
    Process chat = run({"--system", "be brief"});
    chat.write("first\nsecond\n");
    chat.closeStdin();
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(chat.out(), "You said: first\nYou said: second\n");
    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 2u);
    const Json::Value messages = zefa_test::parse(requests[1].body)["messages"];
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
    chat.closeStdin();
    EXPECT_EQ(chat.wait(), 0) << chat.err();
    EXPECT_EQ(chat.out().find("many many words"), std::string::npos);
}

TEST_F(ZefaChat, WrongKeyFails) {
    Process chat = run({"-p", "hi"}, "wrong-key");
    EXPECT_EQ(chat.wait(), 1);
    EXPECT_NE(chat.err().find("zefa-chat: error 10: "), std::string::npos) << chat.err();
    EXPECT_NE(chat.err().find("Incorrect API key"), std::string::npos) << chat.err();
}

TEST_F(ZefaChat, HelpExitsZero) {
    Process chat = run({"--help"});
    EXPECT_EQ(chat.wait(), 0);
    EXPECT_NE(chat.out().find("Exit status:"), std::string::npos);
}

}  // namespace
