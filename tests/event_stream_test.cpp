// SPDX-License-Identifier: MIT
// The server-sent-event reader: the same events whatever the chunking, and its limit.
#include "event_stream.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zefa_nlp_sse::EventStreamReader;
using Status = EventStreamReader::Status;

constexpr std::size_t kWhole = 0;  // the stream in one chunk

struct Case {
    const char* name;
    std::string stream;
    std::vector<std::string> events;
    Status status = Status::Reading;  // after finish
    std::size_t limit = 1024;
};

struct Read {
    std::vector<std::string> events;
    Status status;
};

// Feeds stream in chunks of chunkSize bytes, then finishes it. The handler stops the reader at an
// event "stop".
Read readStream(const Case& c, std::size_t chunkSize) {
    EventStreamReader reader(c.limit);
    Read read;
    const EventStreamReader::EventHandler handler = [&read](std::string& data) {
        read.events.push_back(data);
        return data != "stop";
    };
    const std::size_t step = chunkSize == kWhole ? c.stream.size() + 1 : chunkSize;
    for (std::size_t pos = 0; pos < c.stream.size(); pos += step) {
        (void)reader.feed(std::string_view(c.stream).substr(pos, step), handler);
        EXPECT_LE(reader.heldBytes(), c.limit + step) << c.name;
    }
    read.status = reader.finish(handler);
    return read;
}

const std::string kBom = "\xEF\xBB\xBF";

class Framing : public testing::TestWithParam<Case> {};

TEST_P(Framing, GivesTheSameEventsWhateverTheChunking) {
    const Case& c = GetParam();
    for (const std::size_t chunkSize : {kWhole, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
        const Read read = readStream(c, chunkSize);
        EXPECT_EQ(read.events, c.events) << "chunks of " << chunkSize;
        EXPECT_EQ(read.status, c.status) << "chunks of " << chunkSize;
    }
}

ZEFA_TABLE(
    Streams, Framing,
    testing::Values(
        Case{"LineFeeds", "data: a\n\ndata: b\n\n", {"a", "b"}},
        Case{"CrLf", "data: a\r\n\r\ndata: b\r\n\r\n", {"a", "b"}},
        Case{"CrLfBetweenDataLines", "data: a\r\ndata: b\r\n\r\n", {"a\nb"}},
        Case{"CarriageReturns", "data: a\r\rdata: b\r\r", {"a", "b"}},
        Case{"MixedLineEnds", "data: a\r\n\ndata: b\r\r\n", {"a", "b"}},
        Case{"BlankAfterTheColonIsOptional", "data:a\n\ndata:  b\n\ndata\n\n", {"a", " b", ""}},
        Case{"DataLinesJoinedWithLineFeeds", "data: one\ndata: two\ndata:\n\n", {"one\ntwo\n"}},
        Case{"CommentsAndOtherFieldsIgnored",
             ": keep-alive\n\nevent: x\nid: 7\nretry: 10\ndata: a\n\nevent: only\n\n",
             {"a"}},
        Case{"ByteOrderMarkAtTheStart", kBom + "data: a\n\n", {"a"}},
        Case{"ByteOrderMarkOnlyAtTheStart", "data: a\n\n" + kBom + "data: b\n\n", {"a"}},
        Case{"LastEventWithoutItsBlankLine", "data: a\n\ndata: b\n", {"a", "b"}},
        Case{"LastLineWithoutItsEnd", "data: a\n\ndata: b", {"a", "b"}},
        Case{"NothingButBlankLines", "\n\n\r\n\r\r", {}},
        Case{"HandlerStopsTheReading",
             "data: a\n\ndata: stop\n\ndata: c\n\n",
             {"a", "stop"},
             Status::Stopped},
        // The limit counts the bytes of an event's lines, field names included.
        Case{"EventUpToTheLimit",
             "data: " + std::string(14, 'x') + "\ndata: " + std::string(14, 'y') + "\n\n",
             {std::string(14, 'x') + "\n" + std::string(14, 'y')},
             Status::Reading,
             40},
        Case{"EventOverTheLimit",
             "data: a\n\ndata: " + std::string(35, 'x') + "\n\ndata: b\n\n",
             {"a"},
             Status::LimitExceeded,
             40},
        Case{"LinesOverTheLimitTogether",
             ": note\ndata: " + std::string(14, 'x') + "\ndata: " + std::string(14, 'y') + "\n\n",
             {},
             Status::LimitExceeded,
             40},
        Case{"UnterminatedLineOverTheLimit",
             "data: " + std::string(50, 'x'),
             {},
             Status::LimitExceeded,
             40}));

TEST(EventStreamReader, DispatchesEachEventWhenItsBlankLineArrives) {
    EventStreamReader reader(1024);
    std::vector<std::string> events;
    const EventStreamReader::EventHandler handler = [&events](std::string& data) {
        events.push_back(data);
        return true;
    };
    (void)reader.feed("data: a\n\ndata: b\n\ndata: c", handler);
    EXPECT_EQ(events, (std::vector<std::string>{"a", "b"}));
    (void)reader.feed("\n", handler);
    EXPECT_EQ(events.size(), 2u);
    (void)reader.feed("\n", handler);
    EXPECT_EQ(events, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(EventStreamReader, ReadsNothingOnceStopped) {
    EventStreamReader reader(1024);
    int calls = 0;
    const EventStreamReader::EventHandler stopAtOnce = [&calls](std::string&) {
        ++calls;
        return false;
    };
    EXPECT_EQ(reader.feed("data: a\n\ndata: b\n\n", stopAtOnce), Status::Stopped);
    EXPECT_EQ(reader.feed("data: c\n\n", stopAtOnce), Status::Stopped);
    EXPECT_EQ(reader.finish(stopAtOnce), Status::Stopped);
    EXPECT_EQ(calls, 1);
}

}  // namespace
