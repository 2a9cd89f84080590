// SPDX-License-Identifier: MIT
// The reader of a server-sent-event stream: the chunks of a reply in, the data of each event out.
//
// It knows the framing and nothing of what the events mean: lines end in CR, LF or CR LF (also
// a CR LF split between two chunks); a byte-order mark may open the stream; a line that begins
// with a colon is a comment; of the fields only "data" is kept, and the data lines of one event
// are joined with LF; a blank line dispatches the event, and an event without data is none.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zefa_nlp_sse {

class EventStreamReader {
public:
    // Called once per dispatched event with its data, which it may change or take. Returns
    // false to stop reading.
    using EventHandler = std::function<bool(std::string& data)>;

    enum class Status {
        Reading,        // waiting for more of the stream
        Stopped,        // the handler asked to stop
        LimitExceeded,  // the unfinished event would have held more than the limit
    };

    // limit: the most bytes an event may span, counting its lines without their line ends (so
    // that what exceeds it does not depend on how the stream was cut into chunks).
    explicit EventStreamReader(std::size_t limit);

    // Reads the next chunk of the stream and dispatches every event it completes. Once the
    // status is no longer Reading, the reader reads nothing more.
    Status feed(std::string_view chunk, const EventHandler& onEvent);
    // The stream has ended: dispatches an event that still lacks its blank line, or even the
    // end of its last line.
    Status finish(const EventHandler& onEvent);

    [[nodiscard]] Status status() const { return status_; }
    // Bytes held for the event being read: its unterminated line and its data so far.
    [[nodiscard]] std::size_t heldBytes() const { return pending_.size() + data_.size(); }

private:
    [[nodiscard]] bool handleLine(std::string_view line, const EventHandler& onEvent);
    [[nodiscard]] bool dispatch(const EventHandler& onEvent);
    [[nodiscard]] bool fits(std::size_t lineBytes);

    std::size_t limit_;
    std::size_t eventBytes_ = 0;  // the completed lines of the event being read
    std::string pending_;         // the unterminated last line
    std::string data_;            // the data lines of the event being read, joined with LF
    bool hasData_ = false;
    bool skipLf_ = false;  // the last line ended in CR: a following LF belongs to it
    bool atStart_ = true;  // nothing read yet: a byte-order mark may come first
    Status status_ = Status::Reading;
};

}  // namespace zefa_nlp_sse
