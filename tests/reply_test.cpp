// SPDX-License-Identifier: MIT
// A reply fed directly, as the transfer hands it over: what reaches the host, what the request
// returns and what standard error shows, for each kind of reply.
#include "reply.h"

#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using zefa_test::contentEvent;
using zefa_test::doneEvent;
using zefa_test::streamOf;

constexpr const char* kNoStream = "The service's reply held no event stream";

struct ReplyRow {
    std::string name;
    long status;
    std::vector<std::string> pieces;
    int code;                 // -1: success
    std::string message;      // of the outcome
    std::string printed;      // on standard error
    std::string delivered{};  // the "result" texts of the fragments, joined
    cpr::Error transport{};
};

void PrintTo(const ReplyRow& row, std::ostream* out) { *out << row.name; }

std::string joined(const std::vector<std::string>& pieces) {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return text;
}

std::vector<ReplyRow> replyRows() {
    const std::string document = R"({"error":{"message":"slow down, please"}})";
    const std::string page = "<html><body><h1>502 Bad Gateway</h1></body></html>\n";
    const std::string hostile =
        "bad gateway\r\nnet error: forged\n\x1b[2J\x1b]0;owned\x07\xc2\x9b\x9b";
    const std::string errorEvent = R"({"error":{"message":"content filtered"}})";
    const std::string whole = R"({"id":"x","choices":[{"message":{"content":"whole answer"}}]})";
    const std::string inside =
        R"(data: {"choices":[{"delta":{"content":"hi"},"finish_reason":null}],"usage":)";
    const std::string rest =
        "{\"error\":0,\"tokens\":1}}\n\n" + contentEvent(" there") + doneEvent();
    std::vector<std::string> filtered = streamOf({"partial"});
    filtered.insert(filtered.begin() + 2, "data: " + errorEvent + "\n\n");
    const auto failed = [](const std::string& text) { return "zefa chat failed: " + text + "\n"; };
    return {
        {"StreamReadToItsEnd", 200, streamOf({"Hel", "lo"}), -1, "", "", "Hello"},
        {"ErrorReplySplitOverWrites",
         429,
         {document.substr(0, 15), document.substr(15)},
         16,
         document,
         failed(document)},
        {"ErrorEventInsideAStream", 200, filtered, 1000, errorEvent, failed(errorEvent), "partial"},
        {"HtmlErrorPage",
         502,
         {page},
         1000,
         page,
         failed("<html><body><h1>502 Bad Gateway</h1></body></html>\\n")},
        // A page that would forge a diagnostic line of its own and drive the host's terminal.
        {"PageWithLineBreaksAndEscapes",
         502,
         {hostile},
         1000,
         hostile,
         failed(R"(bad gateway\r\nnet error: forged\n\u001b[2J\u001b]0;owned\u0007\u009b\x9b)")},
        {"RefusalStatusWithoutABody", 404, {}, 10, kNoStream, failed(kNoStream)},
        {"AnOkReplyThatIsNoStream", 200, {whole}, 1000, whole, failed(whole)},
        // An object that begins a piece inside an event is no error reply, however it is cut.
        {"ObjectInsideAnEventInOnePiece", 200, {inside + rest}, -1, "", "", "hi there"},
        {"ObjectInsideAnEventBeginningAPiece", 200, {inside, rest}, -1, "", "", "hi there"},
        {"ObjectInsideAnEventAfterItsPrefix",
         200,
         {inside.substr(0, 6), inside.substr(6), rest},
         -1,
         "",
         "",
         "hi there"},
        // "[DONE]" is matched on the whole payload; nothing after it is read.
        {"NothingAfterDone",
         200,
         {contentEvent("A"), "data: [DONE] \n\ndata: [done]\n\n", doneEvent() + contentEvent("B"),
          contentEvent("C"), "garbage"},
         -1,
         "",
         "",
         "A"},
        {"ACharacterSplitAcrossEvents",
         200,
         {R"(data: {"choices":[{"delta":{"content":"smile \ud83d"}}]})"
          "\n\n",
          R"(data: {"choices":[{"delta":{"content":"\ude00!"}}]})"
          "\n\n",
          doneEvent()},
         -1,
         "",
         "",
         "smile \xF0\x9F\x98\x80!"},
        {"ALastEventWithoutItsBlankLine", 200, {contentEvent("a"), "data: {}"}, -1, "", "", "a"},
        {"TransportFailureMidStream",
         200,
         {contentEvent("cut")},
         4,
         "boom",
         "net error: boom\n",
         "cut",
         cpr::Error(CURLE_RECV_ERROR, "boom")},
        {"UntrustedCertificate",
         0,
         {},
         9,
         "no trust",
         "net error: no trust\n",
         "",
         cpr::Error(CURLE_PEER_FAILED_VERIFICATION, "no trust")},
        {"TransportFailureAfterDone", 200, streamOf({"all"}), -1, "", "", "all",
         cpr::Error(CURLE_RECV_ERROR, "reset")},
    };
}

class Replies : public testing::TestWithParam<ReplyRow> {};

TEST_P(Replies, ReachTheHostAndEndAsTheirKindSays) {
    const ReplyRow& row = GetParam();
    zefa_test::Recorder host;
    Reply reply("model", [&host](const zefa_test::TextGenerationResult& fragment) {
        host.record(fragment);
        return true;
    });
    zefa_test::StderrCapture capture;
    for (const std::string& piece : row.pieces) {
        if (!reply.read(piece, row.status)) break;
    }
    reply.finish(row.transport);
    const auto outcome = reply.outcome(row.status, row.transport);
    EXPECT_EQ(capture.text(), row.printed);
    EXPECT_EQ(outcome.success, row.code == -1);
    EXPECT_EQ(outcome.error.code, row.code);
    EXPECT_EQ(outcome.error.message, row.message);
    EXPECT_EQ(host.text(), row.delivered);
    int nextId = 0;
    for (const Json::Value& fragment : host.fragments()) {
        EXPECT_EQ(fragment["sentence_id"], nextId++);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Replies, testing::ValuesIn(replyRows()),
                         [](const testing::TestParamInfo<ReplyRow>& param) {
                             return param.param.name;
                         });

// A host that takes no more fragments (a stop, a failed callback) ends the reading, not the
// transfer: the engine ends a stopped transfer by its own means.
TEST(Reply, AfterARefusedFragmentNothingMoreIsHandedOn) {
    int offered = 0;
    Reply reply("model", [&offered](const zefa_test::TextGenerationResult&) {
        ++offered;
        return false;
    });
    EXPECT_TRUE(reply.read(joined(streamOf({"a", "b"})), 200));
    EXPECT_TRUE(reply.read(contentEvent("c"), 200));
    EXPECT_EQ(offered, 1);
}

}  // namespace
