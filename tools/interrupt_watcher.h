// SPDX-License-Identifier: MIT
// Ctrl-C as a signal: during an answer it stops the answer; otherwise it ends the program, unless
// the terminal's prompt takes Ctrl-C as a key of its own (line_input.h).
#pragma once

#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

namespace zefa_chat {

class InterruptWatcher {
public:
    // stopAnswer: called on the watcher's thread. promptTakesCtrlC: a signal that comes while
    // no answer runs is left alone instead of ending the program.
    InterruptWatcher(std::function<void()> stopAnswer, bool promptTakesCtrlC);
    // Gives SIGINT back the action it had before.
    ~InterruptWatcher();

    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // True before an answer is asked for, false once the request is over.
    void setAnswering(bool answering);

private:
    void watch();
    void onInterrupt();
    void stopAgain();

    const std::function<void()> stopAnswer_;
    const bool promptTakesCtrlC_;
    int fds_[2] = {-1, -1};
    struct sigaction previous_ {};
    std::mutex mutex_;  // an answer's start and end against a stop of it
    bool answering_ = false;
    // Ctrl-C came during this answer. A stop that comes before the engine has taken the request
    // reaches nothing, so it is made again until the answer is over.
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace zefa_chat
