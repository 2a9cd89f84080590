// SPDX-License-Identifier: MIT
// From an event's payload to the fragment text the host receives, on both ways there: the fast
// reader of plain chunks and the JSON library. They must never differ by a byte.
#include "fragment.h"

#include "system_support.h"
#include "zefa_nlp_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using zefa_nlp_fragment::PlainChunk;

// The fragment text of payload the general way: parsed by the JSON library, written by it.
std::string generalFragment(const std::string& payload, int sentenceId) {
    return zefa_nlp_fragment::fragmentJson(zefa_nlp_util::formatJsonFromString(payload), sentenceId)
        .toStyledString();
}

struct Shape {
    std::string payload;
    Json::Value result;
    bool isEnd;
};

TEST(Fragment, EveryShapeOfContentAndFinishReason) {
    const std::vector<Shape> shapes = {
        {R"({"choices":[{"delta":{"content":"hi"},"finish_reason":null}]})", "hi", false},
        {R"({"choices":[{"delta":{"content":""}}]})", "", false},
        {R"({"choices":[{"delta":{}}]})", Json::Value(), false},
        {R"({"choices":[]})", Json::Value(), false},
        {"{}", Json::Value(), false},
        {R"({"choices":[{"delta":{},"finish_reason":"length"}]})", Json::Value(), false},
        {R"({"choices":[{"delta":{"content":7},"finish_reason":null}]})", 7, false},
        {"not json at all", Json::Value(), false},
        {"", Json::Value(), false},
        {"[1,2]", Json::Value(), false},
        {"\"text\"", Json::Value(), false},
        {"42", Json::Value(), false},
        {R"({"choices":5})", Json::Value(), false},
        {R"({"choices":[5]})", Json::Value(), false},
        {R"({"choices":[{"delta":"x","finish_reason":"stop"}]})", Json::Value(), true},
        {R"({"choices":[{"delta":{"content":"end"},"finish_reason":"stop"}]})", "end", true},
    };
    for (const Shape& shape : shapes) {
        const Json::Value fragment =
            zefa_nlp_util::formatJsonFromString(generalFragment(shape.payload, 3));
        ASSERT_EQ(fragment.size(), 3u) << shape.payload;
        EXPECT_EQ(fragment["result"], shape.result) << shape.payload;
        EXPECT_EQ(fragment["is_end"], shape.isEnd) << shape.payload;
        EXPECT_EQ(fragment["sentence_id"], 3) << shape.payload;
    }
}

// Payloads of every kind the fast reader meets: the fuzz target's seeds and a generated set of
// escapes, surrogates, non-ASCII text, numbers and member orders.
std::vector<std::string> differentialPayloads() {
    std::vector<std::string> payloads;
    for (const auto& entry : std::filesystem::directory_iterator(ZEFA_FAST_PATH_CORPUS)) {
        payloads.push_back(zefa_test::readFile(entry.path()));
    }
    const std::vector<std::string> contents = {
        R"("")",
        R"("plain words")",
        R"("a\"b\\c\/d")",
        R"("\n\t\r\b\f\u0001\u001f")",
        R"("\u00e9\u4f60\uFFFD")",
        R"("\ud83d\ude00 and \uD83D\uDE00")",
        "\"你好, é 😀\"",
        R"("\u0000 nul")",
        "null",
        "7",
        "-0.5",
        "true",
        "[\"x\"]",
        R"({"a":1})",
    };
    const std::vector<std::string> finishReasons = {
        "", R"("finish_reason":null)", R"("finish_reason":"stop")", R"("finish_reason":"length")"};
    for (const std::string& content : contents) {
        for (const std::string& finish : finishReasons) {
            const std::string delta = R"("delta":{"role":"assistant","content":)" + content + "}";
            const std::string tail = finish.empty() ? "" : "," + finish;
            payloads.push_back(R"({"choices":[{)" + delta + tail + "}]}");
            payloads.push_back(
                R"({ "id" : "c1", "created":1733600000, "choices" : [ { "index":0, )" +
                (finish.empty() ? "" : finish + ", ") + delta +
                R"(, "logprobs":{"n":[1,-2.5,0.125]} } ], "usage":null })");
        }
    }
    return payloads;
}

TEST(Fragment, FastAndGeneralWaysGiveTheSameBytes) {
    PlainChunk chunk;
    std::size_t fast = 0;
    const std::vector<std::string> payloads = differentialPayloads();
    for (const std::string& payload : payloads) {
        if (!zefa_nlp_fragment::readPlainChunk(payload, chunk)) continue;
        ++fast;
        Json::Value value;
        ASSERT_TRUE(zefa_nlp_util::parseJson(payload, value)) << payload;
        EXPECT_FALSE(zefa_nlp_util::hasMember(value, "error")) << payload;
        std::string text;
        zefa_nlp_fragment::writeFragment(chunk, 41, text);
        EXPECT_EQ(text, generalFragment(payload, 41)) << payload;
    }
    // Most of them are plain chunks: the comparison must not pass by never taking the fast way.
    EXPECT_GT(fast, payloads.size() / 2);
}

}  // namespace
