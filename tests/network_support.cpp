// SPDX-License-Identifier: MIT
#include "network_support.h"

#include "model_service.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <deque>
#include <filesystem>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zefa_test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a program may take to listen, or to write what the test waits for.
constexpr std::chrono::seconds kProgramGrace{10};
constexpr milliseconds kPollInterval{20};
// Attempts at starting a program on a port that another may have taken meanwhile.
constexpr int kStartAttempts = 3;
// The relay's longest wait before it looks at its stop flag again.
constexpr milliseconds kRelayTick{50};
// A relay send that cannot go on this long gives the connection up: the loop never hangs.
constexpr int kRelaySendTimeoutSeconds = 1;
constexpr std::size_t kRelayReadBytes = 64 * 1024;

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

// Waits until something accepts connections on 127.0.0.1:port; false when process ended or the
// limit passed first.
bool waitForListener(int port, ChildProcess& process) {
    const auto deadline = Clock::now() + kProgramGrace;
    while (Clock::now() < deadline && process.running()) {
        const int fd = connectToLoopback(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

// A certificate for 127.0.0.1 that ca signed, for a key that newKey (openssl req options) makes.
void issueServerCertificate(const TestCa& ca, const std::string& newKey,
                            const std::string& certificate, const std::string& key) {
    const std::string request = certificate + ".csr";
    const std::string extensions = certificate + ".ext";
    run(newKey + " -subj /CN=127.0.0.1 -keyout '" + key + "' -out '" + request + "'");
    writeFile(extensions,
              "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    run("openssl x509 -req -days 2 -in '" + request + "' -CA '" + ca.certificate + "' -CAkey '" +
        ca.key + "' -CAcreateserial -extfile '" + extensions + "' -out '" + certificate + "'");
}

// Why libcurl cannot be made to trust ca here, or an empty text when it does now.
std::string trustInPrivateNamespace(const TestCa& ca, const std::string& directory) {
    CURL* curl = curl_easy_init();
    char* bundlePath = nullptr;
    if (curl != nullptr) curl_easy_getinfo(curl, CURLINFO_CAINFO, &bundlePath);
    const std::string bundle = bundlePath != nullptr ? bundlePath : "";
    curl_easy_cleanup(curl);
    if (bundle.empty()) return "libcurl names no CA bundle to stand in for";
    if (geteuid() != 0) return "not root: no private mount namespace to trust a test CA in";
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("no private mount namespace (unshare): ") + strerror(errno);
    }
    // Nothing mounted here may reach the namespace the rest of the machine sees. Under chroot
    // "/" is no mount point, and the mount holding the bundle cannot be named: no trust there.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("cannot make the mounts private (under chroot / is no mount point): ") +
               strerror(errno);
    }
    const std::string combined = directory + "/ca-bundle.crt";
    writeFile(combined, readFile(bundle) + "\n" + readFile(ca.certificate));
    if (mount(combined.c_str(), bundle.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "cannot bind-mount a bundle over " + bundle + ": " + strerror(errno);
    }
    return std::string();
}

}  // namespace

// ---------------------------------------------------------------- certificates

TestCa makeTestCa(const std::string& directory) {
    const TestCa ca{directory + "/ca.crt", directory + "/ca.key", directory + "/server.crt",
                    directory + "/server.key"};
    // P-256 keys: the handshake costs a fraction of what RSA costs, as with real services.
    const std::string newKey =
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    run(newKey + " -x509 -days 2 -subj '/CN=zefa test CA' -keyout '" + ca.key + "' -out '" +
        ca.certificate + "'");
    issueServerCertificate(ca, newKey, ca.serverCertificate, ca.serverKey);
    return ca;
}

const TrustedCa& trustedTestCa() {
    static const ScratchDirectory directory("ca");
    static const TrustedCa trusted = [] {
        TrustedCa made{makeTestCa(directory.path()), std::string()};
        made.problem = trustInPrivateNamespace(made.ca, directory.path());
        return made;
    }();
    return trusted;
}

std::string missingProgram(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string directories = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin";
    std::istringstream list(directories);
    for (std::string directory; std::getline(list, directory, ':');) {
        if (!directory.empty() && access((directory + "/" + program).c_str(), X_OK) == 0) {
            return std::string();
        }
    }
    return program + " is not installed (scripts/install-deps.sh installs it)";
}

// ---------------------------------------------------------------- programs of the field

// Another process may take the port between its choice and the program's bind, so a failed
// start is tried again on another one.
void ListeningProgram::start(const std::function<std::vector<std::string>(int port)>& makeArgv,
                             const std::string& logFile) {
    logFile_ = logFile;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        port_ = freeLoopbackPort();
        process_ = std::make_unique<ChildProcess>(makeArgv(port_), logFile_);
        if (waitForListener(port_, *process_)) return;
    }
    throw std::runtime_error("the program did not start; its log:\n" + log());
}

// ---------------------------------------------------------------- the gateway

namespace {
std::atomic<int> gatewaysStarted{0};  // each gets a directory of its own
}  // namespace

Gateway::Gateway(const TestCa& ca, int servicePort, const std::string& directory, bool http2)
    : directory_(directory + "/nginx-" + std::to_string(++gatewaysStarted)) {
    std::filesystem::create_directories(directory_ + "/temp");
    const std::string config = directory_ + "/nginx.conf";
    const auto makeArgv = [&](int port) {
        std::ostringstream text;
        text << "daemon off;\n"
                "master_process off;\n"  // one process, whose PID is the one the tests end
             << "pid " << directory_ << "/nginx.pid;\n"
             << "error_log " << directory_ << "/error.log info;\n"
             << "events { worker_connections 64; }\n"
                "http {\n"
                "    log_format field '$server_protocol $status $connection "
                "$request_completion $body_bytes_sent $request_time';\n"
             << "    access_log " << directory_ << "/access.log field;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            text << "    " << temp << "_temp_path " << directory_ << "/temp/" << temp << ";\n";
        }
        text << "    upstream service { server 127.0.0.1:" << servicePort
             << "; keepalive 8; }\n"
                "    server {\n"
             << "        listen 127.0.0.1:" << port << " ssl" << (http2 ? " http2" : "") << ";\n"
             << "        ssl_certificate " << ca.serverCertificate << ";\n"
             << "        ssl_certificate_key " << ca.serverKey << ";\n"
             << "        ssl_protocols TLSv1.2 TLSv1.3;\n"  // this nginx offers no 1.3 unasked
             << "        location / {\n"
                "            proxy_pass http://service;\n"
                "            proxy_http_version 1.1;\n"
                "            proxy_set_header Connection \"\";\n"
                "            proxy_buffering off;\n"
                "            proxy_request_buffering off;\n"
                "        }\n"
                "    }\n"
                "}\n";
        writeFile(config, text.str());
        return std::vector<std::string>{"nginx", "-p", directory_ + "/",         "-c",
                                        config,  "-e", directory_ + "/error.log"};
    };
    start(makeArgv, directory_ + "/stderr.log");
}

std::string Gateway::endpointUrl() const { return chatEndpointUrl(port(), "https"); }

std::vector<Gateway::LogEntry> Gateway::accessLog() const {
    std::vector<LogEntry> entries;
    std::istringstream lines(readFile(directory_ + "/access.log"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        LogEntry entry;
        if (!(fields >> entry.protocol >> entry.status >> entry.connection)) continue;
        std::string completion;
        entry.complete = (fields >> completion) && completion == "OK";
        entries.push_back(entry);
    }
    return entries;
}

bool Gateway::waitForLogEntries(std::size_t count) const {
    const auto deadline = Clock::now() + kProgramGrace;
    while (accessLog().size() < count) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

// ---------------------------------------------------------------- the proxy

Proxy::Proxy(const std::string& directory, bool refuseTunnels) {
    const std::string logFile =
        directory + (refuseTunnels ? "/tinyproxy-refusing.log" : "/tinyproxy.log");
    const std::string config = logFile + ".conf";
    const auto makeArgv = [&](int port) {
        std::ostringstream text;
        text << "Port " << port
             << "\n"
                "Listen 127.0.0.1\n"
                "Timeout 60\n"
                "MaxClients 16\n"
                "Allow 127.0.0.1\n"
                "LogLevel Connect\n"
             << (refuseTunnels ? "ConnectPort 443\n" : "");
        writeFile(config, text.str());
        // -d: in the foreground, logging to standard error
        return std::vector<std::string>{"tinyproxy", "-d", "-c", config};
    };
    start(makeArgv, logFile);
}

std::string Proxy::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

// ---------------------------------------------------------------- an outdated TLS service

Tls11Server::Tls11Server(const TestCa& ca, const std::string& directory) {
    const std::string certificate = directory + "/tls11-server.crt";
    const std::string key = directory + "/tls11-server.key";
    issueServerCertificate(ca, "openssl req -newkey rsa:2048 -nodes", certificate, key);
    const auto makeArgv = [&](int port) {
        // stdbuf: the trace reaches the log as it is written, not when the program ends.
        return std::vector<std::string>{"stdbuf",
                                        "-o0",
                                        "openssl",
                                        "s_server",
                                        "-accept",
                                        "127.0.0.1:" + std::to_string(port),
                                        "-cert",
                                        certificate,
                                        "-key",
                                        key,
                                        "-tls1_1",
                                        "-cipher",
                                        "AES128-SHA:@SECLEVEL=0",
                                        "-rev",
                                        "-trace"};
    };
    start(makeArgv, directory + "/tls11-server.log");
}

std::string Tls11Server::endpointUrl() const { return chatEndpointUrl(port(), "https"); }

bool Tls11Server::receivedApplicationData() const {
    // Each record is traced as "Received Record", a header block of indented lines, and its body.
    const std::string trace = log();
    const std::string received = "Received Record\nHeader:\n";
    for (std::size_t at = trace.find(received); at != std::string::npos;
         at = trace.find(received, at + 1)) {
        const std::size_t headerEnd = trace.find("\n  Length", at);
        if (trace.substr(at, headerEnd - at).find("Content Type = ApplicationData") !=
            std::string::npos) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- black holes

// Never accepted: an open hole completes handshakes into its queue; a full one has a queue of
// one connection, which a connection of its own fills.
BlackHole::BlackHole(Kind kind)
    : listener_(listenOnLoopback(kind == Kind::Open ? SOMAXCONN : 0, port_)),
      filler_(kind == Kind::Full ? connectToLoopback(port_) : -1) {}

// ---------------------------------------------------------------- the latency relay

namespace {

struct Piece {
    Clock::time_point due;
    std::string bytes;  // empty: the end of the stream
};

struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Piece> queue;
    bool readEnded = false;
    bool writeEnded = false;
};

struct Link {
    Direction up;         // client to target
    Direction down;       // target to client
    std::string request;  // the client's CONNECT request, until the tunnel stands
    bool tunnel = false;
    bool broken = false;
};

constexpr const char* kTunnelEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";

void tuneRelaySocket(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const timeval limit{kRelaySendTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// Reads what is there and queues it, due half a round trip later.
void readInto(Direction& direction, milliseconds half, std::string& buffer) {
    const ssize_t n = recv(direction.from, buffer.data(), buffer.size(), 0);
    const auto due = Clock::now() + half;
    if (n > 0) {
        direction.queue.push_back({due, buffer.substr(0, static_cast<std::size_t>(n))});
    } else {
        direction.queue.push_back({due, std::string()});
        direction.readEnded = true;
    }
}

// Reads the client's CONNECT request; once it is whole, the tunnel "stands" one round trip
// later: the TCP handshake with the far end that a user-space relay cannot delay otherwise.
void readTunnelRequest(Link& link, milliseconds roundTrip, std::string& buffer) {
    const ssize_t n = recv(link.up.from, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
        link.broken = true;
        return;
    }
    link.request.append(buffer.data(), static_cast<std::size_t>(n));
    const std::size_t end = link.request.find("\r\n\r\n");
    if (end == std::string::npos) return;
    const auto now = Clock::now();
    link.down.queue.push_back({now + roundTrip, kTunnelEstablished});
    if (end + 4 < link.request.size()) {
        link.up.queue.push_back({now + roundTrip, link.request.substr(end + 4)});
    }
    link.tunnel = true;
}

// Writes every piece that is due; false when the receiver is gone.
bool flushDue(Direction& direction) {
    while (!direction.queue.empty() && direction.queue.front().due <= Clock::now()) {
        const Piece piece = std::move(direction.queue.front());
        direction.queue.pop_front();
        if (piece.bytes.empty()) {
            shutdown(direction.to, SHUT_WR);
            direction.writeEnded = true;
        } else if (!sendAll(direction.to, piece.bytes)) {
            return false;
        }
    }
    return true;
}

}  // namespace

LatencyRelay::LatencyRelay(int targetPort, milliseconds roundTrip)
    : targetPort_(targetPort),
      roundTrip_(roundTrip),
      listener_(listenOnLoopback(SOMAXCONN, port_)),
      thread_([this] { run(); }) {}

LatencyRelay::~LatencyRelay() {
    stop_ = true;
    thread_.join();
}

std::string LatencyRelay::proxyUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LatencyRelay::run() {
    const milliseconds half = roundTrip_ / 2;
    std::deque<Link> links;
    std::string buffer(kRelayReadBytes, '\0');
    while (!stop_) {
        std::vector<pollfd> watched{{listener_.get(), POLLIN, 0}};
        std::vector<std::pair<Link*, Direction*>> readers;
        std::chrono::nanoseconds wait = kRelayTick;
        for (Link& link : links) {
            for (Direction* direction : {&link.up, &link.down}) {
                if (!direction->readEnded && (link.tunnel || direction == &link.up)) {
                    watched.push_back({direction->from, POLLIN, 0});
                    readers.emplace_back(&link, direction);
                }
                if (!direction->queue.empty()) {
                    const std::chrono::nanoseconds until =
                        direction->queue.front().due - Clock::now();
                    wait = std::clamp(until, std::chrono::nanoseconds(0), wait);
                }
            }
        }
        // Not poll: its milliseconds would make every piece up to 1 ms late.
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>((wait - seconds).count())};
        if (ppoll(watched.data(), watched.size(), &timeout, nullptr) < 0) continue;
        if (watched[0].revents & POLLIN) {
            const int client = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
            const int target = client >= 0 ? connectToLoopback(targetPort_) : -1;
            if (target >= 0) {
                tuneRelaySocket(client);
                tuneRelaySocket(target);
                links.push_back({{client, target, {}, false, false},
                                 {target, client, {}, false, false},
                                 std::string(),
                                 false,
                                 false});
                ++accepted_;
            } else if (client >= 0) {
                close(client);
            }
        }
        for (std::size_t i = 1; i < watched.size(); ++i) {
            if (watched[i].revents == 0) continue;
            auto [link, direction] = readers[i - 1];
            if (link->tunnel) {
                readInto(*direction, half, buffer);
            } else {
                readTunnelRequest(*link, roundTrip_, buffer);
            }
        }
        for (Link& link : links) {
            link.broken = link.broken || !flushDue(link.up) || !flushDue(link.down);
        }
        const auto finished = [](const Link& link) {
            return link.broken || (link.up.writeEnded && link.down.writeEnded);
        };
        for (Link& link : links) {
            if (finished(link)) {
                close(link.up.from);
                close(link.up.to);
            }
        }
        links.erase(std::remove_if(links.begin(), links.end(), finished), links.end());
    }
    for (Link& link : links) {
        close(link.up.from);
        close(link.up.to);
    }
}

}  // namespace zefa_test
