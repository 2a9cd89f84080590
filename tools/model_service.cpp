// SPDX-License-Identifier: MIT
#include "model_service.h"

#include <httplib.h>
#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <utility>

namespace zefa_test {

namespace {

constexpr const char* kChatPath = "/compatible-mode/v1/chat/completions";
constexpr std::size_t kWorkerThreads = 8;
constexpr std::chrono::seconds kStartLimit{10};
// How often a held reply looks whether its client is still there.
constexpr std::chrono::milliseconds kHangUpCheckPeriod{50};

// What the library's TaskQueue::enqueue returns: nothing in older versions of cpp-httplib,
// whether the task was taken in newer ones (Debian 13's).
using EnqueueResult =
    decltype(std::declval<httplib::TaskQueue&>().enqueue(std::function<void()>()));

// A thread pool that counts the connections it is handed: one task per accepted connection.
class CountingTaskQueue : public httplib::TaskQueue {
public:
    CountingTaskQueue(std::function<void()> onConnection)
        : pool_(kWorkerThreads), onConnection_(std::move(onConnection)) {}

    EnqueueResult enqueue(std::function<void()> fn) override {
        onConnection_();
        return pool_.enqueue(std::move(fn));
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
    std::function<void()> onConnection_;
};

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

void stamp(std::string& piece) {
    const std::size_t at = piece.find(kStampPlaceholder);
    if (at == std::string::npos) return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    char digits[32];
    std::snprintf(digits, sizeof digits, "%020lld",
                  static_cast<long long>(std::chrono::nanoseconds(now).count()));
    piece.replace(at, std::char_traits<char>::length(kStampPlaceholder), digits);
}

std::string chunkEvent(const Json::Value& delta, const Json::Value& finishReason) {
    Json::Value choice(Json::objectValue);
    choice["index"] = 0;
    choice["delta"] = delta;
    choice["finish_reason"] = finishReason;
    Json::Value chunk(Json::objectValue);
    chunk["id"] = "chatcmpl-local";
    chunk["object"] = "chat.completion.chunk";
    chunk["model"] = "zefa-plus";
    chunk["choices"].append(choice);
    return "data: " + compact(chunk) + "\n\n";
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return std::string();
}

std::string contentEvent(const std::string& content) {
    Json::Value delta(Json::objectValue);
    delta["content"] = content;
    return chunkEvent(delta, Json::Value());
}

std::string roleEvent() {
    Json::Value delta(Json::objectValue);
    delta["role"] = "assistant";
    delta["content"] = "";
    return chunkEvent(delta, Json::Value());
}

std::string stopEvent() { return chunkEvent(Json::Value(Json::objectValue), "stop"); }

std::string doneEvent() { return "data: [DONE]\n\n"; }

ScriptedReply silentAfterFirstEvent(std::chrono::milliseconds hold) {
    ScriptedReply reply;
    reply.pieces = {roleEvent()};
    reply.ending = ScriptedReply::Ending::Hold;
    reply.hold = hold;
    return reply;
}

std::vector<std::string> streamOf(const std::vector<std::string>& tokens) {
    std::vector<std::string> pieces{roleEvent()};
    for (const std::string& token : tokens) pieces.push_back(contentEvent(token));
    pieces.push_back(stopEvent());
    pieces.push_back(doneEvent());
    return pieces;
}

ScriptedReply streamReply(const std::vector<std::string>& tokens, std::chrono::milliseconds pause) {
    ScriptedReply reply;
    reply.pieces = streamOf(tokens);
    reply.pause = pause;
    return reply;
}

std::string chatEndpointUrl(int port, const std::string& scheme) {
    return scheme + "://127.0.0.1:" + std::to_string(port) + kChatPath;
}

std::string echoText(const RecordedRequest& request) {
    Json::Value body;
    std::string errors;
    const Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(request.body.data(), request.body.data() + request.body.size(), &body, &errors);
    std::string last;
    if (body.isObject() && body["messages"].isArray()) {
        for (const Json::Value& message : body["messages"]) {
            if (message.isObject() && message["role"] == "user")
                last = message["content"].asString();
        }
    }
    return "You said: " + last;
}

std::vector<std::string> tokensOf(const std::string& text) {
    std::vector<std::string> tokens;
    std::string word;
    const auto flush = [&] {
        if (!word.empty()) tokens.push_back(word);
        word.clear();
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        length = std::min(length, text.size() - i);
        if (length == 1 && byte != ' ') {
            word += text[i];
        } else if (byte == ' ') {
            word += ' ';
            flush();
        } else {
            flush();
            tokens.push_back(text.substr(i, length));
        }
        i += length;
    }
    flush();
    return tokens;
}

ScriptedReply echoReply(const RecordedRequest& request, const EchoOptions& options) {
    ScriptedReply reply;
    const std::string authorization = request.header("Authorization");
    const std::string key = authorization.rfind("Bearer ", 0) == 0 ? authorization.substr(7) : "";
    const bool authorized = options.requiredKey.empty() ? !key.empty() : key == options.requiredKey;
    const auto refuse = [&reply](int status, const std::string& code, const std::string& message) {
        Json::Value error(Json::objectValue);
        error["error"]["code"] = code;
        error["error"]["message"] = message;
        error["error"]["type"] = "invalid_request_error";
        reply.status = status;
        reply.contentType = "application/json";
        reply.pieces = {compact(error)};
    };
    if (!authorized) {
        refuse(401, "invalid_api_key", "Incorrect API key provided.");
    } else if (options.failStatus != 0) {
        refuse(options.failStatus, "simulated_failure",
               "Simulated failure with status " + std::to_string(options.failStatus) + ".");
    } else if (options.htmlError) {
        reply.status = 502;
        reply.contentType = "text/html";
        reply.pieces = {"<html><body><h1>502 Bad Gateway</h1></body></html>\n"};
    } else if (options.stall) {
        reply = silentAfterFirstEvent(std::chrono::minutes(2));
    } else {
        reply.pieces = streamOf(tokensOf(echoText(request)));
        reply.pause = options.pace;
    }
    return reply;
}

std::vector<std::string> realisticStream(int count, bool stamped) {
    static const std::vector<std::string> alphabet = {"a",  "e",  "t",  " ", "o",  "n", "的", "是",
                                                      "了", "我", "你", ",", "。", "s", "r"};
    std::mt19937 random(42);
    std::vector<std::string> pieces{roleEvent()};
    for (int i = 0; i < count; ++i) {
        std::string delta;
        const int characters = 1 + static_cast<int>(random() % 8);
        for (int c = 0; c < characters; ++c) delta += alphabet[random() % alphabet.size()];
        if (stamped) delta += kStampPlaceholder;
        std::string event = contentEvent(delta);
        // Members a real service adds bring the event to about 200 bytes.
        event.replace(event.find('{'), 1,
                      R"({"created":1733600000,"system_fingerprint":null,"usage":null,)");
        pieces.push_back(std::move(event));
    }
    pieces.push_back(stopEvent());
    pieces.push_back(doneEvent());
    return pieces;
}

ModelService::ModelService(int port) : server_(std::make_unique<httplib::Server>()) { start(port); }

ModelService::ModelService(const TlsFiles& tls, int port)
    : server_(
          std::make_unique<httplib::SSLServer>(tls.certificate.c_str(), tls.privateKey.c_str())),
      tls_(true) {
    if (!server_->is_valid()) throw std::runtime_error("cannot load the TLS certificate");
    start(port);
}

ModelService::~ModelService() { stop(); }

void ModelService::start(int port) {
    server_->new_task_queue = [this] {
        return new CountingTaskQueue([this] {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
        });
    };
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_max_count(1000);  // a kept connection serves every request
    // SO_REUSEADDR alone: the library's default adds SO_REUSEPORT, which lets a second service
    // bind a port already served, and the two would then answer in turn.
    server_->set_socket_options([](socket_t socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->Post(kChatPath, [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
    errno = 0;
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else if (server_->bind_to_port("127.0.0.1", port)) {
        port_ = port;
    }
    if (port_ <= 0) {
        const int reason = errno;
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                                 (reason != 0 ? std::string(": ") + std::strerror(reason) : ""));
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ModelService::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    stopping_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string ModelService::baseUrl() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string ModelService::endpointUrl() const {
    return chatEndpointUrl(port_, tls_ ? "https" : "http");
}

void ModelService::setReply(ScriptedReply reply) {
    const std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
}

void ModelService::setResponder(std::function<ScriptedReply(const RecordedRequest&)> responder) {
    const std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void ModelService::setEchoReplies(std::chrono::milliseconds pace) {
    EchoOptions options;
    options.pace = pace;
    setResponder([options](const RecordedRequest& request) { return echoReply(request, options); });
}

std::vector<RecordedRequest> ModelService::requests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t ModelService::connectionsAccepted() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool ModelService::waitUnlessStopping(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, duration, [this] { return stopRequested_; });
}

void ModelService::holdWhileConnected(std::chrono::milliseconds duration, httplib::DataSink& sink) {
    // A client that hung up must not keep one of the few worker threads for the whole hold.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (sink.is_writable()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitUnlessStopping(std::min(left, kHangUpCheckPeriod))) return;
    }
}

void ModelService::handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded{request.method, request.path, {}, request.body};
    for (const auto& [name, value] : request.headers) recorded.headers.emplace(name, value);
    ScriptedReply reply;
    std::function<ScriptedReply(const RecordedRequest&)> responder;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(recorded);
        reply = reply_;
        responder = responder_;
    }
    if (responder) reply = responder(recorded);

    if (reply.silenceBeforeHeaders.count() > 0 && !waitUnlessStopping(reply.silenceBeforeHeaders)) {
        return;
    }
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    response.set_chunked_content_provider(
        reply.contentType, [this, reply](std::size_t, httplib::DataSink& sink) {
            for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
                if (i > 0 && reply.pause.count() > 0 && !waitUnlessStopping(reply.pause)) {
                    return false;
                }
                std::string piece = reply.pieces[i];
                if (reply.stampWrites) stamp(piece);
                if (!sink.write(piece.data(), piece.size())) return false;
            }
            switch (reply.ending) {
                case ScriptedReply::Ending::Complete:
                    sink.done();
                    return true;
                case ScriptedReply::Ending::Hold:
                    holdWhileConnected(reply.hold, sink);
                    return false;
                case ScriptedReply::Ending::Drop:
                    return false;
            }
            return false;
        });
}

ModelService::TlsFiles makeSelfSignedCertificate(const std::string& directory) {
    ModelService::TlsFiles files{directory + "/service.crt", directory + "/service.key"};
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        files.privateKey + "' -out '" + files.certificate + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
    return files;
}

}  // namespace zefa_test
