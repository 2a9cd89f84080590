// SPDX-License-Identifier: MIT
// The request body as the service receives it: the members init writes, and the conversation of
// each request.
#include "engine_inspector.h"
#include "served_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zefa_test {
namespace {

using Inspector = ZefaNlpEngineInspector;
using Operation = AiEngineBaseResult (ZefaNlpEnginePrivate::*)(const std::string&);

Messages messagesOf(const Json::Value& body) {
    Messages messages;
    for (const Json::Value& message : body["messages"]) {
        EXPECT_EQ(message.size(), 2u) << message;
        messages.emplace_back(message["role"].asString(), message["content"].asString());
    }
    return messages;
}

class RequestBody : public ServedEngineTest {
protected:
    void SetUp() override { service.setReply(streamReply({"ok"})); }

    // The body of the request that input made, as the service received it.
    Json::Value sent(const std::string& input, Operation operation = &ZefaNlpEnginePrivate::chat) {
        expectSuccess((engine.*operation)(input), input);
        const auto requests = service.requests();
        return requests.empty() ? Json::Value() : parse(requests.back().body);
    }
};

TEST_F(RequestBody, HoldsTheModelItsLimitTheSwitchesAndTheConversation) {
    const Json::Value expected = parse(R"({"model": "zefa-plus", "stream": true,
        "max_tokens": 8192, "enable_search": true,
        "messages": [{"role": "user", "content": "hello"}]})");
    EXPECT_EQ(sent(kHello), expected);
    (void)engine.init();
    EXPECT_EQ(sent(kHello), expected);
}

// The messages of a chat input, and those the service receives.
struct ConversationRow {
    const char* name;
    Messages input;
    Messages sent;  // none: the body has no "messages" at all
};

class Conversations : public RequestBody, public testing::WithParamInterface<ConversationRow> {};

TEST_P(Conversations, AreSentWithTheSystemMessageFirst) {
    const ConversationRow& row = GetParam();
    const Json::Value body = sent(chatInput(row.input));
    EXPECT_EQ(messagesOf(body), row.sent);
    EXPECT_EQ(body.isMember("messages"), !row.sent.empty());
}

ZEFA_TABLE(
    Inputs, Conversations,
    testing::Values(
        ConversationRow{"InTurn",
                        {{"user", "1"}, {"assistant", "2"}, {"user", "3"}},
                        {{"user", "1"}, {"assistant", "2"}, {"user", "3"}}},
        ConversationRow{"SystemMessageFirst",
                        {{"system", "be brief"}, {"user", "hi"}},
                        {{"system", "be brief"}, {"user", "hi"}}},
        // A later system message takes the place of the first message, whatever it was.
        ConversationRow{"SystemMessageLater",
                        {{"user", "first"},
                         {"assistant", "answer"},
                         {"system", "be brief"},
                         {"user", "second"}},
                        {{"system", "be brief"}, {"assistant", "answer"}, {"user", "second"}}},
        ConversationRow{"SystemMessageLast",
                        {{"user", "hi"}, {"system", "be brief"}},
                        {{"system", "be brief"}}},
        ConversationRow{
            "TwoSystemMessages", {{"system", "one"}, {"system", "two"}}, {{"system", "two"}}},
        ConversationRow{
            "EmptySystemMessageLeftOut", {{"user", "hi"}, {"system", ""}}, {{"user", "hi"}}},
        ConversationRow{"EmptyTextsKept", {{"user", ""}, {"", "x"}}, {{"user", ""}, {"", "x"}}},
        ConversationRow{"OnlyAnEmptySystemMessage", {{"system", ""}}, {}},
        ConversationRow{"NoMessages", {}, {}}));

// A chat carries its own conversation only; once there was one, an empty one is an empty list.
TEST_F(RequestBody, EachChatCarriesOnlyItsOwnConversationOverTheSameConnection) {
    EXPECT_EQ(
        messagesOf(sent(chatInput({{"user", "one"}, {"assistant", "x"}, {"user", "two"}}))).size(),
        3u);
    EXPECT_EQ(messagesOf(sent(ask("three"))), (Messages{{"user", "three"}}));
    const Json::Value empty = sent("{}");
    EXPECT_TRUE(empty["messages"].isArray());
    EXPECT_EQ(empty["messages"].size(), 0u);
    EXPECT_EQ(service.connectionsAccepted(), 1u);
}

TEST_F(RequestBody, AContentInputIsSentAsOneUserMessage) {
    const Json::Value body =
        sent(R"({"prompt": "tell me", "messages": [{"role": "user", "content": "ignored"}]})",
             &ZefaNlpEnginePrivate::generateContent);
    EXPECT_EQ(messagesOf(body), (Messages{{"user", "tell me"}}));
    EXPECT_EQ(recorder.text(), "ok");
}

// Nothing in the engine takes an exchange back yet, so nothing public shows it.
Messages afterRemoving(const Messages& start) {
    ZefaNlpEnginePrivate engine;
    for (const auto& [role, content] : start) Inspector::addContext(engine, role, content);
    Inspector::removeLastContext(engine);
    return messagesOf(Inspector::requestBody(engine));
}

TEST(RemoveLastContext, TakesBackOneExchangeAtMost) {
    EXPECT_EQ(afterRemoving({{"system", "s"}, {"user", "u"}}), (Messages{{"system", "s"}}));
    EXPECT_EQ(afterRemoving({{"system", "s"}, {"user", "u"}, {"assistant", "a"}}),
              (Messages{{"system", "s"}}));
    EXPECT_EQ(afterRemoving({{"user", "1"}, {"assistant", "2"}, {"user", "3"}}),
              (Messages{{"user", "1"}, {"assistant", "2"}}));
    for (const Messages& unchanged :
         {Messages{{"system", "s"}}, Messages{{"assistant", "a"}},
          Messages{{"assistant", "a"}, {"assistant", "b"}}, Messages{}}) {
        EXPECT_EQ(afterRemoving(unchanged), unchanged);
    }
}

}  // namespace
}  // namespace zefa_test
