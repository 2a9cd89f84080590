// SPDX-License-Identifier: MIT
// Chats end to end over HTTP against the local model service.
#include "engine_inspector.h"
#include "model_service.h"
#include "network_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using zefa_test::ModelService;
using zefa_test::Recorder;
using zefa_test::ScriptedReply;
using zefa_test::StderrCapture;
using zefa_test::streamOf;
using Inspector = ZefaNlpEngineInspector;

std::string chatInput(const std::vector<std::pair<std::string, std::string>>& messages) {
    Json::Value input(Json::objectValue);
    input["messages"] = Json::Value(Json::arrayValue);
    for (const auto& [role, content] : messages) {
        Json::Value message(Json::objectValue);
        message["role"] = role;
        message["content"] = content;
        input["messages"].append(message);
    }
    return input.toStyledString();
}

const std::string kHello = chatInput({{"user", "hello"}});

ScriptedReply streamReply(const std::vector<std::string>& tokens, milliseconds pause = {}) {
    ScriptedReply reply;
    reply.pieces = streamOf(tokens);
    reply.pause = pause;
    return reply;
}

ScriptedReply errorReply(int status, const std::vector<std::string>& pieces) {
    ScriptedReply reply;
    reply.status = status;
    reply.contentType = "application/json";
    reply.pieces = pieces;
    return reply;
}

class ChatOverHttp : public testing::Test {
protected:
    void SetUp() override { zefa_test::configure(engine, recorder); }

    Json::Value lastRequestBody() {
        const auto requests = service.requests();
        return requests.empty() ? Json::Value() : zefa_test::parse(requests.back().body);
    }

    ModelService service;
    ZefaNlpEnginePrivate engine{service.endpointUrl()};
    Recorder recorder;
};

TEST_F(ChatOverHttp, StreamsAConversationAndSendsItAsSpecified) {
    service.setReply(streamReply({"Hel", "lo", " world"}, milliseconds(5)));
    const auto result = engine.chat(chatInput(
        {{"user", "first"}, {"assistant", "answer"}, {"system", "be brief"}, {"user", "second"}}));
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error.code, -1);
    EXPECT_EQ(result.error.message, "");

    const auto results = recorder.results();
    ASSERT_EQ(results.size(), 5u);  // role, three tokens, stop; nothing for "[DONE]"
    EXPECT_EQ(results[0].text,
              "{\n\t\"is_end\" : false,\n\t\"result\" : \"\",\n\t\"sentence_id\" : 0\n}\n");
    EXPECT_EQ(results[4].text,
              "{\n\t\"is_end\" : true,\n\t\"result\" : null,\n\t\"sentence_id\" : 4\n}\n");
    for (const auto& fragment : results) {
        EXPECT_TRUE(fragment.success);
        EXPECT_EQ(fragment.error.code, -1);
        EXPECT_EQ(fragment.modelName, "泽法-zefa-plus");
    }
    EXPECT_EQ(recorder.text(), "Hello world");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    const zefa_test::RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/compatible-mode/v1/chat/completions");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + zefa_test::kApiKey);
    EXPECT_EQ(request.body, Inspector::requestBody(engine).toStyledString());
    const Json::Value body = zefa_test::parse(request.body);
    EXPECT_EQ(body["model"], "zefa-plus");
    EXPECT_EQ(body["stream"], true);
    EXPECT_EQ(body["max_tokens"], 8192);
    EXPECT_EQ(body["enable_search"], true);
    // The system message replaced the first one.
    const Json::Value& messages = body["messages"];
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0]["role"], "system");
    EXPECT_EQ(messages[0]["content"], "be brief");
    EXPECT_EQ(messages[1]["content"], "answer");
    EXPECT_EQ(messages[2]["content"], "second");
}

TEST_F(ChatOverHttp, SecondChatCarriesOnlyItsOwnConversationOverTheSameConnection) {
    service.setReply(streamReply({"x"}));
    EXPECT_TRUE(
        engine.chat(chatInput({{"user", "one"}, {"assistant", "x"}, {"user", "two"}})).success);
    EXPECT_TRUE(engine.chat(chatInput({{"user", "three"}})).success);
    const Json::Value body = lastRequestBody();
    ASSERT_EQ(body["messages"].size(), 1u);
    EXPECT_EQ(body["messages"][0]["content"], "three");
    EXPECT_EQ(service.connectionsAccepted(), 1u);
}

// A reply the service sends instead of an answer, and what the host must get from it, over HTTP.
// The other kinds of reply are rows of the reply's own table.
struct Refusal {
    std::string name;
    ScriptedReply reply;
    int code;
    std::string message;  // also what the "zefa chat failed" line shows
    std::string shown{};  // what that line shows instead, control characters escaped
};

std::vector<Refusal> refusals() {
    const std::string text = R"({"error":{"code":"X","message":"refused"},"request_id":"r1"})";
    std::vector<Refusal> cases;
    for (const auto& [status, code] : std::vector<std::pair<int, int>>{{400, 7},
                                                                       {401, 10},
                                                                       {403, 10},
                                                                       {404, 10},
                                                                       {408, 7},
                                                                       {413, 15},
                                                                       {429, 16},
                                                                       {500, 7},
                                                                       {503, 1000},
                                                                       {200, 1000}}) {
        cases.push_back(
            {"Status" + std::to_string(status), errorReply(status, {text}), code, text});
    }
    // A refusal status decides, whatever body comes with it: even a whole event stream, of which
    // nothing reaches the host.
    ScriptedReply refusedStream = streamReply({"looks", " fine"});
    refusedStream.status = 500;
    std::string stream;
    std::string shown;
    for (const std::string& piece : refusedStream.pieces) {
        stream += piece;
        shown += piece.substr(0, piece.size() - 2) + "\\n\\n";  // each ends in a blank line
    }
    cases.push_back({"RefusalStatusWithAWholeStream", refusedStream, 7, stream, shown});
    return cases;
}

// A row of the table shows as its name in test listings.
void PrintTo(const Refusal& row, std::ostream* out) { *out << row.name; }

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
    EXPECT_EQ(Inspector::lastError(engine).code, c.code);
}

INSTANTIATE_TEST_SUITE_P(Replies, Refusals, testing::ValuesIn(refusals()),
                         [](const testing::TestParamInfo<Refusal>& param) {
                             return param.param.name;
                         });

TEST_F(ChatOverHttp, ServiceHoldingTheConnectionAfterDoneIsLeft) {
    ScriptedReply reply = streamReply({"done"});
    reply.ending = ScriptedReply::Ending::Hold;
    reply.hold = seconds(60);
    service.setReply(reply);
    const auto start = steady_clock::now();
    const auto result = engine.chat(kHello);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error.code, -1);
    EXPECT_EQ(recorder.text(), "done");
    EXPECT_LT(steady_clock::now() - start, seconds(10));
}

TEST_F(ChatOverHttp, ConnectionDroppedMidStreamIsANetworkError) {
    ScriptedReply reply;
    reply.pieces = {zefa_test::roleEvent(), zefa_test::contentEvent("cut")};
    reply.ending = ScriptedReply::Ending::Drop;
    service.setReply(reply);
    (void)zefa_test::chatExpectingNetworkError(engine, kHello);
    EXPECT_EQ(recorder.text(), "cut");
}

TEST_F(ChatOverHttp, ConnectionRefusedIsANetworkErrorAndTheEngineRecovers) {
    ZefaNlpEnginePrivate offline(
        "http://127.0.0.1:" + std::to_string(zefa_test::freeLoopbackPort()) +
        "/compatible-mode/v1/chat/completions");
    zefa_test::configure(offline, recorder);
    (void)zefa_test::chatExpectingNetworkError(offline, kHello);

    service.setReply(streamReply({"ok"}));
    EXPECT_TRUE(engine.chat(kHello).success);
    EXPECT_EQ(recorder.text(), "ok");
}

TEST(ChatOverTls, UntrustedCertificateIsCode9) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("zefa-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    ModelService service(zefa_test::makeSelfSignedCertificate(directory.string()));
    service.setReply(streamReply({"secret"}));
    ZefaNlpEnginePrivate engine(service.endpointUrl());
    Recorder recorder;
    zefa_test::configure(engine, recorder);
    StderrCapture capture;
    const auto result = engine.chat(kHello);
    const std::string printed = capture.text();
    std::filesystem::remove_all(directory);
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

TEST_F(ChatOverHttp, GenerateContentSendsThePromptAsOneUserMessage) {
    service.setReply(streamReply({"ok"}));
    EXPECT_TRUE(
        engine
            .generateContent(
                R"({"prompt": "tell me", "messages": [{"role": "user", "content": "ignored"}]})")
            .success);
    const Json::Value body = lastRequestBody();
    ASSERT_EQ(body["messages"].size(), 1u);
    EXPECT_EQ(body["messages"][0]["role"], "user");
    EXPECT_EQ(body["messages"][0]["content"], "tell me");
    EXPECT_EQ(recorder.text(), "ok");
}

}  // namespace
