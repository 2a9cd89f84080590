// SPDX-License-Identifier: MIT
#include "request_slot.h"

#include <algorithm>
#include <exception>
#include <unistd.h>

namespace {

constexpr const char* kCallbackThrew = "The result callback threw an exception";

// Calls the host's callback; what it threw, as text, or empty.
std::string callCatching(const ai_engine::gen_ai::nlp::TextGenerationResultCallback& callback,
                         const ai_engine::gen_ai::nlp::TextGenerationResult& result) {
    if (!callback) return std::string();
    try {
        callback(result);
        return std::string();
    } catch (const std::exception& exception) {
        return std::string(kCallbackThrew) + ": " + exception.what();
    } catch (...) {
        return kCallbackThrew;
    }
}

}  // namespace

RequestSlot::Ticket::Ticket(RequestSlot& slot, TextGenerationResultCallback callback)
    : slot_(slot), callback_(std::move(callback)) {}

RequestSlot::Ticket::~Ticket() { slot_.release(*this); }

std::string RequestSlot::Ticket::callbackFailure() const {
    const std::lock_guard<std::mutex> lock(slot_.mutex_);
    return callbackFailure_;
}

RequestSlot::RequestSlot(TextGenerationResult endMarker, std::function<void()> wakeTransfer)
    : endMarker_(std::move(endMarker)), wakeTransfer_(std::move(wakeTransfer)), owner_(getpid()) {}

RequestSlot::Claim RequestSlot::claim(Ticket& ticket, std::chrono::steady_clock::duration limit) {
    Lock lock(mutex_);
    forgetRequestsOfAnotherProcess();
    if (insideCallback()) return Claim::BusyInsideCallback;
    setState(ticket, State::Waiting);
    const auto mayGo = [this, &ticket] {
        return ticket.state_ == State::Stopping || tickets_.front() == &ticket;
    };
    if (!changed_.wait_until(lock, std::chrono::steady_clock::now() + limit, mayGo)) {
        setState(ticket, State::Released);  // at once, so that no stop reaches a chat that failed
        return Claim::BusyTooLong;
    }
    if (ticket.state_ == State::Stopping) {
        leave(lock, ticket);
        return Claim::Stopped;
    }
    setState(ticket, State::Streaming);
    return Claim::Granted;
}

bool RequestSlot::deliver(const TextGenerationResult& result) {
    Lock lock(mutex_);
    Ticket& ticket = *streaming_;
    changed_.wait(lock, [&] { return !callbackBusy_ || ticket.state_ != State::Streaming; });
    if (ticket.state_ != State::Streaming) return false;
    callHost(lock, ticket, result);
    deliverOwedEndMarker(lock, ticket);  // a stop came while the host had the result
    return ticket.state_ == State::Streaming;
}

bool RequestSlot::endStreaming() {
    Lock lock(mutex_);
    Ticket& ticket = *streaming_;
    const bool stopped = ticket.state_ == State::Stopping;
    setState(ticket, State::Ending);
    settleEndMarker(lock, ticket);
    return stopped;
}

void RequestSlot::release(Ticket& ticket) {
    Lock lock(mutex_);
    if (ticket.state_ != State::Unclaimed && ticket.state_ != State::Released) leave(lock, ticket);
}

void RequestSlot::leave(Lock& lock, Ticket& ticket) {
    // A stopped request ends only once its end marker has reached the host.
    settleEndMarker(lock, ticket);
    setState(ticket, State::Released);
}

void RequestSlot::setState(Ticket& ticket, State next) {
    const State previous = ticket.state_;
    ticket.state_ = next;
    switch (next) {
        case State::Waiting:
            tickets_.push_back(&ticket);
            break;
        case State::Streaming:
            streaming_ = &ticket;
            break;
        case State::Released:
            tickets_.erase(std::find(tickets_.begin(), tickets_.end(), &ticket));
            if (streaming_ == &ticket) streaming_ = nullptr;
            break;
        case State::Unclaimed:
        case State::Stopping:
        case State::Ending:
            break;
    }
    const State shown = streaming_ != nullptr ? streaming_->state_ : State::Released;
    stopRequested_ = shown == State::Stopping;
    chatting_ = shown == State::Streaming;
    // A stopped transfer ends now, even one that is waiting for a silent service.
    if (previous == State::Streaming && next == State::Stopping) wakeTransfer_();
    changed_.notify_all();
}

void RequestSlot::stop(StopKind kind) {
    Lock lock(mutex_);
    forgetRequestsOfAnotherProcess();
    Ticket* const target = firstStoppable();
    if (target == nullptr) return;
    setState(*target, State::Stopping);
    if (kind == StopKind::Silent) return;
    if (callbackBusy_) {
        target->endMarkerOwed_ = true;
    } else {
        // The ticket's thread waits for the callback to be free before it leaves.
        callHost(lock, *target, endMarker_);
    }
}

std::size_t RequestSlot::waiting() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(tickets_.begin(), tickets_.end(),
                      [this](const Ticket* ticket) { return ticket != streaming_; }));
}

RequestSlot::Ticket* RequestSlot::firstStoppable() const {
    const auto found = std::find_if(tickets_.begin(), tickets_.end(), [](const Ticket* ticket) {
        return ticket->state_ == State::Waiting || ticket->state_ == State::Streaming;
    });
    return found == tickets_.end() ? nullptr : *found;
}

bool RequestSlot::insideCallback() const {
    return callbackBusy_ && callbackThread_ == std::this_thread::get_id();
}

void RequestSlot::callHost(Lock& lock, Ticket& ticket, const TextGenerationResult& result) {
    callbackBusy_ = true;
    callbackThread_ = std::this_thread::get_id();
    lock.unlock();
    std::string failure = callCatching(ticket.callback_, result);
    lock.lock();
    // Still under the busy mark: the ticket's thread does not leave before it is cleared.
    if (!failure.empty()) callbackFailed(ticket, std::move(failure));
    callbackBusy_ = false;
    callbackThread_ = std::thread::id();
    changed_.notify_all();
}

void RequestSlot::callbackFailed(Ticket& ticket, std::string failure) {
    if (ticket.callbackFailure_.empty()) ticket.callbackFailure_ = std::move(failure);
    ticket.endMarkerOwed_ = false;
    // On the ticket's own thread, inside its transfer: the next chunk is refused.
    if (ticket.state_ == State::Waiting || ticket.state_ == State::Streaming) {
        setState(ticket, State::Stopping);
    }
}

void RequestSlot::forgetRequestsOfAnotherProcess() {
    if (owner_ == getpid()) return;
    // A child of fork(): the tickets are the parent's, whose threads did not come along.
    while (!tickets_.empty()) setState(*tickets_.front(), State::Released);
    callbackBusy_ = false;
    callbackThread_ = std::thread::id();
    owner_ = getpid();
}

void RequestSlot::deliverOwedEndMarker(Lock& lock, Ticket& ticket) {
    if (!ticket.endMarkerOwed_) return;
    ticket.endMarkerOwed_ = false;
    callHost(lock, ticket, endMarker_);
}

void RequestSlot::settleEndMarker(Lock& lock, Ticket& ticket) {
    changed_.wait(lock, [this] { return !callbackBusy_; });
    deliverOwedEndMarker(lock, ticket);
}
