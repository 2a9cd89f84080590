// SPDX-License-Identifier: MIT
// The write callback: server-sent events in, numbered fragments out, whatever the chunking.
#include "engine_inspector.h"
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Inspector = ZefaNlpEngineInspector;
using zefa_test::contentEvent;
using zefa_test::doneEvent;
using zefa_test::feed;
using zefa_test::Recorder;
using zefa_test::StderrCapture;
using zefa_test::stopEvent;
using zefa_test::TextGenerationResult;

std::string join(const std::vector<std::string>& pieces) {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return text;
}

// Cuts text into chunks of size bytes.
std::vector<std::string> chunksOf(const std::string& text, std::size_t size) {
    std::vector<std::string> chunks;
    for (std::size_t pos = 0; pos < text.size(); pos += size)
        chunks.push_back(text.substr(pos, size));
    return chunks;
}

cpr::Response responseWithStatus(long status) {
    cpr::Response response;
    response.status_code = status;
    return response;
}

class StreamParser : public testing::Test {
protected:
    void SetUp() override {
        engine.setTextGenerationResultCallback(recorder.callback());
        ASSERT_TRUE(Inspector::beginRequest(engine));
    }

    // Ends the request as a transfer that completed with status.
    ai_engine::result::AiEngineBaseResult finish(long status = 200) {
        return Inspector::finishRequest(engine, responseWithStatus(status));
    }

    std::vector<Json::Value> fragments() const { return recorder.fragments(); }

    ZefaNlpEnginePrivate engine{"http://127.0.0.1:9/unused"};
    Recorder recorder;
};

TEST_F(StreamParser, CompleteReplyGivesOneNumberedFragmentPerEvent) {
    const std::vector<bool> answers = feed(engine, zefa_test::streamOf({"Hel", "lo"}));
    EXPECT_EQ(answers, std::vector<bool>(5, true));

    const auto results = recorder.results();
    ASSERT_EQ(results.size(), 4u);  // role, two tokens, stop; nothing for "[DONE]"
    EXPECT_EQ(results[0].text,
              "{\n\t\"is_end\" : false,\n\t\"result\" : \"\",\n\t\"sentence_id\" : 0\n}\n");
    EXPECT_EQ(results[3].text,
              "{\n\t\"is_end\" : true,\n\t\"result\" : null,\n\t\"sentence_id\" : 3\n}\n");
    for (const auto& result : results) {
        EXPECT_TRUE(result.success);
        EXPECT_EQ(result.error.code, -1);
        EXPECT_EQ(result.error.message, "");
        EXPECT_EQ(result.modelName, "泽法-zefa-plus");
    }
    EXPECT_EQ(recorder.text(), "Hello");
    const auto result = finish();
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error.code, -1);
}

TEST_F(StreamParser, ChunkingNeverChangesWhatTheHostReceives) {
    const std::string reply = join(
        {": keep-alive\r\n\r\n", "data: {\"choices\":[{\"delta\":{\"content\":\"你好\"}}]}\r\n\r\n",
         contentEvent("a\nb"), "event: x\nid: 7\ndata: {\"choices\":[{\"delta\":",
         "{\"content\":\"!\"}}]}\n\n", stopEvent(), doneEvent()});
    Recorder whole;
    {
        ZefaNlpEnginePrivate reference("http://127.0.0.1:9/unused");
        reference.setTextGenerationResultCallback(whole.callback());
        ASSERT_TRUE(Inspector::beginRequest(reference));
        feed(reference, {reply});
        (void)Inspector::finishRequest(reference);
    }
    ASSERT_EQ(whole.results().size(), 4u);
    for (const std::size_t size : {1u, 2u, 7u, 64u}) {
        ZefaNlpEnginePrivate split("http://127.0.0.1:9/unused");
        Recorder recorded;
        split.setTextGenerationResultCallback(recorded.callback());
        ASSERT_TRUE(Inspector::beginRequest(split));
        const std::vector<bool> answers = feed(split, chunksOf(reply, size));
        EXPECT_EQ(std::count(answers.begin(), answers.end(), false), 0) << "size " << size;
        (void)Inspector::finishRequest(split);
        ASSERT_EQ(recorded.results().size(), whole.results().size()) << "size " << size;
        for (std::size_t i = 0; i < whole.results().size(); ++i) {
            EXPECT_EQ(recorded.results()[i].text, whole.results()[i].text) << "size " << size;
        }
    }
    EXPECT_EQ(whole.text(), "你好a\nb!");
}

TEST_F(StreamParser, EachEventIsDeliveredWhenItsBlankLineArrives) {
    EXPECT_EQ(feed(engine, {contentEvent("A") + contentEvent("B") + "data: {\"choices\":[{"}),
              std::vector<bool>{true});
    EXPECT_EQ(recorder.text(), "AB");
    EXPECT_EQ(feed(engine, {"\"delta\":{\"content\":\"C\"}}]}\n"}), std::vector<bool>{true});
    EXPECT_EQ(recorder.text(), "AB");
    EXPECT_EQ(feed(engine, {"\n"}), std::vector<bool>{true});
    EXPECT_EQ(recorder.text(), "ABC");
    const auto ids = fragments();
    ASSERT_EQ(ids.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ids[i]["sentence_id"], i);
}

TEST_F(StreamParser, ContentAndFinishReasonOfEveryShape) {
    feed(engine, {
                     "data: {\"choices\":[{\"delta\":{\"content\":\"\"}}]}\n\n",
                     "data: {\"choices\":[{\"delta\":{}}]}\n\n",
                     "data: {\"choices\":[]}\n\n",
                     "data: {}\n\n",
                     "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"length\"}]}\n\n",
                     "data: {\"choices\":[{\"delta\":{\"content\":7},\"finish_reason\":null}]}\n\n",
                     "data: not json at all\n\n",
                     "data:\n\n",
                     "data: [1,2]\n\ndata: \"text\"\n\ndata: 42\n\n",
                     "data: {\"choices\":5}\n\ndata: {\"choices\":[5]}\n\n",
                     "data: {\"choices\":[{\"delta\":\"x\",\"finish_reason\":\"stop\"}]}\n\n",
                 });
    const auto got = fragments();
    ASSERT_EQ(got.size(), 14u);
    EXPECT_EQ(got[0]["result"], "");
    for (int i : {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13}) {
        EXPECT_TRUE(got[i]["result"].isNull()) << i;
    }
    EXPECT_EQ(got[5]["result"], 7);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(got[i]["is_end"], false) << i;
    EXPECT_EQ(got[13]["is_end"], true);
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(got[i]["sentence_id"], i);
        EXPECT_EQ(got[i].size(), 3u);
    }
}

TEST_F(StreamParser, NothingAfterDoneButTheReplyIsStillRead) {
    EXPECT_EQ(feed(engine, {contentEvent("A") + doneEvent() + contentEvent("B"), contentEvent("C"),
                            "garbage"}),
              std::vector<bool>(3, true));
    EXPECT_EQ(recorder.text(), "A");
    EXPECT_EQ(recorder.results().size(), 1u);
    // No "stop" event came: no fragment says is_end, and the request still succeeded.
    EXPECT_EQ(fragments()[0]["is_end"], false);
    EXPECT_TRUE(finish().success);
}

TEST_F(StreamParser, DoneIsMatchedOnTheWholePayload) {
    feed(engine, {"data: [DONE] \n\n", "data: [done]\n\n", contentEvent("still here")});
    EXPECT_EQ(recorder.results().size(), 3u);
    EXPECT_EQ(recorder.text(), "still here");
}

TEST_F(StreamParser, ErrorReplyIsRefusedAndReported) {
    const std::string reply = R"({"error":{"code":"InvalidApiKey","message":"bad key"}})";
    StderrCapture capture;
    EXPECT_EQ(feed(engine, {reply}), std::vector<bool>{false});
    EXPECT_EQ(capture.text(), "zefa chat failed: " + reply + "\n");
    EXPECT_EQ(Inspector::serverErrorText(engine), reply);
    EXPECT_TRUE(recorder.results().empty());
    const auto result = finish(401);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 10);
    EXPECT_EQ(result.error.message, reply);
    EXPECT_EQ(result.error.module, "AI Engine");
}

TEST_F(StreamParser, ErrorReplySplitOverWritesIsReportedWhole) {
    const std::string reply = R"({"error":{"message":"abc"}})";
    StderrCapture capture;
    EXPECT_EQ(feed(engine, {reply.substr(0, 20), reply.substr(20)}), std::vector<bool>(2, true));
    const auto result = finish(400);
    EXPECT_EQ(result.error.code, 7);
    EXPECT_EQ(result.error.message, reply);
    EXPECT_EQ(capture.text(), "zefa chat failed: " + reply + "\n");
}

TEST_F(StreamParser, ErrorEventInsideTheStreamFailsTheRequest) {
    const std::string payload = R"({"error":{"message":"quota"}})";
    StderrCapture capture;
    EXPECT_EQ(feed(engine, {contentEvent("A"), "data: " + payload + "\n\n" + contentEvent("B")}),
              (std::vector<bool>{true, false}));
    EXPECT_EQ(capture.text(), "zefa chat failed: " + payload + "\n");
    EXPECT_EQ(recorder.text(), "A");
    const auto result = finish(200);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 1000);
    EXPECT_EQ(result.error.message, payload);
}

TEST_F(StreamParser, AChunkHoldingOnlyAPayloadIsNoErrorReply) {
    EXPECT_EQ(feed(engine, {"data: ", R"({"choices":[{"delta":{"content":"x"}}]})", "\n\n"}),
              std::vector<bool>(3, true));
    EXPECT_EQ(recorder.text(), "x");
}

TEST_F(StreamParser, ServerSentEventFraming) {
    const std::string bom = "\xEF\xBB\xBF";
    feed(engine, {bom.substr(0, 2),
                  bom.substr(2) + "data:{\"choices\":[{\"delta\":{\"content\":\"1\"}}]}\r",
                  "\n\r\n", "retry: 10\nid: 3\n: comment\nevent: message\n\n",
                  "data: {\"choices\":[{\"delta\":\n", "data: {\"content\":\"2\"}}]}\r\r"});
    EXPECT_EQ(recorder.text(), "12");
    EXPECT_EQ(fragments().size(), 2u);  // an event without data gives nothing
}

TEST_F(StreamParser, LastEventWithoutItsBlankLineIsDeliveredAtTheEnd) {
    feed(engine, {contentEvent("A"), R"(data: {"choices":[{"delta":{"content":"B"}}]})"});
    EXPECT_EQ(recorder.text(), "A");
    EXPECT_TRUE(finish().success);
    EXPECT_EQ(recorder.text(), "AB");
}

TEST_F(StreamParser, AnEventLongerThanTheLimitAbortsTheTransfer) {
    const std::size_t limit = ZefaNlpEnginePrivate::kMaxPendingBytes;
    const std::string piece(64 * 1024, 'x');
    std::vector<bool> answers = feed(engine, {"data: {\"choices\":[{\"delta\":{\"content\":\""});
    while (answers.back() && answers.size() < 100) {
        answers.push_back(feed(engine, {piece})[0]);
        EXPECT_LE(Inspector::pendingData(engine).size(), limit);
    }
    EXPECT_FALSE(answers.back());
    EXPECT_EQ(answers.size(), 1 + limit / piece.size());
    const auto result = finish();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, 1000);
    EXPECT_NE(result.error.message.find("1048576 bytes"), std::string::npos);
}

TEST_F(StreamParser, StopBetweenChunksRefusesTheNextOne) {
    feed(engine, {contentEvent("A") + "data: {\"cho"});
    engine.stopChat();
    EXPECT_EQ(feed(engine, {"ices\":[]}\n\n"}), std::vector<bool>{false});
    EXPECT_EQ(Inspector::pendingData(engine), "data: {\"cho");
    EXPECT_TRUE(Inspector::stopFlag(engine));
    EXPECT_EQ(recorder.text(), "A");
    EXPECT_EQ(recorder.endMarkers(), 1u);
    const auto result = finish();
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error.code, -1);
    EXPECT_FALSE(Inspector::stopFlag(engine));
}

TEST_F(StreamParser, StopDuringDeliveryEndsTheChunkAtTheEndMarker) {
    engine.setTextGenerationResultCallback([this](const TextGenerationResult& result) {
        recorder.record(result);
        if (recorder.results().size() == 1) engine.stopChat();  // from inside the callback
    });
    (void)Inspector::finishRequest(engine);  // begin again: a request copies the callback
    ASSERT_TRUE(Inspector::beginRequest(engine));
    EXPECT_EQ(feed(engine, {contentEvent("A") + contentEvent("B") + contentEvent("C")}),
              std::vector<bool>{false});
    const auto results = recorder.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(zefa_test::parse(results[0].text)["result"], "A");
    EXPECT_EQ(results[1].text, zefa_test::kEndMarker);
    EXPECT_TRUE(finish().success);
}

TEST_F(StreamParser, AHostCallbackThatThrowsDoesNotBreakTheEngine) {
    int calls = 0;
    engine.setTextGenerationResultCallback([&calls](const TextGenerationResult&) {
        ++calls;
        throw std::runtime_error("host bug");
    });
    (void)Inspector::finishRequest(engine);  // begin again: a request copies the callback
    ASSERT_TRUE(Inspector::beginRequest(engine));
    EXPECT_EQ(feed(engine, {contentEvent("A") + contentEvent("B")}), std::vector<bool>{true});
    EXPECT_EQ(calls, 2);
    engine.stopChat();  // the end marker's callback throws too
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(finish().success);
}

std::string rawContentEvent(const std::string& escapedContent) {
    return "data: {\"choices\":[{\"delta\":{\"content\":\"" + escapedContent + "\"}}]}\n\n";
}

TEST_F(StreamParser, ACharacterSplitBetweenTwoEventsArrivesWhole) {
    feed(engine, {rawContentEvent("ab\\ud83d"), rawContentEvent("\\ude00cd"),
                  rawContentEvent("x\\ud83d"), rawContentEvent("y"), rawContentEvent("\\udc00z"),
                  rawContentEvent("\\ud83dq"), rawContentEvent("\\ud83d\\ude00\\n\\\"")});
    const auto got = fragments();
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0]["result"], "ab");
    EXPECT_EQ(got[1]["result"],
              "\xF0\x9F\x98\x80"
              "cd");  // U+1F600
    EXPECT_EQ(got[2]["result"], "x");
    EXPECT_EQ(got[3]["result"],
              "\xEF\xBF\xBD"
              "y");  // the partner never came: U+FFFD
    EXPECT_EQ(got[4]["result"],
              "\xEF\xBF\xBD"
              "z");
    EXPECT_EQ(got[5]["result"],
              "\xEF\xBF\xBD"
              "q");
    EXPECT_EQ(got[6]["result"], "\xF0\x9F\x98\x80\n\"");
}

}  // namespace
