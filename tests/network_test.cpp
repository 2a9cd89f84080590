// SPDX-License-Identifier: MIT
// Chats as they travel in the field: over TLS through a real gateway (HTTP/2 by ALPN, and
// HTTP/1.1), through a real proxy's tunnel, and into black holes. The programs run as children
// of the test on 127.0.0.1; the test CA is trusted in this process's own mount namespace only.
#include "model_service.h"
#include "network_support.h"
#include "test_support.h"
#include "zefa_nlp_engine_p.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zefa_test {
namespace {

const std::string kEcho = "You said: hello";
constexpr milliseconds kStopRetry{50};
// Far above the bound of a connection phase or a stall (10 s), far below libcurl's default
// connection timeout (300 s).
constexpr seconds kTransportFailureLimit{60};

// Runs a chat while another thread stops it, once after the first fragment, or, with
// untilItEnds, again and again until the chat returns (for requests that deliver nothing).
AiEngineBaseResult chatStopped(ZefaNlpEnginePrivate& engine, Recorder& recorder, bool untilItEnds) {
    std::atomic<bool> ended{false};
    std::thread stopper([&] {
        if (!untilItEnds) {
            if (recorder.waitFor(1)) engine.stopChat();
            return;
        }
        while (!ended) {
            engine.stopChat();  // does nothing until the request runs
            std::this_thread::sleep_for(kStopRetry);
        }
    });
    const auto result = engine.chat(kHello);
    ended = true;
    stopper.join();
    return result;
}

// ---------------------------------------------------------------- black holes

struct HoleCase {
    const char* name;
    BlackHole::Kind kind;
    const char* scheme;
    bool stop;
};

class BlackHoles : public testing::TestWithParam<HoleCase> {};

// No connection phase and no silent service holds a request for long, and a stop ends it.
TEST_P(BlackHoles, EndInTransportFailureOrStop) {
    const HoleCase& c = GetParam();
    BlackHole hole(c.kind);
    ZefaNlpEnginePrivate engine(chatEndpointUrl(hole.port(), c.scheme));
    Recorder recorder;
    configure(engine, recorder);
    const auto start = std::chrono::steady_clock::now();
    if (c.stop) {
        const auto result = chatStopped(engine, recorder, true);
        EXPECT_TRUE(result.success) << result.error.message;  // a timeout would be code 4
        EXPECT_EQ(recorder.endMarkers(), 1u);
    } else {
        (void)chatExpectingNetworkError(engine);
        EXPECT_TRUE(recorder.results().empty());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTransportFailureLimit);
}

ZEFA_TABLE(
    Table, BlackHoles,
    testing::Values(HoleCase{"TlsHandshakeNeverAnswered", BlackHole::Kind::Open, "https", false},
                    HoleCase{"TcpHandshakeNeverAnswered", BlackHole::Kind::Full, "http", false},
                    HoleCase{"RequestNeverAnswered", BlackHole::Kind::Open, "http", false},
                    HoleCase{"TlsHandshakeStopped", BlackHole::Kind::Open, "https", true},
                    HoleCase{"TcpHandshakeStopped", BlackHole::Kind::Full, "http", true}));

// ---------------------------------------------------------------- the gateway

// The local model service behind nginx, reached over TLS with the test CA.
class Field : public testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"nginx", "openssl"}) {
            const std::string missing = missingProgram(program);
            if (!missing.empty()) GTEST_SKIP() << missing;
        }
        const TrustedCa& trusted = trustedTestCa();
        if (!trusted.problem.empty()) GTEST_SKIP() << trusted.problem;
    }

    // A gateway offering HTTP/2 or only HTTP/1.1, and an engine that chats through it.
    void startGateway(bool http2) {
        gateway =
            std::make_unique<Gateway>(trustedTestCa().ca, service.port(), scratch.path(), http2);
        engine = std::make_unique<ZefaNlpEnginePrivate>(gateway->endpointUrl());
        configure(*engine, recorder);
    }

    void expectNextEchoWorks() {
        service.setEchoReplies(milliseconds(0));
        expectChatWorks(*engine, kEcho);
    }

    ScratchDirectory scratch{"field"};
    ModelService service;
    std::unique_ptr<Gateway> gateway;
    std::unique_ptr<ZefaNlpEnginePrivate> engine;
    Recorder recorder;
};

class Gateways : public Field, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        Field::SetUp();
        if (IsSkipped()) return;
        startGateway(GetParam());
    }

    const char* protocol() const { return GetParam() ? "HTTP/2.0" : "HTTP/1.1"; }
};

TEST_P(Gateways, TenChatsStreamOverOneTlsConnection) {
    constexpr std::size_t kChats = 10;
    service.setEchoReplies(milliseconds(2));
    for (std::size_t i = 0; i < kChats; ++i) expectChatWorks(*engine, kEcho);
    ASSERT_TRUE(gateway->waitForLogEntries(kChats));
    const auto log = gateway->accessLog();
    for (const Gateway::LogEntry& entry : log) {
        EXPECT_EQ(entry.protocol, protocol());
        EXPECT_EQ(entry.status, 200);
        EXPECT_EQ(entry.connection, log.front().connection);
        EXPECT_TRUE(entry.complete);
    }
}

// A stop ends the reply for the service at once (nginx logs it incomplete), and the next chat
// opens a new connection.
TEST_P(Gateways, AStopMidStreamEndsItForTheServiceAndTheNextChatWorks) {
    service.setReply(streamReply(std::vector<std::string>(200, "t"), milliseconds(20)));
    const auto result = chatStopped(*engine, recorder, false);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(recorder.endMarkers(), 1u);
    EXPECT_LT(recorder.fragments().size(), 100u);
    // nginx saw the client go before the reply ended.
    ASSERT_TRUE(gateway->waitForLogEntries(1));
    EXPECT_FALSE(gateway->accessLog().front().complete);
    expectNextEchoWorks();
    ASSERT_TRUE(gateway->waitForLogEntries(2));
    const auto log = gateway->accessLog();
    // The stopped request's connection went with it, on either protocol: libcurl would hold an
    // HTTP/2 stream's reset back until the connection's next request.
    EXPECT_NE(log[0].connection, log[1].connection)
        << protocol() << ": the chats came on connections " << log[0].connection << " and "
        << log[1].connection;
}

TEST_P(Gateways, AStopOnASilentStreamEndsIt) {
    service.setReply(silentAfterFirstEvent(seconds(60)));
    const auto result = chatStopped(*engine, recorder, false);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(recorder.endMarkers(), 1u);
    expectNextEchoWorks();
}

// A refusal of the service passes the gateway with its status (each status and its code are the
// table of the status mapping); then the gateway's own page when the service is gone.
TEST_P(Gateways, ARefusalAndTheGatewaysOwnErrorPage) {
    const std::string text = R"({"error":{"code":"X","message":"refused"}})";
    service.setReply(ScriptedReply{429, "application/json", {text}});
    StderrCapture refusedCapture;
    const auto refused = engine->chat(kHello);
    EXPECT_EQ(refusedCapture.text(), "zefa chat failed: " + text + "\n");
    EXPECT_FALSE(refused.success);
    EXPECT_EQ(refused.error.code, 16);
    EXPECT_EQ(refused.error.message, text);

    Gateway alone(trustedTestCa().ca, freeLoopbackPort(), scratch.path(), GetParam());
    ZefaNlpEnginePrivate stranded(alone.endpointUrl());
    configure(stranded, recorder);
    StderrCapture capture;
    const auto result = stranded.chat(kHello);
    EXPECT_NE(capture.text().find("502 Bad Gateway"), std::string::npos);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 1000);
    EXPECT_NE(result.error.message.find("502 Bad Gateway"), std::string::npos);
    EXPECT_TRUE(recorder.results().empty());
}

INSTANTIATE_TEST_SUITE_P(Protocols, Gateways, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "Http2" : "Http1";
                         });

// A redirect may lead to another address, but never from TLS to plain HTTP with the conversation.
TEST_F(Field, ARedirectToPlainHttpIsNotFollowed) {
    startGateway(true);
    ModelService plain;
    plain.setEchoReplies(milliseconds(0));
    ScriptedReply redirect{302, "text/plain", {}};
    redirect.headers = {{"Location", plain.endpointUrl()}};
    service.setReply(redirect);
    const std::string message = chatExpectingNetworkError(*engine);
    EXPECT_NE(message.find("http"), std::string::npos) << message;
    EXPECT_TRUE(plain.requests().empty());
}

// A service that offers nothing newer than TLS 1.1 is refused during the handshake: it receives
// no request line and no API key.
TEST_F(Field, AServiceOfferingOnlyTls11IsRefusedBeforeTheRequest) {
    const std::string missing = missingProgram("stdbuf");
    if (!missing.empty()) GTEST_SKIP() << missing;
    const Tls11Server outdated(trustedTestCa().ca, scratch.path());
    engine = std::make_unique<ZefaNlpEnginePrivate>(outdated.endpointUrl());
    configure(*engine, recorder);
    (void)chatExpectingNetworkError(*engine);
    EXPECT_FALSE(outdated.receivedApplicationData());
}

// A gateway that passes on a silent service: the stall limit ends the request.
TEST_F(Field, AStallBehindTheGatewayFails) {
    startGateway(true);
    service.setReply(silentAfterFirstEvent(seconds(60)));
    const std::string message = chatExpectingNetworkError(*engine);
    EXPECT_NE(message.find("too slow"), std::string::npos) << message;
    EXPECT_EQ(recorder.fragments().size(), 1u);
}

// ---------------------------------------------------------------- the proxy

class Proxies : public Field, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        Field::SetUp();
        if (IsSkipped()) return;
        const std::string missing = missingProgram("tinyproxy");
        if (!missing.empty()) GTEST_SKIP() << missing;
        service.setEchoReplies(milliseconds(0));
        startGateway(true);
    }

    bool refusing() const { return GetParam(); }
};

// The proxy named by https_proxy carries the chat in its tunnel, or refuses it: a transport
// failure with the proxy's answer.
TEST_P(Proxies, TunnelTheChatOrRefuseIt) {
    Proxy proxy(scratch.path(), refusing());
    // libcurl reads it for each new connection.
    const EnvironmentVariable variable("https_proxy", proxy.url());
    if (refusing()) {
        const std::string message = chatExpectingNetworkError(*engine);
        EXPECT_NE(message.find("403"), std::string::npos) << message;
        EXPECT_TRUE(service.requests().empty());
    } else {
        const auto result = engine->chat(kHello);
        EXPECT_TRUE(result.success) << result.error.message;
        EXPECT_EQ(recorder.text(), kEcho);
        ASSERT_TRUE(gateway->waitForLogEntries(1));
        EXPECT_EQ(gateway->accessLog().front().protocol, "HTTP/2.0");
    }
    const std::string tunnel = "CONNECT 127.0.0.1:" + std::to_string(gateway->port());
    EXPECT_NE(proxy.log().find(tunnel), std::string::npos) << proxy.log();
}

INSTANTIATE_TEST_SUITE_P(Kinds, Proxies, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "Refusing" : "Tunnelling";
                         });

}  // namespace
}  // namespace zefa_test
