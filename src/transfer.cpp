// SPDX-License-Identifier: MIT
#include "transfer.h"

#include <cpr/session.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A transfer slower than this many bytes per second for kLowSpeedTime is dropped as stalled.
constexpr std::int32_t kLowSpeedLimitBytesPerSecond = 20;
constexpr std::chrono::seconds kLowSpeedTime{10};
// The connection phase (name resolution, TCP, TLS), which the low-speed limit does not cover, is
// bounded like a stall; libcurl's default would hold a silent handshake for five minutes.
constexpr std::chrono::seconds kConnectTimeout = kLowSpeedTime;

// How long the certificates read from the CA bundle serve new connections.
constexpr std::chrono::seconds kCaCacheTime{3600};

// The longest wait between two questions to the budget, should a wakeup ever be lost.
constexpr std::chrono::milliseconds kLongestWait{1000};

std::string describeErrno(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);  // GNU: returns the text
}

// The cause, when the process is out of descriptors: libcurl's messages for a connection it
// could not set up lose it ("Couldn't connect to server", "getaddrinfo() thread failed to
// start"). Empty otherwise.
std::string descriptorShortage() {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        ::close(probe);
        return std::string();
    }
    return errno == EMFILE || errno == ENFILE ? describeErrno(errno) : std::string();
}

}  // namespace

// How one run of the transfer ended: libcurl's code, and a better message than libcurl's when
// the engine knows one.
struct Transfer::Outcome {
    CURLcode code = CURLE_ABORTED_BY_CALLBACK;  // until libcurl says how the transfer ended
    std::string message;
};

// What one process transfers with: the session (one easy handle, its options and the reply's
// callbacks) and the multi handle that drives it and keeps its connections between requests.
struct Transfer::Handles {
    explicit Handles(const std::string& url);
    ~Handles() { curl_multi_cleanup(multi); }
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;

    [[nodiscard]] CURL* easy() { return session.GetCurlHolder()->handle; }
    Outcome run(const Budget& budget);
    // The transfer is over; code tells how. Takes libcurl's messages off its queue.
    [[nodiscard]] bool finished(CURLcode& code);

    static void trustTheCaBundleAlone(CURL* handle);
    // libcurl's socket, close-on-exec so that no program the host starts inherits a connection.
    static curl_socket_t openSocket(void* /*clientp*/, curlsocktype /*purpose*/,
                                    curl_sockaddr* address);

    const pid_t owner = getpid();
    cpr::Session session;
    CURLM* const multi = curl_multi_init();
    // libcurl makes a multi handle without its wakeup channel when it is out of descriptors;
    // such handles serve one request and are made anew for the next.
    const bool canWake = multi != nullptr && curl_multi_wakeup(multi) == CURLM_OK;
};

Transfer::Handles::Handles(const std::string& url) {
    session.SetUrl(cpr::Url{url});
    session.SetLowSpeed(cpr::LowSpeed{kLowSpeedLimitBytesPerSecond, kLowSpeedTime});
    session.SetConnectTimeout(cpr::ConnectTimeout{kConnectTimeout});
    CURL* const handle = easy();
    // Without it libcurl sets SIGPIPE to be ignored around every call and back afterwards: a
    // process-wide change that races with the host's own handling and with other engines.
    // libcurl's sends do not raise SIGPIPE anyway (MSG_NOSIGNAL).
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // A transfer ended during name resolution leaves the resolver thread to finish on its own
    // instead of waiting for it (up to the resolver's timeout), so that a stop stays immediate.
    curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    trustTheCaBundleAlone(handle);
    // A redirect may lead elsewhere, but never from TLS to plain text with the conversation.
    if (url.rfind("https://", 0) == 0) {
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    }
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &Handles::openSocket);
}

// Where libcurl was built with a CA bundle and a CA directory (Debian's is), the bundle alone:
// libcurl then keeps the certificates it read in the multi handle for the next connections,
// instead of reading the bundle for each new connection (tens of ms of CPU) and freeing it when
// the connection closes (about 1 ms, on every stop). A directory or native CAs (which cpr's
// SslOptions would add) keep libcurl from keeping them. Kept for an hour, so that an updated
// bundle reaches a long-lived engine. Without a bundle the directory stays.
void Transfer::Handles::trustTheCaBundleAlone(CURL* handle) {
    char* bundle = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CAINFO, &bundle) != CURLE_OK || bundle == nullptr ||
        *bundle == '\0') {
        return;
    }
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, static_cast<long>(kCaCacheTime.count()));
}

curl_socket_t Transfer::Handles::openSocket(void* /*clientp*/, curlsocktype /*purpose*/,
                                            curl_sockaddr* address) {
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

Transfer::Outcome Transfer::Handles::run(const Budget& budget) {
    if (multi == nullptr || curl_multi_add_handle(multi, easy()) != CURLM_OK) {
        return {CURLE_FAILED_INIT, "The HTTP client could not start the transfer"};
    }
    Outcome outcome;
    CURLMcode status = CURLM_OK;
    for (auto allowed = budget(); allowed.count() > 0; allowed = budget()) {
        int running = 0;
        status = curl_multi_perform(multi, &running);
        if (status != CURLM_OK || finished(outcome.code)) break;
        // Returns when the connection has news, libcurl's own timers are due, or wake() was
        // called, at the latest after allowed.
        const auto wait = static_cast<int>(std::min(allowed, kLongestWait).count());
        status = curl_multi_poll(multi, nullptr, 0, wait, nullptr);
        if (status != CURLM_OK) break;
    }
    if (status != CURLM_OK) outcome = {CURLE_FAILED_INIT, curl_multi_strerror(status)};
    // Ended early (a stop, or a service that holds the connection after "[DONE]"): the
    // connection goes with the transfer, so that the service learns at once. After a whole reply
    // it stays for the next request.
    const bool endedEarly = outcome.code == CURLE_ABORTED_BY_CALLBACK;
    if (endedEarly) curl_easy_setopt(easy(), CURLOPT_FORBID_REUSE, 1L);
    curl_multi_remove_handle(multi, easy());
    curl_easy_setopt(easy(), CURLOPT_FORBID_REUSE, 0L);
    return outcome;
}

// NOLINTNEXTLINE(readability-make-member-function-const): reading a message consumes it
bool Transfer::Handles::finished(CURLcode& code) {
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE) {
            code = message->data.result;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- Transfer

Transfer::Transfer(std::string url) : url_(std::move(url)) {}

Transfer::~Transfer() {
    if (handles_ && handles_->owner != getpid()) abandon(std::move(handles_));
}

cpr::Response Transfer::post(const cpr::Header& header, std::string body,
                             const cpr::WriteCallback& write, const Budget& budget) {
    Handles& handles = handlesForThisRequest();
    cpr::Session& session = handles.session;
    session.SetHeader(header);
    session.SetBody(cpr::Body{std::move(body)});
    session.SetWriteCallback(write);
    session.PreparePost();
    const Outcome outcome = handles.run(budget);
    cpr::Response response = session.Complete(outcome.code);
    if (!outcome.message.empty()) response.error.message = outcome.message;
    // libcurl leaves its message empty for some failures (a reply header past its size limit).
    if (response.error.message.empty() && outcome.code != CURLE_OK) {
        response.error.message = curl_easy_strerror(outcome.code);
    }
    const bool notSetUp = outcome.code != CURLE_OK && outcome.code != CURLE_ABORTED_BY_CALLBACK &&
                          response.status_code == 0;
    if (notSetUp) {
        const std::string shortage = descriptorShortage();
        if (!shortage.empty()) response.error.message = shortage + ": " + response.error.message;
    }
    return response;
}

long Transfer::status() const {
    long status = 0;
    if (handles_) curl_easy_getinfo(handles_->easy(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

void Transfer::wake() {
    const std::lock_guard<std::mutex> lock(wakeMutex_);
    // Only this process's own handles: an inherited wakeup channel is shared with the parent.
    if (handles_ && handles_->owner == getpid()) curl_multi_wakeup(handles_->multi);
}

Transfer::Handles& Transfer::handlesForThisRequest() {
    const bool usable = handles_ && handles_->owner == getpid() && handles_->canWake;
    if (usable) return *handles_;
    auto fresh = std::make_unique<Handles>(url_);
    std::unique_ptr<Handles> old;
    {
        const std::lock_guard<std::mutex> lock(wakeMutex_);
        old = std::exchange(handles_, std::move(fresh));
    }
    if (old && old->owner != getpid()) abandon(std::move(old));
    return *handles_;
}

void Transfer::abandon(std::unique_ptr<Handles> inherited) {
    // Handles inherited through fork() hold the parent's connections: cleaning them up would
    // send a TLS close or read from the parent's sockets. Their memory is left to this process's
    // end; their descriptors, close-on-exec, to its exec or end.
    (void)inherited.release();
}
