// SPDX-License-Identifier: MIT
// Identity, model catalog, configuration and JSON reading of the engine.
#include "served_engine.h"
#include "zefa_nlp_util.h"

#include <gtest/gtest.h>

#include <string>

namespace zefa_test {
namespace {

TEST(EngineIdentity, AnswersWhoItIs) { expectFreshIdentity(ZefaNlpEnginePrivate()); }

TEST(EngineIdentity, CatalogDescribesTheOneModel) {
    ZefaNlpEnginePrivate engine;
    const Json::Value catalog = parse(engine.modelInfo());
    EXPECT_EQ(catalog["vendor"], "泽法");
    ASSERT_EQ(catalog["models"].size(), 1u);
    const Json::Value& model = catalog["models"][0];
    EXPECT_EQ(model["name"], "泽法-zefa-plus");
    EXPECT_EQ(model["model"], "zefa-plus");
    EXPECT_EQ(model["maxTokens"], 8192);
    EXPECT_EQ(model["feedbackUrl"].asString().rfind("https://", 0), 0u);
    const Json::Value& config = model["subConfig"][0]["config"][0];
    EXPECT_EQ(model["subConfig"][0]["name"], "zefa-plus");
    EXPECT_EQ(config["friendlyName"], "APIKey");
    EXPECT_EQ(config["configName"], "apiKey");
}

TEST(EngineIdentity, CatalogTextNeverChanges) {
    ZefaNlpEnginePrivate engine;
    const std::string before = engine.modelInfo();
    engine.setConfig(R"({"apiKey": "k"})");
    EXPECT_TRUE(engine.setCurrentModel("zefa-plus"));
    (void)engine.init();
    EXPECT_EQ(engine.modelInfo(), before);
}

struct ConfigCase {
    const char* name;
    const char* config;
    const char* expectedLine;  // nullptr: accepted
    const char* keyAfter;      // the key the service then receives
};

class SetConfig : public ServedEngineTest, public testing::WithParamInterface<ConfigCase> {};

TEST_P(SetConfig, AcceptsOnlyAStringKeyAndNeverEchoesSecrets) {
    const ConfigCase& c = GetParam();
    service.setReply(streamReply({"ok"}));
    engine.setConfig(R"({"apiKey": "earlier"})");
    StderrCapture capture;
    engine.setConfig(c.config);
    const std::string printed = capture.text();
    if (c.expectedLine == nullptr) {
        EXPECT_EQ(printed, "");
    } else {
        EXPECT_EQ(printed,
                  std::string("Invalid config for zefa nlp engine: ") + c.expectedLine + "\n");
    }
    expectSuccess(engine.chat(kHello), "chat");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    // A header's value ends at its last non-blank character.
    const std::string sent = *c.keyAfter == '\0' ? "Bearer" : std::string("Bearer ") + c.keyAfter;
    EXPECT_EQ(requests[0].header("Authorization"), sent);
}

ZEFA_TABLE(
    Cases, SetConfig,
    testing::Values(
        ConfigCase{"Key", R"({"apiKey": "sk-123"})", nullptr, "sk-123"},
        ConfigCase{"EmptyKey", R"({"apiKey": ""})", nullptr, ""},
        ConfigCase{"OtherMembersIgnored", R"({"apiKey": "k2", "region": "x", "n": 1})", nullptr,
                   "k2"},
        ConfigCase{"EmptyText", "", "", "earlier"},
        ConfigCase{"NumericKey", R"({"apiKey": 12345678})", R"({"apiKey":"***"})", "earlier"},
        ConfigCase{"EveryScalarMasked", R"({"a": [7, true, null], "b": {"c": -7.5}})",
                   R"({"a":["***","***","***"],"b":{"c":"***"}})", "earlier"},
        ConfigCase{"MistypedMemberMasked", "{\"apikey\": \"" ZEFA_TEST_API_KEY "\"}",
                   R"({"apikey":"***"})", "earlier"},
        ConfigCase{"ArrayNotEchoed", "[\"" ZEFA_TEST_API_KEY "\", 1]",
                   "(not a JSON object, 28 bytes)", "earlier"},
        ConfigCase{"ProseNotEchoed", ZEFA_TEST_API_KEY, "(not a JSON object, 21 bytes)", "earlier"},
        ConfigCase{"NumberBeforeProse", "8675309SECRET", "(not a JSON object, 13 bytes)",
                   "earlier"},
        ConfigCase{"NegativeNumberBeforeProse", "-7SECRET", "(not a JSON object, 8 bytes)",
                   "earlier"},
        ConfigCase{"CommentNotEchoed", "{\"apiKey\": 7 /* " ZEFA_TEST_API_KEY " */}",
                   R"({"apiKey":"***"})", "earlier"},
        ConfigCase{"HeaderInjection", "{\"apiKey\": \"sk\\r\\nX-Evil: 1\"}", R"({"apiKey":"***"})",
                   "earlier"},
        ConfigCase{"NulInKey", "{\"apiKey\": \"sk\\u0000\"}", R"({"apiKey":"***"})", "earlier"},
        ConfigCase{"DeleteInKey", "{\"apiKey\": \"sk\\u007f\"}", R"({"apiKey":"***"})",
                   "earlier"}));

TEST(SetCurrentModel, MatchesTheModelIdentifierExactly) {
    ZefaNlpEnginePrivate engine;
    EXPECT_TRUE(engine.setCurrentModel("zefa-plus"));
    EXPECT_EQ(engine.currentModelName(), "泽法-zefa-plus");
    for (const char* wrong : {"泽法-zefa-plus", "ZEFA-PLUS", "", " zefa-plus"}) {
        StderrCapture capture;
        EXPECT_FALSE(engine.setCurrentModel(wrong));
        EXPECT_EQ(capture.text(), std::string("Invalid current model name: ") + wrong + "\n");
        EXPECT_EQ(engine.currentModel(), "zefa-plus");
    }
}

// The limit init sends is the request body's test.
TEST(GetMaxTokens, ReadsTheCatalog) {
    ZefaNlpEnginePrivate engine;
    EXPECT_EQ(engine.getMaxTokens("zefa-plus"), 8192);
    EXPECT_EQ(engine.getMaxTokens("other"), -1);
}

TEST(FormatJsonFromString, ReturnsWhatTheReaderRead) {
    using zefa_nlp_util::formatJsonFromString;
    const Json::Value withTrailing = formatJsonFromString(R"({"a": 1} trailing words)");
    ASSERT_TRUE(withTrailing.isObject());
    EXPECT_EQ(withTrailing["a"], 1);
    EXPECT_TRUE(formatJsonFromString("").isNull());
    EXPECT_TRUE(formatJsonFromString("hello there").isNull());
    // Deeper than the reader's stack limit: the reader throws, the helper does not.
    EXPECT_TRUE(formatJsonFromString(std::string(100000, '[')).isNull());
    // A failed parse of a text ending in CR makes the reader look one byte further: it must
    // stay inside the text and fail (AddressSanitizer also watches the reading).
    Json::Value partial;
    EXPECT_FALSE(zefa_nlp_util::parseJson("\r{\r", partial));
}

}  // namespace
}  // namespace zefa_test
