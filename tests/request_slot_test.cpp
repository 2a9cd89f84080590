// SPDX-License-Identifier: MIT
// The request slot driven directly, without a transfer: its states and their views, one end
// marker per stop, stops and calls from inside the host callback, a waiting ticket stopped.
#include "request_slot.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zefa_test {
namespace {

using Claim = RequestSlot::Claim;
using StopKind = RequestSlot::StopKind;

constexpr const char* kEnd = "end marker";
constexpr const char* kFragment = "fragment";

TextGenerationResult result(const char* text) {
    TextGenerationResult made;
    made.success = true;
    made.text = text;
    return made;
}

std::vector<std::string> texts(const Recorder& host) {
    std::vector<std::string> seen;
    for (const TextGenerationResult& r : host.results()) seen.push_back(r.text);
    return seen;
}

class Slot : public testing::Test {
protected:
    std::atomic<int> wakes{0};
    RequestSlot slot{result(kEnd), [this] { ++wakes; }};
    Recorder host;
};

enum class Op { Deliver, Stop, StopSilently, EndStreaming };

struct Step {
    Op op;
    bool returns;  // of deliver and endStreaming
    bool chatting;
    bool stopRequested;
};

// A request from a granted claim to its release: what the host's callback does with the first
// fragment, the steps and the views after each, what the host receives.
struct Row {
    const char* name;
    std::function<void(RequestSlot&)> inside;
    std::vector<Step> steps;
    std::vector<std::string> host;
    int wakes;
    std::string failure{};  // what the callback threw, as the ticket tells it
};

class Requests : public Slot, public testing::WithParamInterface<Row> {};

TEST_P(Requests, ChangeStateAsTheTableSays) {
    const Row& row = GetParam();
    {
        RequestSlot::Ticket ticket(slot, [&](const TextGenerationResult& r) {
            host.record(r);
            if (row.inside && host.results().size() == 1) row.inside(slot);
        });
        ASSERT_EQ(slot.claim(ticket, seconds(0)), Claim::Granted);
        EXPECT_TRUE(slot.chatting());
        EXPECT_FALSE(slot.stopRequested());
        for (std::size_t i = 0; i < row.steps.size(); ++i) {
            const Step& step = row.steps[i];
            switch (step.op) {
                case Op::Deliver:
                    EXPECT_EQ(slot.deliver(result(kFragment)), step.returns) << "step " << i;
                    break;
                case Op::Stop:
                    slot.stop(StopKind::WithEndMarker);
                    break;
                case Op::StopSilently:
                    slot.stop(StopKind::Silent);
                    break;
                case Op::EndStreaming:
                    EXPECT_EQ(slot.endStreaming(), step.returns) << "step " << i;
                    break;
            }
            EXPECT_EQ(slot.chatting(), step.chatting) << "step " << i;
            EXPECT_EQ(slot.stopRequested(), step.stopRequested) << "step " << i;
        }
        EXPECT_EQ(ticket.callbackFailure(), row.failure);
    }
    EXPECT_EQ(texts(host), row.host);
    EXPECT_EQ(wakes, row.wakes);
    EXPECT_EQ(slot.waiting(), 0u);
    // The slot is free again: a stop now reaches nothing, not even the next request.
    slot.stop(StopKind::WithEndMarker);
    EXPECT_EQ(texts(host), row.host);
    RequestSlot::Ticket next(slot, nullptr);
    EXPECT_EQ(slot.claim(next, seconds(0)), Claim::Granted);
    EXPECT_FALSE(slot.stopRequested());
}

const Step kDelivered{Op::Deliver, true, true, false};
const Step kRefused{Op::Deliver, false, false, true};
const Step kEnded{Op::EndStreaming, false, false, false};
const Step kEndedStopped{Op::EndStreaming, true, false, false};
const Step kStopped{Op::Stop, false, false, true};
const Step kStoppedSilently{Op::StopSilently, false, false, true};

ZEFA_TABLE(
    Slot, Requests,
    testing::Values(
        Row{"ReadToItsEnd", nullptr, {kDelivered, kEnded}, {kFragment}, 0},
        Row{"StoppedWhileStreaming",
            nullptr,
            {kDelivered, kStopped, kRefused, kEndedStopped},
            {kFragment, kEnd},
            1},
        Row{"StoppedSilently", nullptr, {kStoppedSilently, kRefused, kEndedStopped}, {}, 1},
        // One end marker per request, whatever stops follow.
        Row{"StoppedAgainAndAgain",
            nullptr,
            {kStopped, kStopped, kStoppedSilently, kEndedStopped},
            {kEnd},
            1},
        Row{"StoppedSilentlyThenWithAnEndMarker",
            nullptr,
            {kStoppedSilently, kStopped, kEndedStopped},
            {},
            1},
        // Once its transfer is over, a request is out of reach of stops.
        Row{"StoppedAfterItsTransfer", nullptr, {kEnded, {Op::Stop, false, false, false}}, {}, 0},
        // From inside the callback. The end marker waits until the callback has returned: one
        // thread at a time is in it.
        Row{"StoppedFromInside",
            [](RequestSlot& s) { s.stop(StopKind::WithEndMarker); },
            {kRefused, kEndedStopped},
            {kFragment, kEnd},
            1},
        Row{"StoppedSilentlyFromInside",
            [](RequestSlot& s) { s.stop(StopKind::Silent); },
            {kRefused, kEndedStopped},
            {kFragment},
            1},
        Row{"ClaimedAgainFromInside",
            [](RequestSlot& s) {
                RequestSlot::Ticket inner(s, nullptr);
                EXPECT_EQ(s.claim(inner, seconds(10)), Claim::BusyInsideCallback);
            },
            {kDelivered, kEnded},
            {kFragment},
            0},
        // A callback that throws ends its request at once.
        Row{"CallbackThrows",
            [](RequestSlot&) { throw std::runtime_error("host bug"); },
            {kRefused, kEndedStopped},
            {kFragment},
            1,
            "The result callback threw an exception: host bug"},
        Row{"CallbackThrowsAnythingElse",
            [](RequestSlot&) { throw 42; },
            {kRefused, kEndedStopped},
            {kFragment},
            1,
            "The result callback threw an exception"},
        // The throw cancels the end marker that the stop owed.
        Row{"CallbackStopsThenThrows",
            [](RequestSlot& s) {
                s.stop(StopKind::WithEndMarker);
                throw std::logic_error("stopped, then failed");
            },
            {kRefused, kEndedStopped},
            {kFragment},
            1,
            "The result callback threw an exception: stopped, then failed"}));

TEST_F(Slot, AWaitingTicketGivesUpAfterItsLimitAndNoStopReachesIt) {
    RequestSlot::Ticket first(slot, host.callback());
    ASSERT_EQ(slot.claim(first, seconds(0)), Claim::Granted);
    Recorder late;
    {
        RequestSlot::Ticket second(slot, late.callback());
        EXPECT_EQ(slot.claim(second, milliseconds(10)), Claim::BusyTooLong);
        EXPECT_EQ(slot.waiting(), 0u);
    }
    slot.stop(StopKind::WithEndMarker);
    slot.stop(StopKind::WithEndMarker);
    EXPECT_TRUE(slot.endStreaming());
    EXPECT_EQ(texts(host), std::vector<std::string>{kEnd});
    EXPECT_TRUE(late.results().empty());
}

// A stop reaches the oldest request not yet stopped: the streaming one, then the one waiting
// behind it, which leaves without ever streaming, its end marker delivered.
TEST_F(Slot, AStopReachesATicketWaitingBehindTheStreamingOne) {
    RequestSlot::Ticket first(slot, host.callback());
    ASSERT_EQ(slot.claim(first, seconds(0)), Claim::Granted);
    Recorder waiter;
    std::atomic<bool> stopped{false};
    std::thread second([&] {
        RequestSlot::Ticket ticket(slot, waiter.callback());
        stopped = slot.claim(ticket, seconds(60)) == Claim::Stopped;
    });
    ASSERT_TRUE(eventually([this] { return slot.waiting() == 1; }));
    slot.stop(StopKind::WithEndMarker);
    EXPECT_EQ(slot.waiting(), 1u);
    slot.stop(StopKind::WithEndMarker);
    second.join();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(texts(waiter), std::vector<std::string>{kEnd});
    EXPECT_TRUE(slot.endStreaming());
    EXPECT_EQ(texts(host), std::vector<std::string>{kEnd});
    EXPECT_EQ(wakes, 1);
}

// Requests that wait get the slot in the order of their calls, not in the order they wake.
TEST_F(Slot, WaitingTicketsStreamInCallOrder) {
    std::optional<RequestSlot::Ticket> first(std::in_place, slot, host.callback());
    ASSERT_EQ(slot.claim(*first, seconds(0)), Claim::Granted);
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread> waiters;
    for (int call = 1; call <= 4; ++call) {
        waiters.emplace_back([&, call] {
            RequestSlot::Ticket ticket(slot, nullptr);
            if (slot.claim(ticket, seconds(60)) != Claim::Granted) return;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                order.push_back(call);
            }
            (void)slot.endStreaming();
        });
        EXPECT_TRUE(eventually([&] { return slot.waiting() == static_cast<std::size_t>(call); }));
    }
    (void)slot.endStreaming();
    first.reset();
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace zefa_test
