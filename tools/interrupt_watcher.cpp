// SPDX-License-Identifier: MIT
#include "interrupt_watcher.h"

#include "chat_options.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace zefa_chat {

namespace {

constexpr char kInterrupt = 'i';
constexpr char kQuit = 'q';
// How often a stop is made again while it may not have reached the request yet.
constexpr int kStopAgainMs = 20;

// The signal handler's end of the pipe: a handler can reach no object, and may read an atomic
// only when it is lock-free.
std::atomic<int> writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads writeFd");

void onSignal(int) {
    const int saved = errno;
    // Non-blocking: when the pipe is full, the watcher has interrupts enough to act on.
    (void)!write(writeFd, &kInterrupt, 1);
    errno = saved;
}

}  // namespace

// The handler only writes a byte into a pipe; the watcher's thread reads it and acts. The pipe is
// non-blocking, so that the handler never waits, and closed on exec, as libcurl's own wakeup
// pipe is, so that no child holds it.
InterruptWatcher::InterruptWatcher(std::function<void()> stopAnswer, bool promptTakesCtrlC)
    : stopAnswer_(std::move(stopAnswer)), promptTakesCtrlC_(promptTakesCtrlC) {
    if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    writeFd = fds_[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // reads of the prompt and of the pipe go on
    sigaction(SIGINT, &action, &previous_);
    thread_ = std::thread([this] { watch(); });
}

InterruptWatcher::~InterruptWatcher() {
    sigaction(SIGINT, &previous_, nullptr);
    (void)!write(fds_[1], &kQuit, 1);
    thread_.join();
    writeFd = -1;
    close(fds_[0]);
    close(fds_[1]);
}

void InterruptWatcher::setAnswering(bool answering) {
    const std::lock_guard<std::mutex> lock(mutex_);
    answering_ = answering;
    stopping_ = false;
}

void InterruptWatcher::watch() {
    for (;;) {
        bool stopping = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopping_;
        }
        pollfd readable{fds_[0], POLLIN, 0};
        const int ready = poll(&readable, 1, stopping ? kStopAgainMs : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            std::fprintf(stderr, "zefa-chat: Ctrl-C can no longer stop an answer: poll: %s\n",
                         std::strerror(errno));
            return;
        }
        if (ready == 0) stopAgain();
        char byte = 0;
        while (read(fds_[0], &byte, 1) == 1) {
            if (byte == kQuit) return;
            onInterrupt();
        }
    }
}

void InterruptWatcher::onInterrupt() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (answering_) {
        stopping_ = true;
        stopAnswer_();
    } else if (!promptTakesCtrlC_) {
        // The shell's prompt then starts on a line of its own.
        std::fputs("\n", stdout);
        std::fflush(stdout);
        _exit(kInterrupted);
    }
}

void InterruptWatcher::stopAgain() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (answering_ && stopping_) stopAnswer_();
}

}  // namespace zefa_chat
