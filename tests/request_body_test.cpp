// SPDX-License-Identifier: MIT
// The request body: fixed members from init, the conversation from the context operations.
#include "engine_inspector.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Inspector = ZefaNlpEngineInspector;
using Conversation = std::vector<std::pair<std::string, std::string>>;

Conversation messagesOf(ZefaNlpEnginePrivate& engine) {
    Conversation conversation;
    for (const Json::Value& message : Inspector::requestBody(engine)["messages"]) {
        EXPECT_EQ(message.size(), 2u);
        conversation.emplace_back(message["role"].asString(), message["content"].asString());
    }
    return conversation;
}

Conversation afterAdding(const Conversation& added) {
    ZefaNlpEnginePrivate engine;
    for (const auto& [role, content] : added) Inspector::addContext(engine, role, content);
    return messagesOf(engine);
}

Conversation afterRemoving(const Conversation& start) {
    ZefaNlpEnginePrivate engine;
    for (const auto& [role, content] : start) Inspector::addContext(engine, role, content);
    Inspector::removeLastContext(engine);
    return messagesOf(engine);
}

TEST(Init, WritesTheFixedMembersAndKeepsTheConversation) {
    ZefaNlpEnginePrivate engine;
    const auto result = engine.init();
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error.code, -1);
    Json::Value& body = Inspector::requestBody(engine);
    EXPECT_EQ(body["model"], "zefa-plus");
    EXPECT_EQ(body["stream"], true);
    EXPECT_EQ(body["max_tokens"], 8192);
    EXPECT_EQ(body["enable_search"], true);
    EXPECT_FALSE(body.isMember("messages"));
    // Members in key order when serialised.
    const std::string text = body.toStyledString();
    EXPECT_LT(text.find("enable_search"), text.find("max_tokens"));
    EXPECT_LT(text.find("max_tokens"), text.find("model"));

    Inspector::addContext(engine, "user", "hi");
    const Json::Value before = body;
    (void)engine.init();
    EXPECT_EQ(body, before);
}

TEST(ClearContext, EmptiesButNeverCreatesTheConversation) {
    ZefaNlpEnginePrivate engine;
    (void)engine.init();
    const Json::Value before = Inspector::requestBody(engine);
    engine.clearContext();
    EXPECT_EQ(Inspector::requestBody(engine), before);
    Inspector::addContext(engine, "user", "hi");
    engine.clearContext();
    EXPECT_TRUE(Inspector::requestBody(engine)["messages"].isArray());
    EXPECT_EQ(Inspector::requestBody(engine)["messages"].size(), 0u);
}

TEST(AddContext, SystemMessageAlwaysStandsFirst) {
    EXPECT_EQ(afterAdding({{"system", "be brief"}, {"user", "hi"}}),
              (Conversation{{"system", "be brief"}, {"user", "hi"}}));
    EXPECT_EQ(afterAdding({{"user", "hi"}, {"system", "be brief"}}),
              (Conversation{{"system", "be brief"}}));
    EXPECT_EQ(afterAdding({{"system", "one"}, {"system", "two"}}),
              (Conversation{{"system", "two"}}));
    EXPECT_EQ(afterAdding({{"user", "hi"}, {"system", ""}}), (Conversation{{"user", "hi"}}));
    EXPECT_EQ(afterAdding({{"user", ""}, {"", "x"}}), (Conversation{{"user", ""}, {"", "x"}}));

    ZefaNlpEnginePrivate engine;
    Inspector::addContext(engine, "system", "");
    EXPECT_TRUE(Inspector::requestBody(engine).isNull());
}

TEST(RemoveLastContext, TakesBackOneExchangeAtMost) {
    EXPECT_EQ(afterRemoving({{"system", "s"}, {"user", "u"}}), (Conversation{{"system", "s"}}));
    EXPECT_EQ(afterRemoving({{"system", "s"}, {"user", "u"}, {"assistant", "a"}}),
              (Conversation{{"system", "s"}}));
    EXPECT_EQ(afterRemoving({{"user", "1"}, {"assistant", "2"}, {"user", "3"}}),
              (Conversation{{"user", "1"}, {"assistant", "2"}}));
    for (const Conversation& unchanged :
         {Conversation{{"system", "s"}}, Conversation{{"assistant", "a"}},
          Conversation{{"assistant", "a"}, {"assistant", "b"}}, Conversation{}}) {
        EXPECT_EQ(afterRemoving(unchanged), unchanged);
    }
}

}  // namespace
