// SPDX-License-Identifier: MIT
// Chats as they travel in the field: over TLS through a real gateway (HTTP/2 by ALPN, and
// HTTP/1.1), through a real proxy's tunnel, and into black holes. The programs run as children
// of the test on 127.0.0.1; the test CA is trusted in this process's own mount namespace only.
#include "engine_inspector.h"
#include "model_service.h"
#include "network_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using zefa_test::BlackHole;
using zefa_test::Gateway;
using zefa_test::ModelService;
using zefa_test::Recorder;
using zefa_test::ScriptedReply;
using zefa_test::StderrCapture;

const std::string kHello = R"({"messages": [{"role": "user", "content": "hello there"}]})";
const std::string kEcho = "You said: hello there";
constexpr milliseconds kStopRetry{50};
// Far above the bound of a connection phase or a stall (10 s), far below libcurl's default
// connection timeout (300 s).
constexpr seconds kTransportFailureLimit{60};

// Runs a chat while another thread stops it, once after the first fragment, or, with
// untilItEnds, again and again until the chat returns (for requests that deliver nothing).
ai_engine::result::AiEngineBaseResult chatStopped(ZefaNlpEnginePrivate& engine, Recorder& recorder,
                                                  bool untilItEnds) {
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
    ZefaNlpEnginePrivate engine(std::string(c.scheme) +
                                "://127.0.0.1:" + std::to_string(hole.port()) +
                                "/compatible-mode/v1/chat/completions");
    Recorder recorder;
    zefa_test::configure(engine, recorder);
    const auto start = steady_clock::now();
    if (c.stop) {
        const auto result = chatStopped(engine, recorder, true);
        EXPECT_TRUE(result.success) << result.error.message;  // a timeout would be code 4
        EXPECT_EQ(recorder.endMarkers(), 1u);
    } else {
        (void)zefa_test::chatExpectingNetworkError(engine, kHello);
        EXPECT_TRUE(recorder.results().empty());
    }
    EXPECT_LT(steady_clock::now() - start, kTransportFailureLimit);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlackHoles,
    testing::Values(HoleCase{"TlsHandshakeNeverAnswered", BlackHole::Kind::Open, "https", false},
                    HoleCase{"TcpHandshakeNeverAnswered", BlackHole::Kind::Full, "http", false},
                    HoleCase{"RequestNeverAnswered", BlackHole::Kind::Open, "http", false},
                    HoleCase{"TlsHandshakeStopped", BlackHole::Kind::Open, "https", true},
                    HoleCase{"TcpHandshakeStopped", BlackHole::Kind::Full, "http", true}),
    [](const testing::TestParamInfo<HoleCase>& param) { return std::string(param.param.name); });

}  // namespace
