// SPDX-License-Identifier: MIT
#include "private_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zefa_chat {

namespace {

constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirectoryMode = 0700;
// Permission bits of group and others: a private file or directory has none of them.
constexpr mode_t kOthersBits = 077;
constexpr int kTemporaryNameAttempts = 100;
// Opening for a look at a file: no symbolic link followed, no wait for a FIFO's writer.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

Failure failure(const std::string& what, const std::string& path, int error) {
    return Failure{what + " " + path + ": " + std::strerror(error)};
}

// mkdir -p, each missing directory made private.
void makeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), kPrivateDirectoryMode);
        if (slash == std::string::npos) return;
    }
}

// Why fd, opened as path, is not the user's alone; nothing when it is.
std::optional<Failure> notPrivate(int fd, const std::string& path, bool directory) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return failure("cannot check", path, errno);
    if (directory ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
        return Failure{path + (directory ? " is not a directory" : " is not a regular file")};
    }
    if (status.st_uid != geteuid()) return Failure{path + " is owned by another user"};
    if ((status.st_mode & kOthersBits) != 0) {
        return Failure{path + " is open to other users (chmod " + (directory ? "700 " : "600 ") +
                       path + " makes it yours alone)"};
    }
    return std::nullopt;
}

bool isSymbolicLink(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// A failed open without following a symbolic link, in words. O_NOFOLLOW refuses a link with
// ELOOP, and with ENOTDIR where O_DIRECTORY is given too.
Failure openFailure(const std::string& path, int error) {
    if (error == ELOOP || (error == ENOTDIR && isSymbolicLink(path))) {
        return Failure{path + " is a symbolic link"};
    }
    return failure("cannot open", path, error);
}

// replaceFile for the file name of the directory dirFd; path names it in a failure.
std::optional<Failure> replaceAt(int dirFd, const std::string& name, const std::string& text,
                                 const std::string& path) {
    // Sessions running at once differ by their process, one session's files by a count.
    static int count = 0;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kTemporaryNameAttempts; ++attempt) {
        temporary = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(++count);
        fd = openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    kPrivateFileMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return failure("cannot write", path, errno);
    // Synced before the rename, so that a crash leaves the old file or the whole new one.
    bool written = writeAll(fd, text) && fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (written) return std::nullopt;
    unlinkat(dirFd, temporary.c_str(), 0);
    return failure("cannot write", path, error);
}

}  // namespace

std::string stateDirectoryPath() {
    // A relative XDG_STATE_HOME is to be ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/zefa-chat";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/zefa-chat";
    return std::string();
}

std::optional<Failure> replaceFile(const std::string& path, const std::string& text) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return failure("cannot write", path, errno);
    std::optional<Failure> failed = replaceAt(dirFd, name, text, path);
    close(dirFd);
    return failed;
}

Outcome<PrivateDirectory> PrivateDirectory::open(const std::string& path, bool create) {
    if (create) makeDirectories(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return openFailure(path, errno);
    if (std::optional<Failure> problem = notPrivate(fd, path, true)) {
        close(fd);
        return *problem;
    }
    return PrivateDirectory(path, fd);
}

PrivateDirectory::PrivateDirectory(PrivateDirectory&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_) {
    other.fd_ = -1;
}

PrivateDirectory& PrivateDirectory::operator=(PrivateDirectory&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        path_ = std::move(other.path_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

PrivateDirectory::~PrivateDirectory() {
    if (fd_ >= 0) close(fd_);
}

Outcome<std::optional<std::string>> PrivateDirectory::read(const std::string& name,
                                                           const FileKind& kind) const {
    const std::string path = pathOf(name);
    const int fd = openat(fd_, name.c_str(), kReadFlags);
    if (fd < 0 && errno == ENOENT) return std::optional<std::string>();
    if (fd < 0) return openFailure(path, errno);
    Outcome<std::optional<std::string>> result = std::optional<std::string>();
    if (std::optional<Failure> problem = notPrivate(fd, path, false)) {
        result = *problem;
    } else {
        Outcome<std::string> text = readOpenFile(fd, path, kind);
        if (auto* failed = std::get_if<Failure>(&text)) {
            result = *failed;
        } else {
            result = std::optional<std::string>(std::move(std::get<std::string>(text)));
        }
    }
    close(fd);
    return result;
}

std::optional<Failure> PrivateDirectory::replace(const std::string& name,
                                                 const std::string& text) const {
    const std::string path = pathOf(name);
    // A file that is not private is not used, not even to be replaced.
    const int existing = openat(fd_, name.c_str(), kReadFlags);
    if (existing < 0 && errno != ENOENT) return openFailure(path, errno);
    if (existing >= 0) {
        std::optional<Failure> problem = notPrivate(existing, path, false);
        close(existing);
        if (problem) return problem;
    }
    return replaceAt(fd_, name, text, path);
}

std::optional<Failure> PrivateDirectory::append(const std::string& name,
                                                const std::string& text) const {
    const std::string path = pathOf(name);
    const int fd = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                          kPrivateFileMode);
    if (fd < 0) return openFailure(path, errno);
    std::optional<Failure> problem = notPrivate(fd, path, false);
    if (!problem && !writeAll(fd, text)) problem = failure("cannot write", path, errno);
    close(fd);
    return problem;
}

}  // namespace zefa_chat
