// SPDX-License-Identifier: MIT
// The field in the test suite: a test CA that only this process trusts, a TLS gateway (nginx)
// and an HTTP proxy (tinyproxy) run as child processes on 127.0.0.1 with generated
// configuration, black holes that accept connections and never answer, and a relay that adds a
// network's latency. Each program is ended by its PID when its owner goes.
#pragma once

#include "system_support.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zefa_test {

// A certificate authority of the tests and a certificate for 127.0.0.1 that it signed (PEM).
struct TestCa {
    std::string certificate;
    std::string key;  // the CA's own, to sign more certificates
    std::string serverCertificate;
    std::string serverKey;
};

// Makes them in directory with openssl.
TestCa makeTestCa(const std::string& directory);

// The test CA of this process, made on first use, and trusted by libcurl in this process only:
// the calling thread moves into a private mount namespace where a bundle of the system CAs plus
// this CA is bind-mounted over libcurl's CA bundle, and threads and processes it starts later
// inherit that. Needs CAP_SYS_ADMIN (root); problem says why it could not be done (empty when
// done). Call it first on the thread that runs the requests.
struct TrustedCa {
    TestCa ca;
    std::string problem;
};
const TrustedCa& trustedTestCa();

// Why the program cannot be run here (not installed), or an empty text.
std::string missingProgram(const std::string& program);

// A program of the field, listening on a port of 127.0.0.1, its output in a log file.
class ListeningProgram {
public:
    int port() const { return port_; }
    std::string log() const { return readFile(logFile_); }

protected:
    // Starts it: makeArgv writes its configuration for a port and returns its command line.
    void start(const std::function<std::vector<std::string>(int port)>& makeArgv,
               const std::string& logFile);

private:
    std::string logFile_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// nginx terminating TLS on 127.0.0.1 with the test CA's certificate and passing requests on,
// unbuffered and over kept connections, to a plain HTTP service on 127.0.0.1.
class Gateway : public ListeningProgram {
public:
    struct LogEntry {
        std::string protocol;  // "HTTP/2.0", "HTTP/1.1"
        int status = 0;
        long connection = 0;    // nginx's serial number of the client connection
        bool complete = false;  // the whole reply reached the client
    };

    // http2: offer HTTP/2 by ALPN besides HTTP/1.1.
    Gateway(const TestCa& ca, int servicePort, const std::string& directory, bool http2);

    std::string endpointUrl() const;
    // One entry per request that nginx finished, in order.
    std::vector<LogEntry> accessLog() const;
    // Waits until count requests were logged; false after a generous limit.
    bool waitForLogEntries(std::size_t count) const;

private:
    std::string directory_;
};

// tinyproxy on 127.0.0.1. A refusing one allows tunnels (CONNECT) to port 443 only, and so
// refuses those to the tests' ports.
class Proxy : public ListeningProgram {
public:
    Proxy(const std::string& directory, bool refuseTunnels);

    std::string url() const;  // http://127.0.0.1:port
};

// openssl s_server on 127.0.0.1 as an outdated service runs it: nothing newer than TLS 1.1, and
// AES128-SHA alone (RSA key exchange), with a certificate for 127.0.0.1 whose RSA key the test CA
// signed. It answers each line with the line reversed, and traces every TLS record it receives.
class Tls11Server : public ListeningProgram {
public:
    Tls11Server(const TestCa& ca, const std::string& directory);

    std::string endpointUrl() const;
    // Application data (a request, however encrypted) has reached it.
    bool receivedApplicationData() const;
};

// A TCP listener on 127.0.0.1 that never answers. Open: the kernel completes every handshake
// and the connection stays silent. Full: its queue is full, so a connection attempt is never
// answered at all.
class BlackHole {
public:
    enum class Kind { Open, Full };
    explicit BlackHole(Kind kind);

    int port() const { return port_; }

private:
    int port_ = 0;
    Descriptor listener_;
    Descriptor filler_;  // the connection that fills a full queue
};

// A proxy on 127.0.0.1 with the latency of a network: a client names it in https_proxy, and
// every tunnel it asks for leads to targetPort, each direction delayed by half of roundTrip.
// The tunnel stands one round trip after the client asked for it: the TCP handshake with the
// far end, which a relay in user space could not delay otherwise (the kernel completes the
// client's own handshake with the relay at once). Runs on its own thread until destroyed.
class LatencyRelay {
public:
    LatencyRelay(int targetPort, std::chrono::milliseconds roundTrip);
    ~LatencyRelay();
    LatencyRelay(const LatencyRelay&) = delete;
    LatencyRelay& operator=(const LatencyRelay&) = delete;

    std::string proxyUrl() const;  // for https_proxy
    std::size_t connectionsAccepted() const { return accepted_.load(); }

private:
    void run();

    int port_ = 0;
    int targetPort_;
    std::chrono::milliseconds roundTrip_;
    Descriptor listener_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> accepted_{0};
    std::thread thread_;
};

}  // namespace zefa_test
