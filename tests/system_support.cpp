// SPDX-License-Identifier: MIT
#include "system_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zefa_test {

namespace {

using Clock = std::chrono::steady_clock;

// How long a child process may take to end after SIGTERM.
constexpr std::chrono::seconds kTerminationGrace{10};
constexpr std::chrono::milliseconds kPollInterval{20};

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// Forks; the child runs body and ends with its result.
pid_t forkRunning(const std::function<int()>& body) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the test died before the line above
        _exit(body());
    }
    if (pid < 0) throw std::runtime_error("fork failed");
    return pid;
}

}  // namespace

Descriptor::~Descriptor() {
    if (fd_ >= 0) close(fd_);
}

// ---------------------------------------------------------------- files

ScratchDirectory::ScratchDirectory(const std::string& name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("zefa-" + name + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::file(const std::string& name, const std::string& text,
                                   mode_t mode) const {
    const std::string path = path_ + "/" + name;
    writeFile(path, text);
    if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path);
    return path;
}

std::string ScratchDirectory::namedPipe(const std::string& name) const {
    const std::string path = path_ + "/" + name;
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("cannot make " + path);
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// ---------------------------------------------------------------- child processes

ChildProcess::ChildProcess(const std::function<int()>& body) : pid_(forkRunning(body)) {}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = forkRunning([&] {
        dup2(input, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execvp(args[0], args.data());
        return 127;
    });
    close(log);
    close(input);
}

ChildProcess::~ChildProcess() {
    if (!running()) return;
    kill(pid_, SIGTERM);
    if (wait(kTerminationGrace) < 0) {
        kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
    }
}

bool ChildProcess::running() {
    if (status_ >= 0) return false;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
}

void ChildProcess::signal(int number) {
    if (running()) kill(pid_, number);
}

int ChildProcess::wait(std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(kPollInterval);
    }
    return status_;
}

// ---------------------------------------------------------------- the gate

Gate::Gate() : opener_(getpid()) {
    int ends[2];
    // Close-on-exec: a program that a test starts must not hold the gate shut.
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    readEnd_ = Descriptor(ends[0]);
    writeEnd_ = Descriptor(ends[1]);
}

bool Gate::wait(std::chrono::seconds limit) {
    // A forked process gives up its copy of the write end: only the test's opens the gate.
    if (getpid() != opener_) open();
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd ended{readEnd_.get(), POLLIN, 0};
        const int ready = poll(&ended, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;  // the pipe reads as ended: nobody ever writes to it
        if (ready < 0 && errno != EINTR) return false;
    }
}

// ---------------------------------------------------------------- sockets

int listenOnLoopback(int backlog, int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0) {
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") + strerror(errno));
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

int connectToLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return fd;
    }
    if (fd >= 0) close(fd);
    return -1;
}

int freeLoopbackPort() {
    int port = 0;
    close(listenOnLoopback(1, port));
    return port;
}

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace zefa_test
