// SPDX-License-Identifier: MIT
// The exported class and function as a host sees them, and what the shared library exports.
#include "model_service.h"
#include "test_support.h"
#include "zefa_nlp_engine.h"
#include "zefa_nlp_server_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <string>

namespace zefa_test {
namespace {

using ai_engine::AbstractAiEngine;

TEST(Facade, AnswersWithTheImplementationNotTheInterfaceDefaults) {
    ZefaNlpEngine facade;
    AbstractTextGenerationEngine& engine = facade;
    expectFreshIdentity(engine);
    EXPECT_EQ(parse(engine.modelInfo())["models"][0]["model"], "zefa-plus");
    EXPECT_TRUE(engine.setCurrentModel("zefa-plus"));
    StderrCapture capture;
    EXPECT_FALSE(engine.setCurrentModel("nope"));
    EXPECT_EQ(capture.text(), "Invalid current model name: nope\n");
}

// An engine that overrides only the pure operations gets the interface's defaults.
class MinimalEngine : public AbstractAiEngine {
public:
    std::string engineName() const override { return "minimal"; }
    bool isCloud() const override { return false; }
    bool isBuiltInEngine() const override { return true; }
    std::string modelInfo() const override { return "{}"; }
};

TEST(HostInterface, DefaultBodiesAndRecords) {
    MinimalEngine engine;
    AbstractAiEngine& base = engine;
    EXPECT_FALSE(base.isCustomModelEngine());
    EXPECT_FALSE(base.setCurrentModel("anything"));
    EXPECT_EQ(base.currentModel(), "");
    EXPECT_EQ(base.currentModelName(), "");
    base.setConfig(R"({"apiKey": "k"})");

    const ai_engine::EngineError none;
    EXPECT_EQ(none.module, "AI Engine");
    EXPECT_EQ(none.code, -1);
    EXPECT_EQ(none.message, "");
    const ai_engine::EngineError empty(14, "The message is empty");
    EXPECT_EQ(empty.module, "AI Engine");
    const ai_engine::result::AiEngineBaseResult result{};
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.code, -1);
    const TextGenerationResult full{{{true, empty}, "model"}, "text"};
    EXPECT_EQ(full.modelName, "model");
    EXPECT_EQ(full.error.code, 14);
}

std::size_t openDescriptors() {
    const std::filesystem::directory_iterator descriptors("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(descriptors), end(descriptors)));
}

// Chats with a new engine, then deletes it through a pointer to Holder.
template <typename Holder>
void chatThenDeleteAs() {
    auto engine = std::make_unique<ZefaNlpEngine>();
    Recorder recorder;
    configure(*engine, recorder);
    expectSuccess(engine->chat(kHello), "chat");
    const std::unique_ptr<Holder> held(std::move(engine));
}

// A host deletes an engine through the interface it holds: the engine lets go of what it held,
// its connection to the service among it (and LeakSanitizer watches its memory).
TEST(Facade, DeletedThroughEitherBaseItLetsGoOfItsConnection) {
    if (ZEFA_SERVICE_PORT == 0) GTEST_SKIP() << "the build's service is not on 127.0.0.1";
    ModelService service(ZEFA_SERVICE_PORT);
    service.setEchoReplies(milliseconds(0));
    // Whatever the first request sets up for the process stays; an engine's own does not. (The
    // service may still hold its end of that request's connection: fewer is fine.)
    chatThenDeleteAs<ZefaNlpEngine>();
    const std::size_t before = openDescriptors();
    chatThenDeleteAs<AbstractTextGenerationEngine>();
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= before; })) << openDescriptors();
    chatThenDeleteAs<AbstractAiEngine>();
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= before; })) << openDescriptors();
}

std::set<std::string> exportedSymbols() {
    const std::string command = std::string("nm -DC --defined-only '") + ZEFA_LIBRARY_PATH + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> symbols;
    char line[4096];
    while (pipe && fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of('\n') + 1);
        // "<address> <type> <name>"
        symbols.insert(text.substr(text.find(' ', text.find(' ') + 1) + 1));
    }
    return symbols;
}

TEST(SharedLibrary, ExportsOnlyTheEngineAndTheStatusMapping) {
    const std::set<std::string> symbols = exportedSymbols();
    ASSERT_FALSE(symbols.empty());
    for (const std::string& symbol : symbols) {
        const bool facade =
            symbol.rfind("ZefaNlpEngine::", 0) == 0 || symbol == "vtable for ZefaNlpEngine" ||
            symbol == "typeinfo for ZefaNlpEngine" || symbol == "typeinfo name for ZefaNlpEngine";
        const bool mapping = symbol == "zefa_nlp_server_error::errorCode2nlpResult(long)";
        EXPECT_TRUE(facade || mapping) << "unexpected export: " << symbol;
    }
    EXPECT_TRUE(symbols.count("vtable for ZefaNlpEngine"));
    EXPECT_TRUE(symbols.count("typeinfo for ZefaNlpEngine"));
    EXPECT_TRUE(
        symbols.count("ZefaNlpEngine::chat(std::__cxx11::basic_string<char, "
                      "std::char_traits<char>, std::allocator<char> > const&)"));
    EXPECT_TRUE(symbols.count("zefa_nlp_server_error::errorCode2nlpResult(long)"));
}

// The code a host gets for each HTTP status of a refusal; the reply's and the chats' tests take
// one status each.
TEST(StatusMapping, GivesEachRefusalItsCode) {
    const std::pair<long, int> rows[] = {{400, 7},    {401, 10},   {403, 10},   {404, 10},
                                         {408, 7},    {413, 15},   {429, 16},   {500, 7},
                                         {503, 1000}, {502, 1000}, {200, 1000}, {0, 1000}};
    for (const auto& [status, code] : rows) {
        EXPECT_EQ(zefa_nlp_server_error::errorCode2nlpResult(status), code) << status;
    }
}

}  // namespace
}  // namespace zefa_test
