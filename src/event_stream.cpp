// SPDX-License-Identifier: MIT
#include "event_stream.h"

#include <cstring>

namespace zefa_nlp_sse {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDataField = "data";

// The first CR or LF at or after pos. Two vectorised searches beat one per-byte scan for both.
std::size_t findLineEnd(std::string_view text, std::size_t pos) {
    const char* begin = text.data() + pos;
    const std::size_t length = text.size() - pos;
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', length));
    const std::size_t searched = lf == nullptr ? length : static_cast<std::size_t>(lf - begin);
    const auto* cr = static_cast<const char*>(std::memchr(begin, '\r', searched));
    const char* end = cr != nullptr ? cr : lf;
    return end == nullptr ? std::string_view::npos : static_cast<std::size_t>(end - text.data());
}

}  // namespace

EventStreamReader::EventStreamReader(std::size_t limit) : limit_(limit) {}

EventStreamReader::Status EventStreamReader::feed(std::string_view chunk,
                                                  const EventHandler& onEvent) {
    if (status_ != Status::Reading) return status_;
    std::size_t pos = 0;
    if (skipLf_ && !chunk.empty()) {
        if (chunk[0] == '\n') pos = 1;
        skipLf_ = false;
    }
    while (pos < chunk.size()) {
        const std::size_t end = findLineEnd(chunk, pos);
        if (end == std::string_view::npos) break;
        const std::string_view rest = chunk.substr(pos, end - pos);
        bool more = true;
        if (pending_.empty()) {
            more = handleLine(rest, onEvent);
        } else if (fits(pending_.size() + rest.size())) {
            pending_.append(rest);
            more = handleLine(pending_, onEvent);
            pending_.clear();
        } else {
            more = false;
        }
        pos = end + 1;
        if (chunk[end] == '\r') {
            if (pos == chunk.size()) {
                skipLf_ = true;
            } else if (chunk[pos] == '\n') {
                ++pos;
            }
        }
        if (!more) return status_;
    }
    const std::string_view tail = chunk.substr(pos);
    if (fits(pending_.size() + tail.size())) pending_.append(tail);
    return status_;
}

EventStreamReader::Status EventStreamReader::finish(const EventHandler& onEvent) {
    if (status_ != Status::Reading) return status_;
    if (!pending_.empty()) {
        const std::string line = std::move(pending_);
        pending_.clear();
        if (!handleLine(line, onEvent)) return status_;
    }
    (void)dispatch(onEvent);
    return status_;
}

bool EventStreamReader::fits(std::size_t lineBytes) {
    if (eventBytes_ + lineBytes <= limit_) return true;
    status_ = Status::LimitExceeded;
    return false;
}

bool EventStreamReader::handleLine(std::string_view line, const EventHandler& onEvent) {
    if (!fits(line.size())) return false;
    eventBytes_ += line.size();
    if (atStart_) {
        atStart_ = false;
        if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            line.remove_prefix(kByteOrderMark.size());
        }
    }
    if (line.empty()) return dispatch(onEvent);
    if (line.front() == ':') return true;  // a comment, such as a keep-alive
    const std::size_t colon = line.find(':');
    if (line.substr(0, colon) != kDataField) return true;  // event, id, retry, ...
    std::string_view value =
        colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (hasData_) data_.push_back('\n');
    data_.append(value);
    hasData_ = true;
    return true;
}

bool EventStreamReader::dispatch(const EventHandler& onEvent) {
    eventBytes_ = 0;
    if (!hasData_) return true;  // no data line: no event
    hasData_ = false;
    const bool more = onEvent(data_);
    data_.clear();
    if (!more) status_ = Status::Stopped;
    return more;
}

}  // namespace zefa_nlp_sse
