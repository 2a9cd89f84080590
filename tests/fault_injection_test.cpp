// SPDX-License-Identifier: MIT
// Hostile services and hosts: every fault ends the request with an exact outcome, and the engine
// serves the next request normally.
#include "served_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zefa_test {
namespace {

const std::string kStreamHeaders =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string chunked(const std::string& data) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

// A bare TCP service on 127.0.0.1 that reads each request and then does what the test says
// with the connection: close it early, reset it, or write any bytes at all.
class RawService {
public:
    // Runs on the service thread with the connection; may close it and set it to -1.
    using Action = std::function<void(int& connection)>;

    RawService() : listener_(listenOnLoopback(8, port_)), thread_([this] { serve(); }) {}

    ~RawService() {
        stop_ = true;
        thread_.join();
    }

    void setAction(Action action) {
        const std::lock_guard<std::mutex> lock(mutex_);
        action_ = std::move(action);
    }

    std::string endpointUrl() const { return chatEndpointUrl(port_); }

private:
    void serve() {
        while (!stop_) {
            pollfd ready{listener_.get(), POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            int connection = accept(listener_.get(), nullptr, nullptr);
            if (connection < 0) continue;
            readRequest(connection);
            Action action;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                action = action_;
            }
            if (action) action(connection);
            if (connection >= 0) close(connection);
        }
    }

    // Reads the headers and a body of Content-Length bytes (bounded in time).
    static void readRequest(int connection) {
        std::string request;
        std::size_t wanted = std::string::npos;
        char buffer[4096];
        for (int rounds = 0; rounds < 100; ++rounds) {
            const std::size_t headerEnd = request.find("\r\n\r\n");
            if (headerEnd != std::string::npos && wanted == std::string::npos) {
                const std::size_t at = request.find("Content-Length: ");
                wanted = headerEnd + 4 +
                         (at == std::string::npos ? 0 : std::stoul(request.substr(at + 16)));
            }
            if (request.size() >= wanted) return;
            pollfd readable{connection, POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0) continue;
            const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            request.append(buffer, std::size_t(n));
        }
    }

    int port_ = 0;
    const Descriptor listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Action action_;
    std::thread thread_;
};

// A whole, well-formed reply that closes the connection: how a sound service answers.
void answerNormally(int& connection) {
    (void)sendAll(
        connection,
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n" +
            joined(streamOf({"fine"})));
}

class RawFaults : public testing::Test {
protected:
    void SetUp() override { configure(engine, recorder); }

    // The engine answers the next request normally.
    void recover() {
        raw.setAction(answerNormally);
        expectChatWorks(engine, "fine");
    }

    RawService raw;
    ZefaNlpEnginePrivate engine{raw.endpointUrl()};
    Recorder recorder;
};

RawService::Action writing(const std::string& text) {
    return [text](int& connection) { (void)sendAll(connection, text); };
}

// Writes text, then resets the connection instead of closing it.
RawService::Action resettingAfter(const std::string& text) {
    return [text](int& connection) {
        (void)sendAll(connection, text);
        std::this_thread::sleep_for(milliseconds(50));
        const linger resetOnClose{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
        close(connection);
        connection = -1;
    };
}

// What libcurl itself, without the engine, says of the fault a service commits: the text of its
// error buffer, or of its code where it leaves the buffer empty.
std::string libcurlsOwnText(const std::string& url) {
    CURL* curl = curl_easy_init();
    char buffer[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kHello.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, buffer);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return buffer[0] != '\0' ? buffer : curl_easy_strerror(code);
}

TEST_F(RawFaults, ABrokenConnectionIsANetworkError) {
    struct Broken {
        const char* name;
        RawService::Action action;
        // Part of libcurl's text; nullptr where libcurl's versions word it differently: then the
        // text that libcurl itself gives for the same fault.
        const char* message;
        const char* delivered;  // what arrived before the break; a torn event never does
    };
    const std::string one = kStreamHeaders + chunked(contentEvent("one"));
    const std::vector<Broken> cases = {
        {"closed before the headers", [](int&) {}, "Empty reply from server", ""},
        {"closed after the headers", writing(kStreamHeaders),
         "transfer closed with outstanding read data remaining", ""},
        {"closed inside an event", writing(one + chunked("data: {\"choices\":[{\"delta\":{\"con")),
         "transfer closed with outstanding read data remaining", "one"},
        {"reset in the middle of the stream", resettingAfter(one), "reset", "one"},
        // Some versions of libcurl leave their message empty here; the host still learns what
        // happened.
        {"a header past libcurl's limit",
         writing("HTTP/1.1 200 OK\r\nX-Padding: " + std::string(200 * 1024, 'p') + "\r\n\r\n"),
         nullptr, ""}};
    for (const Broken& c : cases) {
        Recorder seen;
        engine.setTextGenerationResultCallback(seen.callback());
        raw.setAction(c.action);
        const std::string cause = c.message ? c.message : libcurlsOwnText(raw.endpointUrl());
        const std::string message = chatExpectingNetworkError(engine);
        EXPECT_NE(message.find(cause), std::string::npos) << c.name << ": " << message;
        EXPECT_EQ(seen.text(), c.delivered) << c.name;
    }
    recover();
}

TEST_F(RawFaults, ResetAfterDoneStillSucceeds) {
    raw.setAction(resettingAfter(kStreamHeaders + chunked(joined(streamOf({"all", " there"})))));
    StderrCapture capture;
    const auto result = engine.chat(kHello);
    EXPECT_EQ(capture.text(), "");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(recorder.text(), "all there");
    recover();
}

TEST_F(RawFaults, ALastEventWithoutItsBlankLineIsDelivered) {
    raw.setAction([](int& connection) {
        (void)sendAll(
            connection,
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n" +
                contentEvent("a") +
                R"(data: {"choices":[{"delta":{"content":"b"},"finish_reason":"stop"}]})");
    });
    const auto result = engine.chat(kHello);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(recorder.text(), "ab");
    EXPECT_EQ(recorder.fragments().back()["is_end"], true);
}

class ServiceFaults : public ServedEngineTest {
protected:
    // The engine answers the next request normally.
    void recover() {
        service.setReply(streamReply({"fine"}));
        expectChatWorks(engine, "fine");
    }
};

TEST_F(ServiceFaults, TenThousandOneByteWrites) {
    std::vector<std::string> tokens;
    // Multi-byte characters too: a write may end inside one.
    for (int i = 0; i < 40; ++i) tokens.push_back("token 你好 " + std::to_string(i) + " ");
    std::string whole = joined(streamOf(tokens));
    while (whole.size() < 10000) whole = ": padding comment\n\n" + whole;
    ScriptedReply reply;
    for (const char c : whole) reply.pieces.emplace_back(1, c);
    service.setReply(reply);
    const auto result = engine.chat(kHello);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(recorder.fragments().size(), tokens.size() + 2);
    std::string expected;
    for (const std::string& token : tokens) expected += token;
    EXPECT_EQ(recorder.text(), expected);
    recover();
}

// A long event arrives in many writes, as it does over a real network; the bytes held for it
// are counted once against the 1 MiB limit.
TEST_F(ServiceFaults, AnEventIsHeldUpToTheBufferLimit) {
    constexpr std::size_t kWrite = 16 * 1024;
    for (const std::size_t kib : {1000u, 1100u}) {
        const std::string content(kib * 1024, 'x');
        const std::string event = contentEvent(content);
        ScriptedReply reply{200, "text/event-stream", {contentEvent("before")}};
        for (std::size_t pos = 0; pos < event.size(); pos += kWrite) {
            reply.pieces.push_back(event.substr(pos, kWrite));
        }
        reply.pieces.push_back(doneEvent());
        service.setReply(reply);
        Recorder seen;
        engine.setTextGenerationResultCallback(seen.callback());
        const auto result = engine.chat(kHello);
        const bool fits = kib * 1024 < Reply::kMaxPendingBytes;
        EXPECT_EQ(result.success, fits) << kib << " KiB";
        EXPECT_EQ(seen.text(), fits ? "before" + content : "before") << kib << " KiB";
        if (!fits) {
            EXPECT_EQ(result.error.code, 1000);
            EXPECT_NE(result.error.message.find("1048576 bytes"), std::string::npos);
        }
    }
    recover();
}

TEST_F(ServiceFaults, AHostThatTakesItsTimeOverEachFragment) {
    service.setReply(streamReply({"s", "l", "o", "w"}));
    engine.setTextGenerationResultCallback([this](const TextGenerationResult& result) {
        std::this_thread::sleep_for(milliseconds(300));
        recorder.record(result);
    });
    const auto result = engine.chat(kHello);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(recorder.text(), "slow");
    EXPECT_EQ(recorder.fragments().size(), 6u);
    recover();
}

// ---------------------------------------------------------------- hosts that fork

// A worker forked from the test, as a pre-forking host makes them: once the gate opens, it runs
// its work with what it inherited (the engine among it) and ends, writing what the work returned
// into reportFile.
class ForkedWorker {
public:
    ForkedWorker(Gate& gate, std::string reportFile, const std::function<std::string()>& work)
        : reportFile_(std::move(reportFile)), process_([&] {
              (void)gate.wait(kWorkerLimit);
              // Opened before the work, which may use up the descriptors.
              const int report = open(reportFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
              const std::string text = work();
              return report >= 0 && write(report, text.data(), text.size()) ==
                                        static_cast<ssize_t>(text.size())
                         ? 0
                         : 1;
          }) {}

    // What the work returned, once the worker has ended; a note of what went wrong otherwise.
    std::string report() {
        const int status = process_.wait(kWorkerLimit);  // -1: it still runs
        const std::string text = readFile(reportFile_);
        return status == 0 ? text : "ended with status " + std::to_string(status) + ": " + text;
    }

private:
    // Far above the engine's own limits (10 s for a stall or a connection).
    static constexpr std::chrono::seconds kWorkerLimit{60};

    const std::string reportFile_;
    ChildProcess process_;
};

// A chat in a worker, reported as "success: <text>" or "code <n>: <message>".
std::string chatInWorker(ZefaNlpEnginePrivate& engine, const std::string& prompt) {
    Recorder seen;
    engine.setTextGenerationResultCallback(seen.callback());
    const auto result = engine.chat(ask(prompt));
    if (!result.success) {
        return "code " + std::to_string(result.error.code) + ": " + result.error.message;
    }
    return "success: " + seen.text();
}

// The parent chats (its connection is kept), then forks workers that chat at once with their
// copies of the engine. Each worker opens a connection of its own and gets exactly its own
// answer; the parent's kept connection is left to the parent, whose next chat goes over it.
TEST_F(ServiceFaults, ForkedWorkersChatOnConnectionsOfTheirOwn) {
    constexpr int kWorkers = 4;
    service.setEchoReplies(milliseconds(1));
    ASSERT_TRUE(engine.chat(ask("parent")).success);
    const ScratchDirectory reports("workers");
    Gate gate;
    std::vector<std::unique_ptr<ForkedWorker>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        const std::string prompt = "worker " + std::to_string(i);
        workers.push_back(std::make_unique<ForkedWorker>(
            gate, reports.path() + "/" + prompt,
            [this, prompt] { return chatInWorker(engine, prompt); }));
    }
    gate.open();
    for (int i = 0; i < kWorkers; ++i) {
        EXPECT_EQ(workers[static_cast<std::size_t>(i)]->report(),
                  "success: You said: worker " + std::to_string(i));
    }
    EXPECT_EQ(chatInWorker(engine, "parent again"), "success: You said: parent again");
    EXPECT_EQ(service.connectionsAccepted(), 1u + kWorkers);
}

// A fork while another thread's chat streams: the child's copy of the engine holds no request
// (the thread that made it did not come along), so it chats at once, and its stop reaches
// nothing of the parent's.
TEST_F(ServiceFaults, AForkDuringAChatLeavesTheChildAnIdleEngine) {
    service.setResponder([](const RecordedRequest& request) {
        if (request.body.find("parent") != std::string::npos) {
            return silentAfterFirstEvent(seconds(60));
        }
        EchoOptions immediately;
        immediately.pace = milliseconds(0);
        return echoReply(request, immediately);
    });
    Recorder parentSeen;
    engine.setTextGenerationResultCallback(parentSeen.callback());
    std::thread parentChat([this] { EXPECT_TRUE(engine.chat(ask("parent")).success); });
    ASSERT_TRUE(parentSeen.waitFor(1));
    const ScratchDirectory reports("worker");
    Gate gate;
    ForkedWorker worker(gate, reports.path() + "/report", [this, &parentSeen] {
        engine.stopChat();
        const std::string chat = chatInWorker(engine, "worker");
        return std::to_string(parentSeen.endMarkers()) + " end markers; " + chat;
    });
    gate.open();
    EXPECT_EQ(worker.report(), "0 end markers; success: You said: worker");
    engine.stopChat();
    parentChat.join();
    EXPECT_EQ(parentSeen.endMarkers(), 1u);
}

// A host out of descriptors learns so from the message, in a process of its own.
TEST_F(ServiceFaults, OutOfDescriptorsTheMessageNamesTheCause) {
    service.setEchoReplies(milliseconds(0));
    // A pre-forking host's parent chats first. (It also lets UndefinedBehaviorSanitizer check the
    // engine's types while descriptors are left: its check needs a pipe.)
    ASSERT_TRUE(engine.chat(ask("parent")).success);
    const ScratchDirectory reports("worker");
    Gate gate;
    ForkedWorker worker(gate, reports.path() + "/report", [this] {
        const rlimit few{64, 64};
        if (setrlimit(RLIMIT_NOFILE, &few) != 0) return std::string("setrlimit failed");
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        if (errno != EMFILE) return std::string("descriptors not exhausted");
        return chatInWorker(engine, "hello");
    });
    gate.open();
    const std::string report = worker.report();
    EXPECT_EQ(report.rfind("code 4: ", 0), 0u) << report;
    EXPECT_NE(report.find(std::strerror(EMFILE)), std::string::npos) << report;
}

}  // namespace
}  // namespace zefa_test
