// SPDX-License-Identifier: MIT
// The engine's HTTP transfer: one POST at a time, over connections kept from one request to the
// next, that another thread can end at once.
//
// - The requesting thread drives the transfer itself and waits for it in curl_multi_poll; a stop
//   wakes that wait (curl_multi_wakeup) and the requesting thread ends its own transfer. Nothing
//   here keeps, closes or shuts down a socket by its number.
// - A transfer ended early closes its connection, so that the service learns at once and stops
//   generating: libcurl (7.88 as 8.14) keeps the reset of an HTTP/2 stream in its buffer until
//   the connection's next request, and an HTTP/1.1 reply cannot be cut short otherwise. A
//   transfer that ends normally leaves its connection for the next request.
// - Connections belong to the process that opened them. After fork() the child leaves everything
//   it inherited untouched (no TLS close, no shutdown, no read) and opens its own.
#pragma once

#include <cpr/callback.h>
#include <cpr/cprtypes.h>
#include <cpr/response.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class Transfer {
public:
    // How long the running transfer may go on before it asks again; zero or less ends it now.
    // Asked on the requesting thread whenever the transfer wakes: when the connection has news,
    // libcurl's timers are due, wake() was called, or a second has passed.
    using Budget = std::function<std::chrono::milliseconds()>;

    // url: where every request goes. The transport's limits are fixed here: low-speed limit,
    // connect timeout, TLS 1.2 or newer, no redirect from HTTPS to anything else.
    explicit Transfer(std::string url);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Posts body with header on the calling thread; every piece of the reply goes to write.
    // Returns when the reply ended, the transfer failed, or budget ended it (then the error is
    // the HTTP client's "cancelled").
    cpr::Response post(const cpr::Header& header, std::string body, const cpr::WriteCallback& write,
                       const Budget& budget);

    // The HTTP status of the reply that post is reading, once its status line arrived (0
    // before). On the requesting thread, from post's callbacks.
    [[nodiscard]] long status() const;

    // Any thread: makes a running post ask its budget now. Harmless when none runs.
    void wake();

private:
    struct Handles;
    struct Outcome;

    // This process's handles, made anew after fork() or when the last ones could not be woken.
    Handles& handlesForThisRequest();
    static void abandon(std::unique_ptr<Handles> inherited);

    const std::string url_;
    std::unique_ptr<Handles> handles_;  // made on first use, in the process that uses them
    std::mutex wakeMutex_;              // handles_ changing against wake()
};
