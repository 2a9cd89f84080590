// SPDX-License-Identifier: MIT
// Chats end to end over HTTP against the local model service.
#include "engine_inspector.h"
#include "served_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace zefa_test {
namespace {

using Inspector = ZefaNlpEngineInspector;

using ChatOverHttp = ServedEngineTest;

// What the body holds is the request body's own test; here, the rest of what the service sees
// and what the host gets.
TEST_F(ChatOverHttp, StreamsTheAnswerAfterAnAuthorisedJsonPost) {
    service.setReply(streamReply({"Hel", "lo", " world"}, milliseconds(5)));
    expectSuccess(engine.chat(kHello), "chat");

    const auto results = recorder.results();
    ASSERT_EQ(results.size(), 5u);  // role, three tokens, stop; nothing for "[DONE]"
    EXPECT_EQ(parse(results[0].text),
              parse(R"({"is_end": false, "result": "", "sentence_id": 0})"));
    EXPECT_EQ(parse(results[4].text),
              parse(R"({"is_end": true, "result": null, "sentence_id": 4})"));
    for (const auto& fragment : results) {
        EXPECT_TRUE(fragment.success);
        EXPECT_EQ(fragment.error.code, -1);
        EXPECT_EQ(fragment.modelName, "泽法-zefa-plus");
    }
    EXPECT_EQ(recorder.text(), "Hello world");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);  // the service records a POST to its chat path only
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kApiKey);
}

// A reply the service sends instead of an answer, and what the host must get from it, over HTTP.
// Which status gives which code is the status mapping's own table; the other kinds of reply are
// rows of the reply's.
struct Refusal {
    std::string name;
    ScriptedReply reply;
    int code;
    std::string message;  // also what the "zefa chat failed" line shows
    std::string shown{};  // what that line shows instead, control characters escaped
};

std::vector<Refusal> refusals() {
    const std::string text = R"({"error":{"code":"X","message":"refused"},"request_id":"r1"})";
    ScriptedReply refused{429, "application/json", {text}};
    // A refusal status decides, whatever body comes with it: even a whole event stream, of which
    // nothing reaches the host.
    ScriptedReply refusedStream = streamReply({"looks", " fine"});
    refusedStream.status = 500;
    std::string shown;
    for (const std::string& piece : refusedStream.pieces) {
        shown += piece.substr(0, piece.size() - 2) + "\\n\\n";  // each ends in a blank line
    }
    return {
        {"ErrorDocument", refused, 16, text},
        {"RefusalStatusWithAWholeStream", refusedStream, 7, joined(refusedStream.pieces), shown}};
}

class Refusals : public ChatOverHttp, public testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, FailWithTheMappedCodeAndTheWholeReply) {
    const Refusal& c = GetParam();
    service.setReply(c.reply);
    StderrCapture capture;
    const auto result = engine.chat(kHello);
    EXPECT_EQ(capture.text(),
              "zefa chat failed: " + (c.shown.empty() ? c.message : c.shown) + "\n");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, c.code);
    EXPECT_EQ(result.error.message, c.message);
    EXPECT_EQ(result.error.module, "AI Engine");
    EXPECT_TRUE(recorder.results().empty());
    // Nothing public shows the engine's last error.
    EXPECT_EQ(Inspector::lastError(engine).code, c.code);
}

ZEFA_TABLE(Replies, Refusals, testing::ValuesIn(refusals()));

TEST_F(ChatOverHttp, ServiceHoldingTheConnectionAfterDoneIsLeft) {
    ScriptedReply reply = streamReply({"done"});
    reply.ending = ScriptedReply::Ending::Hold;
    reply.hold = seconds(60);
    service.setReply(reply);
    const auto start = std::chrono::steady_clock::now();
    expectSuccess(engine.chat(kHello), "chat");
    EXPECT_EQ(recorder.text(), "done");
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
}

TEST_F(ChatOverHttp, ConnectionDroppedMidStreamIsANetworkError) {
    ScriptedReply reply;
    reply.pieces = {roleEvent(), contentEvent("cut")};
    reply.ending = ScriptedReply::Ending::Drop;
    service.setReply(reply);
    (void)chatExpectingNetworkError(engine);
    EXPECT_EQ(recorder.text(), "cut");
}

TEST_F(ChatOverHttp, ConnectionRefusedIsANetworkErrorAndTheEngineRecovers) {
    ZefaNlpEnginePrivate offline(chatEndpointUrl(freeLoopbackPort()));
    configure(offline, recorder);
    (void)chatExpectingNetworkError(offline);

    service.setReply(streamReply({"ok"}));
    expectChatWorks(engine, "ok");
}

TEST(ChatOverTls, UntrustedCertificateIsCode9) {
    const ScratchDirectory directory("tls");
    ModelService service(makeSelfSignedCertificate(directory.path()));
    service.setReply(streamReply({"secret"}));
    ZefaNlpEnginePrivate engine(service.endpointUrl());
    Recorder recorder;
    configure(engine, recorder);
    StderrCapture capture;
    const auto result = engine.chat(kHello);
    const std::string printed = capture.text();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 9);
    EXPECT_NE(result.error.message.find("certificate"), std::string::npos);
    EXPECT_EQ(printed, "net error: " + result.error.message + "\n");
    EXPECT_TRUE(recorder.results().empty());
    EXPECT_TRUE(service.requests().empty());
}

// Which inputs are refused is the chat input's own table; here, what a refusal does.
TEST_F(ChatOverHttp, RefusedInputsSendNothing) {
    ZefaNlpEnginePrivate noCallback(service.endpointUrl());
    const auto withoutCallback = noCallback.chat("");
    EXPECT_FALSE(withoutCallback.success);
    EXPECT_EQ(withoutCallback.error.code, -1);
    EXPECT_EQ(withoutCallback.error.message, "");

    const auto empty = engine.chat("");
    EXPECT_EQ(empty.error.code, 14);
    EXPECT_EQ(empty.error.message, "The message is empty");
    EXPECT_EQ(Inspector::lastError(engine).message, "The message is empty");
    const auto malformed = engine.chat(R"({"messages": [1]})");
    EXPECT_FALSE(malformed.success);
    EXPECT_EQ(malformed.error.code, 14);
    EXPECT_EQ(malformed.error.message,
              "Message 0 of the chat input is not an object of \"role\" and \"content\" texts");
    // A content input is refused for its shape before the callback is looked at.
    EXPECT_EQ(noCallback.generateContent(R"({"prompt": ["a"]})").error.code, 14);
    EXPECT_EQ(engine.generateContent("{}").error.message, "The message is empty");

    EXPECT_TRUE(service.requests().empty());
    // An early return leaves no running state behind: a stop now changes nothing.
    engine.stopChat();
    EXPECT_TRUE(recorder.results().empty());
}

}  // namespace
}  // namespace zefa_test
