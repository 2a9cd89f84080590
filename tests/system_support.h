// SPDX-License-Identifier: MIT
// What the tests need of the system: scratch directories and their files, child processes and a
// gate they wait at, and sockets on 127.0.0.1.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zefa_test {

// Long enough for anything a test waits for, short enough that a hang still ends the test.
constexpr std::chrono::seconds kGenerousLimit{20};

// A file descriptor, closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor();

    int get() const { return fd_; }

private:
    int fd_;
};

// A fresh directory under the temporary directory, removed with its contents however the test
// ends.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& name);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    // A file of text in the directory, with mode; returns its path.
    std::string file(const std::string& name, const std::string& text, mode_t mode = 0600) const;
    // A named pipe in the directory; returns its path.
    std::string namedPipe(const std::string& name) const;

private:
    std::string path_;
};

// The text of a file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Replaces the text of a file; throws when it cannot.
void writeFile(const std::string& path, const std::string& text);

// A process forked from the test. The destructor ends one still running by its PID (SIGTERM,
// SIGKILL after a grace period) and reaps it; a test that dies takes it along.
class ChildProcess {
public:
    // Runs body in the forked copy of the test process, which then ends with body's result,
    // without running any destructor of the test's. The test may have threads: until it execs,
    // a body that must not hang calls only async-signal-safe functions.
    explicit ChildProcess(const std::function<int()>& body);
    // Runs a program (looked up in PATH), its input /dev/null, its output appended to logFile.
    ChildProcess(const std::vector<std::string>& argv, const std::string& logFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int number);
    // Waits until the process ended: its exit status, or 128 + the signal that ended it; -1 when
    // it still runs after limit.
    int wait(std::chrono::seconds limit = kGenerousLimit);

private:
    pid_t pid_ = -1;
    int status_ = -1;  // once reaped
};

// A gate that the test opens once; threads and processes forked from the test wait at it.
class Gate {
public:
    Gate();

    void open() { writeEnd_ = Descriptor(); }
    // Returns once the gate is open; false when limit passed first.
    bool wait(std::chrono::seconds limit = kGenerousLimit);

private:
    // A pipe nobody writes to: it reads as ended once no process holds its write end.
    Descriptor readEnd_;
    Descriptor writeEnd_;
    pid_t opener_;  // the process whose write end opens the gate
};

// A listening socket on 127.0.0.1 and an ephemeral port; returns the socket (close-on-exec),
// sets port. Throws when it cannot listen.
int listenOnLoopback(int backlog, int& port);
// A socket connected to 127.0.0.1:port (close-on-exec), or -1.
int connectToLoopback(int port);
// A port of 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();
// Sends all of bytes, without SIGPIPE; false when the connection would not take them.
bool sendAll(int fd, const std::string& bytes);

}  // namespace zefa_test
