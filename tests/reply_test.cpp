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

namespace zefa_test {
namespace {

constexpr const char* kNoStream = "The service's reply held no event stream";

struct ReplyRow {
    std::string name;
    long status;
    std::vector<std::string> pieces;
    std::string delivered;  // the "result" texts of the fragments, joined
    int code = -1;          // of the outcome; -1: success
    std::string message{};
    std::string shown{};  // what the diagnostic line shows, when it is not message
    cpr::Error transport{};
    bool diagnosed = true;  // a failure shows its line on standard error
};

// The line on standard error: a transport's failure, the service's refusal, or none.
std::string diagnostic(const ReplyRow& row) {
    if (row.code == -1 || !row.diagnosed) return "";
    const bool network = row.transport.code != cpr::ErrorCode::OK;
    return (network ? "net error: " : "zefa chat failed: ") +
           (row.shown.empty() ? row.message : row.shown) + "\n";
}

std::vector<ReplyRow> replyRows() {
    const auto raw = [](const std::string& content) {
        return "data: {\"choices\":[{\"delta\":{\"content\":\"" + content + "\"}}]}\n\n";
    };
    const std::string document = R"({"error":{"message":"slow down, please"}})";
    const std::vector<std::string> split = {document.substr(0, 15), document.substr(15)};
    const std::string page = "<html><body><h1>502 Bad Gateway</h1></body></html>\n";
    const std::string pageShown = "<html><body><h1>502 Bad Gateway</h1></body></html>\\n";
    const std::string hostile =
        "bad gateway\r\nnet error: forged\n\x1b[2J\x1b]0;owned\x07\xc2\x9b\x9b";
    const std::string hostileShown =
        R"(bad gateway\r\nnet error: forged\n\u001b[2J\u001b]0;owned\u0007\u009b\x9b)";
    const std::string errorEvent = R"({"error":{"message":"content filtered"}})";
    std::vector<std::string> filtered = streamOf({"partial"});
    filtered.insert(filtered.begin() + 2, "data: " + errorEvent + "\n\n");
    const std::string whole = R"({"id":"x","choices":[{"message":{"content":"whole answer"}}]})";
    const std::string inside =
        R"(data: {"choices":[{"delta":{"content":"hi"},"finish_reason":null}],"usage":)";
    const std::string rest =
        "{\"error\":0,\"tokens\":1}}\n\n" + contentEvent(" there") + doneEvent();
    const std::vector<std::string> afterPrefix = {inside.substr(0, 6), inside.substr(6), rest};
    const std::vector<std::string> afterDone = {contentEvent("A"),  "data: [DONE] \n\n",
                                                "data: [done]\n\n", doneEvent() + contentEvent("B"),
                                                contentEvent("C"),  "garbage"};
    const std::vector<std::string> halves = {raw("smile \\ud83d"), raw("\\ude00!"), doneEvent()};
    const std::vector<std::string> loneHalves = {raw("a\\ud83db"), raw("c\\ude00d"),
                                                 raw("e\\ud83d"), raw("f"), doneEvent()};
    const std::vector<std::string> illFormed = {raw("a\xff\xfe b"),
                                                raw(std::string("a\xc3") + "A\xe0"),
                                                raw("\xe4\xbd"),
                                                raw("\xed\xa0\x80!"),
                                                raw("\xf0\x9f\x98x\xf0\x9f\x98\x80"),
                                                raw(std::string("n\0ul", 4)),
                                                raw("esc\\u0000aped"),
                                                doneEvent()};
    const std::string f = "\xEF\xBF\xBD";  // U+FFFD
    const std::string repaired = "a" + f + f + " ba" + f + "A" + f + f + f + f + f + "!" + f +
                                 "x\xf0\x9f\x98\x80" + std::string("n\0ulesc\0aped", 12);
    const std::string longPage(5000, 'x');
    const std::string endlessDocument =
        "{\"error\": \"" + std::string(Reply::kMaxPendingBytes, 'x');
    const std::string tooLong = "A piece of the service's reply exceeded the engine's limit of " +
                                std::to_string(Reply::kMaxPendingBytes) + " bytes";
    const cpr::Error cut(CURLE_RECV_ERROR, "boom");
    const cpr::Error untrusted(CURLE_PEER_FAILED_VERIFICATION, "no trust");
    return {
        {"StreamReadToItsEnd", 200, streamOf({"Hel", "lo"}), "Hello"},
        {"ErrorReplySplitOverWrites", 429, split, "", 16, document},
        {"ErrorEventInsideAStream", 200, filtered, "partial", 1000, errorEvent},
        {"HtmlErrorPage", 502, {page}, "", 1000, page, pageShown},
        {"ALongPageShownByItsHead", 502, {longPage}, "", 1000, longPage.substr(0, 4096)},
        {"AnErrorDocumentPastTheLimit", 200, {endlessDocument}, "", 1000, tooLong, "", {}, false},
        // A page that would forge a diagnostic line of its own and drive the host's terminal.
        {"PageWithLineBreaksAndEscapes", 502, {hostile}, "", 1000, hostile, hostileShown},
        {"RefusalStatusWithoutABody", 404, {}, "", 10, kNoStream},
        {"AnOkReplyThatIsNoStream", 200, {whole}, "", 1000, whole},
        // An object that begins a piece inside an event is no error reply, however it is cut.
        {"ObjectInsideAnEventInOnePiece", 200, {inside + rest}, "hi there"},
        {"ObjectInsideAnEventBeginningAPiece", 200, {inside, rest}, "hi there"},
        {"ObjectInsideAnEventAfterItsPrefix", 200, afterPrefix, "hi there"},
        // "[DONE]" is matched on the whole payload; nothing after it is read.
        {"NothingAfterDone", 200, afterDone, "A"},
        {"ACharacterSplitAcrossEvents", 200, halves, "smile \xF0\x9F\x98\x80!"},
        // A half inside a text, a low half alone, a high half whose partner never comes.
        {"HalvesWithoutTheirPartner", 200, loneHalves, "a" + f + "bc" + f + "de" + f + "f"},
        // Each ill-formed sequence becomes one U+FFFD; the characters around it arrive unchanged.
        {"IllFormedUtf8AndNulBytes", 200, illFormed, repaired},
        {"ALastEventWithoutItsBlankLine", 200, {contentEvent("a"), "data: {}"}, "a"},
        {"TransportFailureMidStream", 200, {contentEvent("cut")}, "cut", 4, "boom", "", cut},
        {"UntrustedCertificate", 0, {}, "", 9, "no trust", "", untrusted},
        {"TransportFailureAfterDone", 200, streamOf({"all"}), "all", -1, "", "", cut},
    };
}

class Replies : public testing::TestWithParam<ReplyRow> {};

TEST_P(Replies, ReachTheHostAndEndAsTheirKindSays) {
    const ReplyRow& row = GetParam();
    Recorder host;
    Reply reply("model", [&host](const TextGenerationResult& fragment) {
        host.record(fragment);
        return true;
    });
    StderrCapture capture;
    for (const std::string& piece : row.pieces) {
        if (!reply.read(piece, row.status)) break;
    }
    reply.finish(row.transport);
    const auto outcome = reply.outcome(row.status, row.transport);
    EXPECT_EQ(capture.text(), diagnostic(row));
    EXPECT_EQ(outcome.success, row.code == -1);
    EXPECT_EQ(outcome.error.code, row.code);
    EXPECT_EQ(outcome.error.message, row.message);
    EXPECT_EQ(host.text(), row.delivered);
    int nextId = 0;
    for (const Json::Value& fragment : host.fragments()) {
        EXPECT_EQ(fragment["sentence_id"], nextId++);
    }
}

ZEFA_TABLE(Kinds, Replies, testing::ValuesIn(replyRows()));

// A host that takes no more fragments (a stop, a failed callback) ends the reading, not the
// transfer: the engine ends a stopped transfer by its own means.
TEST(Reply, AfterARefusedFragmentNothingMoreIsHandedOn) {
    int offered = 0;
    Reply reply("model", [&offered](const TextGenerationResult&) {
        ++offered;
        return false;
    });
    EXPECT_TRUE(reply.read(joined(streamOf({"a", "b"})), 200));
    EXPECT_TRUE(reply.read(contentEvent("c"), 200));
    EXPECT_EQ(offered, 1);
}

}  // namespace
}  // namespace zefa_test
