// SPDX-License-Identifier: MIT
// End-to-end measurements of a host process streaming from a local service, through the engine
// (the shared library, as a host uses it) or, as the floor, through libcurl alone.
//
//   zefa_bench bulk engine|curl EVENTS [CHUNK_BYTES]
//                                            CPU per event, wall time, peak RSS; the service
//                                            writes one event per write, or CHUNK_BYTES a write
//   zefa_bench latency engine|curl EVENTS    service write → host callback, events 1 ms apart
//   zefa_bench stop                          stopChat → chat returning, silent and streaming
//   zefa_bench reuse CHATS                   connections accepted over sequential chats
//
// The service runs in a child process (forked before any thread starts), so the figures of
// the host process are its own. Every mode prints "name=value" lines.
#include "model_service.h"
#include "zefa_nlp_engine.h"

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <functional>
#include <memory>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ai_engine::gen_ai::nlp::TextGenerationResult;

// The service listens where the library was built to find it: a loopback address.
constexpr int kPort = ZEFA_SERVICE_PORT;
constexpr const char* kChat = R"({"messages": [{"role": "user", "content": "benchmark"}]})";

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The service, in a child process: serves reply on kPort until stopped.
class ServiceProcess {
public:
    // makeReply runs in the child: the reply's memory is not the host's.
    explicit ServiceProcess(std::function<zefa_test::ScriptedReply()> makeReply) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(report_) != 0) std::exit(2);
        pid_ = fork();
        if (pid_ == 0) serve(makeReply(), ready[1]);
        close(ready[1]);
        close(report_[1]);
        char byte;
        if (read(ready[0], &byte, 1) != 1) std::exit(2);
        close(ready[0]);
    }

    ~ServiceProcess() { (void)connections(); }

    // Stops the service (once) and returns how many connections it accepted.
    long connections() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (read(report_[0], &connections_, sizeof connections_) != sizeof connections_) {
                connections_ = -1;
            }
            waitpid(pid_, nullptr, 0);
            close(report_[0]);
            pid_ = -1;
        }
        return connections_;
    }

private:
    [[noreturn]] void serve(zefa_test::ScriptedReply reply, int readyFd) {
        sigset_t stopSignal;
        sigemptyset(&stopSignal);
        sigaddset(&stopSignal, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignal, nullptr);
        long accepted = -1;
        {
            zefa_test::ModelService service(kPort);
            service.setReply(std::move(reply));
            (void)!write(readyFd, "r", 1);
            int received = 0;
            sigwait(&stopSignal, &received);
            accepted = static_cast<long>(service.connectionsAccepted());
        }
        (void)!write(report_[1], &accepted, sizeof accepted);
        _exit(0);
    }

    pid_t pid_ = -1;
    int report_[2] = {-1, -1};
    long connections_ = -1;
};

std::string endpoint() { return zefa_test::chatEndpointUrl(kPort); }

// A host callback that does what a real host does: parse the fragment's text.
struct ParsingHost {
    std::vector<long long> latenciesNs;
    std::size_t fragments = 0;
    std::unique_ptr<Json::CharReader> reader{Json::CharReaderBuilder().newCharReader()};

    ParsingHost() {
        // Parse once before measuring, as a host that has run a while has.
        const std::string warm = "{\n\t\"result\" : \"x\"\n}\n";
        Json::Value fragment;
        reader->parse(warm.data(), warm.data() + warm.size(), &fragment, nullptr);
    }

    void operator()(const TextGenerationResult& result) {
        Json::Value fragment;
        reader->parse(result.text.data(), result.text.data() + result.text.size(), &fragment,
                      nullptr);
        ++fragments;
        const std::string text = fragment["result"].isString() ? fragment["result"].asString() : "";
        if (text.size() >= 20) recordStamp(text.substr(text.size() - 20));
    }
    void recordStamp(const std::string& digits) {
        if (digits.find_first_not_of("0123456789") == std::string::npos) {
            latenciesNs.push_back(nowNs() - std::atoll(digits.c_str()));
        }
    }
};

// libcurl alone, the floor: a write callback that finds the stamps in the raw bytes.
struct CurlHost {
    std::vector<long long> latenciesNs;
    std::size_t bytes = 0;

    static size_t write(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<CurlHost*>(user);
        const std::size_t length = size * count;
        self->bytes += length;
        const std::string_view chunk(data, length);
        // A stamped delta ends in 20 digits before the closing quote of "content".
        for (std::size_t at = chunk.find("\"},"); at != std::string_view::npos;
             at = chunk.find("\"},", at + 1)) {
            if (at < 20) continue;
            const std::string digits(chunk.substr(at - 20, 20));
            if (digits.find_first_not_of("0123456789") == std::string::npos) {
                self->latenciesNs.push_back(nowNs() - std::atoll(digits.c_str()));
            }
        }
        return length;
    }

    void run() {
        CURL* curl = curl_easy_init();
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Authorization: Bearer bench");
        const std::string url = endpoint();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kChat);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlHost::write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_perform(curl);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
    }
};

std::unique_ptr<ZefaNlpEngine> makeEngine(ParsingHost& host) {
    auto engine = std::make_unique<ZefaNlpEngine>();
    engine->setConfig(R"({"apiKey": "bench"})");
    engine->setTextGenerationResultCallback([&host](const TextGenerationResult& r) { host(r); });
    (void)engine->init();
    return engine;
}

void printPercentiles(std::vector<long long> ns) {
    if (ns.empty()) {
        std::printf("latency_samples=0\n");
        return;
    }
    const long long first = ns.front();
    std::sort(ns.begin(), ns.end());
    const auto at = [&ns](double q) {
        return double(ns[std::size_t(q * double(ns.size() - 1))]) / 1e3;
    };
    std::printf(
        "latency_samples=%zu\nlatency_first_us=%.1f\nlatency_p50_us=%.1f\n"
        "latency_p90_us=%.1f\nlatency_p99_us=%.1f\n",
        ns.size(), double(first) / 1e3, at(0.5), at(0.9), at(0.99));
}

// The reply written one event per write (chunkBytes 0) or in writes of chunkBytes.
zefa_test::ScriptedReply bulkReply(int events, std::size_t chunkBytes) {
    zefa_test::ScriptedReply reply;
    reply.pieces = zefa_test::realisticStream(events);
    if (chunkBytes == 0) return reply;
    std::string whole;
    for (const std::string& piece : reply.pieces) whole += piece;
    reply.pieces.clear();
    for (std::size_t at = 0; at < whole.size(); at += chunkBytes) {
        reply.pieces.push_back(whole.substr(at, chunkBytes));
    }
    return reply;
}

int bulk(bool engine, int events, std::size_t chunkBytes) {
    ServiceProcess service([=] { return bulkReply(events, chunkBytes); });
    ParsingHost host;
    CurlHost curlHost;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::unique_ptr<ZefaNlpEngine> zefa = engine ? makeEngine(host) : nullptr;
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    if (engine) {
        if (!zefa->chat(kChat).success) return 1;
    } else {
        curlHost.run();
    }
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("events=%d\ncpu_us_per_event=%.3f\nwall_ms=%.1f\npeak_rss_kb=%ld\n", events,
                cpu * 1e6 / events, wallMs, peakRssKb());
    if (engine) std::printf("fragments=%zu\n", host.fragments);
    return 0;
}

int latency(bool engine, int events) {
    ServiceProcess service([events] {
        zefa_test::ScriptedReply reply;
        reply.pieces = zefa_test::realisticStream(events, true);
        reply.pause = std::chrono::milliseconds(1);
        reply.stampWrites = true;
        return reply;
    });
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (engine) {
        ParsingHost host;
        auto zefa = makeEngine(host);
        if (!zefa->chat(kChat).success) return 1;
        printPercentiles(host.latenciesNs);
    } else {
        CurlHost curlHost;
        curlHost.run();
        printPercentiles(curlHost.latenciesNs);
    }
    return 0;
}

// Time from stopChat to chat returning, over 20 trials each: on a silent stream, and on one
// streaming every 10 ms (where the stop lands anywhere between two chunks).
int stop() {
    const auto measure = [](bool silent, std::chrono::milliseconds stopAfter) {
        ServiceProcess service([silent] {
            zefa_test::ScriptedReply reply;
            reply.pieces = zefa_test::realisticStream(silent ? 1 : 2000);
            if (silent) {
                reply.pieces.resize(2);
                reply.ending = zefa_test::ScriptedReply::Ending::Hold;
                reply.hold = std::chrono::seconds(30);
            } else {
                reply.pause = std::chrono::milliseconds(10);
            }
            return reply;
        });
        ParsingHost host;
        auto zefa = makeEngine(host);
        std::atomic<long long> stoppedAt{0};
        std::thread stopper([&] {
            std::this_thread::sleep_for(stopAfter);
            stoppedAt = nowNs();
            zefa->stopChat();
        });
        (void)zefa->chat(kChat);
        const long long returnedAt = nowNs();
        stopper.join();
        return double(returnedAt - stoppedAt) / 1e6;
    };
    const auto report = [](const char* name, std::vector<double> times) {
        std::sort(times.begin(), times.end());
        std::printf("stop_%s_median_ms=%.2f\nstop_%s_max_ms=%.2f\n", name, times[times.size() / 2],
                    name, times.back());
    };
    std::vector<double> silent;
    std::vector<double> streaming;
    for (int i = 0; i < 20; ++i) {
        silent.push_back(measure(true, std::chrono::milliseconds(100 + 3 * i)));
        streaming.push_back(measure(false, std::chrono::milliseconds(200 + 3 * i)));
    }
    report("silent", silent);
    report("streaming", streaming);
    return 0;
}

// Connections accepted over sequential chats of one engine, and the time to the first fragment
// of the first chat (a new connection) and of the later ones (the kept connection).
int reuse(int chats) {
    ServiceProcess service([] {
        return zefa_test::ScriptedReply{200, "text/event-stream", zefa_test::realisticStream(10)};
    });
    ParsingHost host;
    auto engine = makeEngine(host);
    std::vector<double> firstFragmentMs;
    Clock::time_point start;
    bool waiting = false;
    engine->setTextGenerationResultCallback([&](const TextGenerationResult& r) {
        if (waiting) {
            firstFragmentMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            waiting = false;
        }
        host(r);
    });
    for (int i = 0; i < chats; ++i) {
        start = Clock::now();
        waiting = true;
        if (!engine->chat(kChat).success) return 1;
    }
    double later = 0;
    for (std::size_t i = 1; i < firstFragmentMs.size(); ++i) later += firstFragmentMs[i];
    std::printf(
        "chats=%d\nconnections=%ld\nfirst_fragment_new_connection_ms=%.3f\n"
        "first_fragment_kept_connection_ms=%.3f\n",
        chats, service.connections(), firstFragmentMs.front(),
        later / double(std::max<std::size_t>(1, firstFragmentMs.size() - 1)));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool engine = argc > 2 && std::string(argv[2]) == "engine";
    const int events = argc > 3 ? std::atoi(argv[3]) : 100000;
    if (mode == "bulk") return bulk(engine, events, argc > 4 ? std::size_t(std::atol(argv[4])) : 0);
    if (mode == "latency") return latency(engine, events);
    if (mode == "stop") return stop();
    if (mode == "reuse") return reuse(argc > 2 ? std::atoi(argv[2]) : 10);
    std::fprintf(stderr,
                 "usage: zefa_bench bulk engine|curl EVENTS [CHUNK_BYTES] | latency engine|curl "
                 "EVENTS | stop | reuse CHATS\n");
    return 2;
}
