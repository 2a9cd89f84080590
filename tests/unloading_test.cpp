// SPDX-License-Identifier: MIT
// A host that loads the engine as a plugin (dlopen, through a shim linked against the library)
// and unloads it to load an update: once its engines are deleted and the last handle is closed,
// the library leaves the process, even while a thread that chatted lives on.
#include "model_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <thread>

namespace zefa_test {
namespace {

bool engineLibraryMapped() {
    return readFile("/proc/self/maps").find("libzefa-nlp-engine") != std::string::npos;
}

// A host's worker thread: it runs one chat, then stays alive until released.
class ChattingThread {
public:
    explicit ChattingThread(AbstractTextGenerationEngine& engine)
        : thread_([this, &engine] {
              const bool succeeded = engine.chat(kHello).success;
              std::unique_lock<std::mutex> lock(mutex_);
              succeeded_ = succeeded;
              chatted_ = true;
              changed_.notify_all();
              changed_.wait(lock, [this] { return released_; });
          }) {}

    ~ChattingThread() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    ChattingThread(const ChattingThread&) = delete;
    ChattingThread& operator=(const ChattingThread&) = delete;

    // Waits (bounded) for the chat to end; whether it succeeded.
    bool chatSucceeded() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return chatted_; }) &&
               succeeded_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool chatted_ = false;
    bool succeeded_ = false;
    bool released_ = false;
    std::thread thread_;
};

TEST(Unloading, TheLibraryLeavesWithItsLastHandle) {
    ASSERT_FALSE(engineLibraryMapped());
    ModelService service(ZEFA_SERVICE_PORT);
    service.setEchoReplies(std::chrono::milliseconds(0));
    void* shim = dlopen(ZEFA_PLUGIN_SHIM_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(shim, nullptr) << dlerror();
    const auto create = reinterpret_cast<AbstractTextGenerationEngine* (*)()>(
        dlsym(shim, "zefa_plugin_create_engine"));
    ASSERT_NE(create, nullptr) << dlerror();
    AbstractTextGenerationEngine* engine = create();
    Recorder recorder;
    configure(*engine, recorder);
    {
        ChattingThread chatter(*engine);
        ASSERT_TRUE(chatter.chatSucceeded());
        EXPECT_EQ(recorder.text(), "You said: hello");
        delete engine;
        EXPECT_EQ(dlclose(shim), 0) << dlerror();
        EXPECT_FALSE(engineLibraryMapped());
    }
}

}  // namespace
}  // namespace zefa_test
