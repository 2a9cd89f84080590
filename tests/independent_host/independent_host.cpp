// SPDX-License-Identifier: MIT
// A host built the way the real one is: from its own copy of the engine interface, not from the
// library's headers, linked against the shared library, and using the engine only through the
// virtual table. If this copy and the library disagree on the layout of the interface, the calls
// below land in the wrong functions.
#include "model_service.h"

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// ---- the host framework's declarations, as the host has them
namespace ai_engine {
struct EngineError {
    std::string module = "AI Engine";
    int code = -1;
    std::string message;
};
namespace result {
struct AiEngineBaseResult {
    bool success;
    EngineError error;
};
struct AiEngineModelResult : AiEngineBaseResult {
    std::string modelName;
};
}  // namespace result
class AbstractAiEngine {
public:
    virtual ~AbstractAiEngine() {}
    virtual std::string engineName() const = 0;
    virtual bool isCloud() const = 0;
    virtual bool isBuiltInEngine() const = 0;
    virtual bool isCustomModelEngine() const { return false; }
    virtual std::string modelInfo() const = 0;
    virtual bool setCurrentModel(const std::string&) { return false; }
    virtual std::string currentModel() const { return {}; }
    virtual std::string currentModelName() const { return {}; }
    virtual void setConfig(const std::string&) {}
};
namespace gen_ai::nlp {
struct TextGenerationResult : result::AiEngineModelResult {
    std::string text;
};
using Callback = std::function<void(const TextGenerationResult&)>;
class AbstractTextGenerationEngine : public AbstractAiEngine {
public:
    virtual void setTextGenerationResultCallback(Callback callback) = 0;
    virtual result::AiEngineBaseResult init() = 0;
    virtual result::AiEngineBaseResult destroy() = 0;
    virtual result::AiEngineBaseResult generateContent(const std::string& input) = 0;
    virtual result::AiEngineBaseResult chat(const std::string& input) = 0;
    virtual void stopGenerateContent() = 0;
    virtual void stopChat() = 0;
};
}  // namespace gen_ai::nlp
}  // namespace ai_engine

// ---- the engine class, as its public header presents it to the host
using ai_engine::gen_ai::nlp::AbstractTextGenerationEngine;
class ZefaNlpEngine : public AbstractTextGenerationEngine {
public:
    ZefaNlpEngine();
    ~ZefaNlpEngine() override;
    std::string engineName() const override;
    bool isCloud() const override;
    bool isBuiltInEngine() const override;
    bool isCustomModelEngine() const override;
    std::string modelInfo() const override;
    bool setCurrentModel(const std::string& model) override;
    std::string currentModel() const override;
    std::string currentModelName() const override;
    void setConfig(const std::string& config) override;
    void setTextGenerationResultCallback(ai_engine::gen_ai::nlp::Callback callback) override;
    ai_engine::result::AiEngineBaseResult init() override;
    ai_engine::result::AiEngineBaseResult destroy() override;
    ai_engine::result::AiEngineBaseResult generateContent(const std::string& input) override;
    ai_engine::result::AiEngineBaseResult chat(const std::string& input) override;
    void stopGenerateContent() override;
    void stopChat() override;

private:
    void* impl_;
};

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "independent host: FAILED: %s\n", what);
        ++failures;
    }
}

// The port of a loopback http:// service address, or 0.
int loopbackPort(const std::string& baseUrl) {
    const std::string prefix = "http://127.0.0.1:";
    if (baseUrl.rfind(prefix, 0) != 0) return 0;
    return std::atoi(baseUrl.c_str() + prefix.size());
}

}  // namespace

int main() {
    std::unique_ptr<AbstractTextGenerationEngine> engine(new ZefaNlpEngine);
    check(engine->engineName() == "zefa", "engineName");
    check(engine->isCloud(), "isCloud");
    check(!engine->isBuiltInEngine() && !engine->isCustomModelEngine(), "built-in/custom");
    check(engine->currentModel() == "zefa-plus", "currentModel");
    check(engine->currentModelName() == "泽法-zefa-plus", "currentModelName");
    Json::Value catalog;
    Json::Reader().parse(engine->modelInfo(), catalog);
    check(catalog["models"][0]["maxTokens"].asInt() == 8192, "modelInfo");
    check(!engine->setCurrentModel("none") && engine->setCurrentModel("zefa-plus"),
          "setCurrentModel");

    const int port = loopbackPort(ZEFA_SERVICE_BASE_URL);
    if (port == 0) {
        std::printf("independent host: identity checked; service %s is not local, no chat\n",
                    ZEFA_SERVICE_BASE_URL);
        return failures == 0 ? 0 : 1;
    }
    zefa_test::ModelService service(port);
    zefa_test::ScriptedReply reply;
    reply.pieces = zefa_test::streamOf({"over ", "the ", "vtable"});
    service.setReply(reply);

    std::vector<ai_engine::gen_ai::nlp::TextGenerationResult> received;
    engine->setConfig(R"({"apiKey": "host-key"})");
    engine->setTextGenerationResultCallback(
        [&received](const ai_engine::gen_ai::nlp::TextGenerationResult& r) {
            received.push_back(r);
        });
    check(engine->init().success, "init");
    const auto result =
        engine->chat(R"({"messages": [{"role": "user", "content": "stream something"}]})");
    check(result.success && result.error.code == -1, "chat result");
    std::string text;
    for (const auto& fragment : received) {
        Json::Value parsed;
        Json::Reader().parse(fragment.text, parsed);
        text += parsed["result"].asString();
        check(fragment.modelName == "泽法-zefa-plus", "fragment modelName");
    }
    check(received.size() == 5, "five fragments");
    check(text == "over the vtable", "streamed text");
    check(service.requests().size() == 1 &&
              service.requests()[0].header("Authorization") == "Bearer host-key",
          "request");
    check(engine->generateContent("{}").error.code == 14, "generateContent refusal");
    check(engine->destroy().success, "destroy");
    engine.reset();
    std::printf("independent host: %s\n", failures == 0 ? "all checks passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
