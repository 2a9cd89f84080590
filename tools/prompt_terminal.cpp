// SPDX-License-Identifier: MIT
#include "prompt_terminal.h"

#include "chat_text.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace zefa_chat {

namespace {

// The signals that end the program, and the one that stops it, from the terminal's keys
// (Ctrl-\, Ctrl-Z), its hang-up or another process.
constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
static_assert(std::size(kSignals) == 4, "PromptTerminal keeps one earlier action per signal");

constexpr std::string_view kPasteModeOn = "\x1b[?2004h";
constexpr std::string_view kPasteModeOff = "\x1b[?2004l";

// What the signal handler reaches: set before it is installed, and not changed while it is,
// but for editing, which says whether a prompt is being read.
struct HandlerState {
    int terminal = -1;
    int display = -1;
    int wake = -1;
    bool bracketedPaste = false;
    termios outside{};  // the terminal as the shell had it
    struct sigaction ours {};
    std::atomic<bool> editing{false};
};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads editing");

HandlerState state;

// Only async-signal-safe calls: write, tcgetattr, tcsetattr, sigaction, raise, pthread_sigmask.
void onSignal(int signal) {
    const int saved = errno;
    const bool editing = state.editing.load();
    termios editingMode{};
    const bool modeKept = editing && tcgetattr(state.terminal, &editingMode) == 0;
    if (editing) {
        (void)tcsetattr(state.terminal, TCSADRAIN, &state.outside);
        if (state.bracketedPaste) (void)writeAll(state.display, kPasteModeOff);
        // What the shell says next ("Terminated") starts on a line of its own; of a stop, it
        // starts a line itself.
        if (signal != SIGTSTP) (void)writeAll(state.display, "\n");
    }
    // Then the signal's own action, its default: it ends the program, or stops it right here.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    (void)sigaction(signal, &defaults, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    (void)raise(signal);
    (void)pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    // Gone on after a stop (or not stopped: a process group without a shell ignores Ctrl-Z).
    (void)sigaction(signal, &state.ours, nullptr);
    if (editing) {
        if (modeKept) (void)tcsetattr(state.terminal, TCSADRAIN, &editingMode);
        if (state.bracketedPaste) (void)writeAll(state.display, kPasteModeOn);
        (void)writeAll(state.wake, "c");
    }
    errno = saved;
}

void drain(int fd) {
    char bytes[16];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

PromptTerminal::PromptTerminal(int terminal, FILE* display, bool bracketedPaste)
    : display_(display), bracketedPaste_(bracketedPaste) {
    state.terminal = terminal;
    state.display = fileno(display);
    state.bracketedPaste = bracketedPaste;
    // Without the terminal's settings, or a way to wake the prompt, there is nothing to restore.
    if (tcgetattr(terminal, &state.outside) != 0 || pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    state.wake = wake_[1];
    state.ours.sa_handler = onSignal;
    sigemptyset(&state.ours.sa_mask);
    state.ours.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        // A signal ignored, or handled by whoever started the program, is left as it is.
        if (sigaction(kSignals[i], nullptr, &previous_[i]) != 0 ||
            previous_[i].sa_handler != SIG_DFL) {
            continue;
        }
        installed_[i] = sigaction(kSignals[i], &state.ours, nullptr) == 0;
    }
}

PromptTerminal::~PromptTerminal() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (installed_[i]) sigaction(kSignals[i], &previous_[i], nullptr);
    }
    state.wake = -1;
    for (const int fd : wake_) {
        if (fd >= 0) close(fd);
    }
}

void PromptTerminal::enter() {
    if (wake_[0] >= 0) drain(wake_[0]);
    state.editing = true;
    showPasteMode(kPasteModeOn);
}

void PromptTerminal::leave() {
    state.editing = false;
    showPasteMode(kPasteModeOff);
}

bool PromptTerminal::takeResumed() {
    if (wake_[0] < 0) return false;
    char byte = 0;
    if (read(wake_[0], &byte, 1) != 1) return false;
    drain(wake_[0]);
    return true;
}

void PromptTerminal::showPasteMode(std::string_view sequence) const {
    if (!bracketedPaste_) return;
    std::fwrite(sequence.data(), 1, sequence.size(), display_);
    std::fflush(display_);
}

}  // namespace zefa_chat
