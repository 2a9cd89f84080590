// SPDX-License-Identifier: MIT
// The engine's one request slot: who may stream, who may call the host, how a stop ends a request.
//
// - Requests never overlap. A chat takes a ticket and claims the slot; while an earlier request
//   holds it, the ticket waits in call order, for a limited time and without polling.
// - A stop reaches the oldest request that is waiting or streaming and not yet stopped, whatever
//   its state: a waiting request ends without ever sending; a streaming one is refused its next
//   fragment and its transfer is woken, so that even a silent transfer ends at once. Once its
//   transfer is over (Ending) a request is out of reach, and the stop goes to the next one.
// - stopChat hands the host exactly one end marker per request it stops, stopGenerateContent
//   none, and nothing of a request reaches the host after its end marker.
// - One thread at a time is inside the host callback. A stop never waits: when the callback is
//   busy, the stopped request's own thread delivers the end marker as soon as it is free, so a
//   stop from inside the callback never waits for itself. When chat returns, its end marker (if
//   any) has been delivered.
// - A chat from inside the host callback is refused at once: it would wait for its own caller.
// - A callback that throws ends its request at once: nothing more of it reaches the host, and the
//   request fails with the exception's text. The exception never crosses the HTTP library.
// - Each request's result is its own: nothing here carries one request's error to another.
// - After fork() the child's slot starts empty: requests of the parent's threads, which do not
//   exist in the child, neither hold it nor receive its stops.
//
// States of a request: Unclaimed → Waiting (for the slot) → Streaming (holds the slot, transfer
// running) → Ending (transfer over, result being made) → Released. A stop, or a callback that
// throws, turns Waiting or Streaming into Stopping; a stopped waiting request is released at
// once, a stopped streaming one goes on to Ending when its transfer has returned. A waiting
// request that waited too long is released. setState makes every change.
#pragma once

#include "ai_engine/abstract_text_generation_engine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

class RequestSlot {
public:
    using TextGenerationResult = ai_engine::gen_ai::nlp::TextGenerationResult;
    using TextGenerationResultCallback = ai_engine::gen_ai::nlp::TextGenerationResultCallback;

    enum class State { Unclaimed, Waiting, Streaming, Stopping, Ending, Released };
    enum class Claim {
        Granted,  // the ticket holds the slot: stream
        Stopped,  // a stop reached the ticket while it waited: it never streams, and its end
                  // marker (for stopChat) has reached the host
        BusyInsideCallback,  // called from inside the host callback: it would wait for itself
        BusyTooLong,         // the earlier request held the slot longer than the wait allowed
    };
    enum class StopKind { WithEndMarker, Silent };

    // One chat call, on the stack of the thread that makes it. A granted ticket leaves the slot
    // when destroyed, once an end marker owed to it has reached the host.
    class Ticket {
    public:
        // callback: where this request's fragments and end marker go.
        Ticket(RequestSlot& slot, TextGenerationResultCallback callback);
        ~Ticket();
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

        // What the host's callback threw for this request, or empty. Final once claim returned
        // Stopped or endStreaming returned.
        [[nodiscard]] std::string callbackFailure() const;

    private:
        friend class RequestSlot;
        RequestSlot& slot_;
        TextGenerationResultCallback callback_;
        State state_ = State::Unclaimed;
        bool endMarkerOwed_ = false;
        std::string callbackFailure_;
    };

    // endMarker: what a stopChat hands the host. wakeTransfer: makes the streaming request's
    // transfer look at stopRequested() now; called under the slot's lock, from any thread.
    RequestSlot(TextGenerationResult endMarker, std::function<void()> wakeTransfer);

    // --- The requesting thread

    // Waits until ticket may stream, at most limit while an earlier request holds the slot.
    [[nodiscard]] Claim claim(Ticket& ticket, std::chrono::steady_clock::duration limit);
    // Hands a result of the streaming request to the host; false (nothing delivered) once the
    // request was stopped.
    [[nodiscard]] bool deliver(const TextGenerationResult& result);
    // The streaming request's transfer is over: no stop reaches it any more. Delivers its end
    // marker if that is still owed. True when it was stopped.
    [[nodiscard]] bool endStreaming();

    // --- The transfer's callbacks, on the requesting thread

    // The streaming request was stopped. Lock-free, for the checks made per chunk.
    [[nodiscard]] bool stopRequested() const { return stopRequested_.load(); }

    // --- Any thread

    void stop(StopKind kind);
    // A request streams and no stop has reached it.
    [[nodiscard]] bool chatting() const { return chatting_.load(); }
    // Requests waiting for the slot, stopped or not.
    [[nodiscard]] std::size_t waiting() const;

private:
    using Lock = std::unique_lock<std::mutex>;

    // The one way to change a ticket's state: keeps the queue, the streaming request and its
    // lock-free views in step, wakes the transfer of a stopped streaming request and the
    // threads that wait for a change. Under the lock.
    void setState(Ticket& ticket, State next);

    // From the ticket's destructor: a claimed ticket leaves the slot.
    void release(Ticket& ticket);
    void leave(Lock& lock, Ticket& ticket);
    [[nodiscard]] Ticket* firstStoppable() const;
    [[nodiscard]] bool insideCallback() const;
    // Calls ticket's callback with the lock released, holding the callback for this thread
    // meanwhile.
    void callHost(Lock& lock, Ticket& ticket, const TextGenerationResult& result);
    // The host's callback threw: ticket's request ends without any further result.
    void callbackFailed(Ticket& ticket, std::string failure);
    void forgetRequestsOfAnotherProcess();
    void deliverOwedEndMarker(Lock& lock, Ticket& ticket);
    // Waits until no one is in the host callback, then hands ticket its end marker if owed.
    void settleEndMarker(Lock& lock, Ticket& ticket);

    const TextGenerationResult endMarker_;
    const std::function<void()> wakeTransfer_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Ticket*> tickets_;  // in call order; the front one holds the slot when streaming
    Ticket* streaming_ = nullptr;
    bool callbackBusy_ = false;
    std::thread::id callbackThread_;
    pid_t owner_;  // the process whose requests tickets_ holds

    // Views of the streaming request's state for lock-free readers; written by setState.
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> chatting_{false};
};
