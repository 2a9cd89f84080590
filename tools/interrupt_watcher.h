// SPDX-License-Identifier: MIT
// Ctrl-C as a signal: during an answer it stops the answer; otherwise it ends the program, unless
// the terminal's prompt takes Ctrl-C as a key of its own (line_input.h).
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace zefa_chat {

class InterruptWatcher {
public:
    // stopAnswer: called on the watcher's thread. promptTakesCtrlC: a signal that comes while
    // no answer runs is left alone instead of ending the program.
    InterruptWatcher(std::function<void()> stopAnswer, bool promptTakesCtrlC);
    ~InterruptWatcher();

    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    void setAnswering(bool answering) { answering_ = answering; }

private:
    void watch();

    const std::function<void()> stopAnswer_;
    const bool promptTakesCtrlC_;
    int fds_[2] = {-1, -1};
    std::atomic<bool> answering_{false};
    std::thread thread_;
};

}  // namespace zefa_chat
