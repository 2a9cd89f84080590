// SPDX-License-Identifier: MIT
#include "interrupt_watcher.h"

#include "chat_options.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace zefa_chat {

namespace {

constexpr char kInterrupt = 'i';
constexpr char kQuit = 'q';

// The signal handler's end of the pipe: a handler can reach no object. Lock-free, so that the
// handler may read it.
std::atomic<int> writeFd{-1};

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
    sigaction(SIGINT, &action, nullptr);
    thread_ = std::thread([this] { watch(); });
}

InterruptWatcher::~InterruptWatcher() {
    std::signal(SIGINT, SIG_DFL);
    (void)!write(fds_[1], &kQuit, 1);
    thread_.join();
    writeFd = -1;
    close(fds_[0]);
    close(fds_[1]);
}

void InterruptWatcher::watch() {
    for (;;) {
        pollfd readable{fds_[0], POLLIN, 0};
        if (poll(&readable, 1, -1) < 0 && errno != EINTR) return;
        char byte = 0;
        while (read(fds_[0], &byte, 1) == 1) {
            if (byte == kQuit) return;
            if (answering_.load()) {
                stopAnswer_();
            } else if (!promptTakesCtrlC_) {
                // The shell's prompt then starts on a line of its own.
                std::fputs("\n", stdout);
                std::fflush(stdout);
                _exit(kInterrupted);
            }
        }
    }
}

}  // namespace zefa_chat
