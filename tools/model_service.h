// SPDX-License-Identifier: MIT
// A local stand-in for the cloud model service: answers chat-completion POSTs on 127.0.0.1 with
// scripted replies (event streams cut at chosen places, error replies, stalls, broken
// connections), over plain HTTP or TLS, and records every request it receives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class DataSink;
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace zefa_test {

struct RecordedRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> headers;  // as received; names as sent
    std::string body;

    // The first value of a header, matched without regard to case; empty when absent.
    std::string header(const std::string& name) const;
};

struct ScriptedReply {
    enum class Ending {
        Complete,  // end the reply normally
        Hold,      // keep the connection open and silent until `hold` has passed, then drop it
        Drop,      // drop the connection without ending the reply
    };

    int status = 200;
    std::string contentType = "text/event-stream";
    std::vector<std::string> pieces;     // written and flushed one by one
    std::chrono::milliseconds pause{0};  // before every piece but the first
    Ending ending = Ending::Complete;
    std::chrono::milliseconds hold{0};
    // Silence before any header is sent.
    std::chrono::milliseconds silenceBeforeHeaders{0};
    // Replace kStampPlaceholder in each piece by the steady-clock time of its write.
    bool stampWrites = false;
    // Further headers of the reply (a redirect's Location, say).
    std::vector<std::pair<std::string, std::string>> headers{};
};

// 20 characters, replaced by the write time in nanoseconds (zero-padded to the same width).
constexpr const char* kStampPlaceholder = "@@@@STAMP@@@@@@@@@@@";

// Server-sent event lines of an OpenAI-compatible chat-completion stream.
std::string contentEvent(const std::string& content);
std::string roleEvent();
std::string stopEvent();
std::string doneEvent();
// A reply that falls silent after its first event and keeps the connection open for hold.
ScriptedReply silentAfterFirstEvent(std::chrono::milliseconds hold);
// A whole reply: the role event, one event per token, the stop event and "[DONE]".
std::vector<std::string> streamOf(const std::vector<std::string>& tokens);
// That reply, pause apart per piece.
ScriptedReply streamReply(const std::vector<std::string>& tokens,
                          std::chrono::milliseconds pause = {});
// A realistic reply of count content events of about 200 bytes whose deltas hold 1 to 8
// characters of mixed ASCII and Chinese text; stamped: each delta ends in kStampPlaceholder.
std::vector<std::string> realisticStream(int count, bool stamped = false);

// Where a service on 127.0.0.1:port takes chat requests.
std::string chatEndpointUrl(int port, const std::string& scheme = "http");

// How the bundled mock service answers a chat request.
struct EchoOptions {
    std::chrono::milliseconds pace{30};  // between tokens
    std::string requiredKey;             // empty: any non-empty bearer token
    int failStatus = 0;                  // answer every request with this status and an error
    bool stall = false;                  // send the headers and one event, then nothing
    bool htmlError = false;              // answer 502 with an HTML page
};

// The reply text for a conversation: the last user message, echoed.
std::string echoText(const RecordedRequest& request);
// Cuts text into tokens: words with their trailing blank, other characters one by one.
std::vector<std::string> tokensOf(const std::string& text);
// The whole scripted reply of the mock service to request.
ScriptedReply echoReply(const RecordedRequest& request, const EchoOptions& options);

class ModelService {
public:
    struct TlsFiles {
        std::string certificate;
        std::string privateKey;
    };

    // Plain HTTP on an ephemeral port of 127.0.0.1 (or the given port).
    explicit ModelService(int port = 0);
    // TLS with the given PEM files.
    explicit ModelService(const TlsFiles& tls, int port = 0);
    ~ModelService();

    ModelService(const ModelService&) = delete;
    ModelService& operator=(const ModelService&) = delete;

    // Answers every later request with reply.
    void setReply(ScriptedReply reply);
    // Computes the reply of each request itself (overrides setReply).
    void setResponder(std::function<ScriptedReply(const RecordedRequest&)> responder);
    // Answers each later request as the bundled mock service does (echoReply), pace apart per
    // token.
    void setEchoReplies(std::chrono::milliseconds pace);

    int port() const { return port_; }
    std::string baseUrl() const;      // scheme://127.0.0.1:port
    std::string endpointUrl() const;  // baseUrl plus the chat-completions path

    std::vector<RecordedRequest> requests() const;
    std::size_t connectionsAccepted() const;

    // Ends every hold early and stops serving; the destructor calls it.
    void stop();

private:
    void start(int port);
    void handle(const httplib::Request& request, httplib::Response& response);
    bool waitUnlessStopping(std::chrono::milliseconds duration);
    void holdWhileConnected(std::chrono::milliseconds duration, httplib::DataSink& sink);

    std::unique_ptr<httplib::Server> server_;
    bool tls_ = false;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stopRequested_ = false;
    ScriptedReply reply_;
    std::function<ScriptedReply(const RecordedRequest&)> responder_;
    std::vector<RecordedRequest> requests_;
    std::size_t connections_ = 0;
};

// Writes a self-signed certificate for 127.0.0.1 and its key into directory (with openssl).
ModelService::TlsFiles makeSelfSignedCertificate(const std::string& directory);

}  // namespace zefa_test
