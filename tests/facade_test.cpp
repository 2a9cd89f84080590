// SPDX-License-Identifier: MIT
// The exported class as a host sees it, and what the shared library exports.
#include "test_support.h"
#include "zefa_nlp_engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

namespace {

using ai_engine::AbstractAiEngine;
using ai_engine::gen_ai::nlp::AbstractTextGenerationEngine;

TEST(Facade, AnswersWithTheImplementationNotTheInterfaceDefaults) {
    ZefaNlpEngine facade;
    AbstractTextGenerationEngine& engine = facade;
    zefa_test::expectFreshIdentity(engine);
    EXPECT_EQ(zefa_test::parse(engine.modelInfo())["models"][0]["model"], "zefa-plus");
    EXPECT_TRUE(engine.setCurrentModel("zefa-plus"));
    zefa_test::StderrCapture capture;
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
    const ai_engine::gen_ai::nlp::TextGenerationResult full{true, empty, "model", "text"};
    EXPECT_EQ(full.modelName, "model");
    EXPECT_EQ(full.error.code, 14);
}

TEST(Facade, DeletesCleanlyThroughEitherBase) {
    std::unique_ptr<AbstractTextGenerationEngine> asTextEngine(new ZefaNlpEngine);
    asTextEngine.reset();
    std::unique_ptr<AbstractAiEngine> asEngine(new ZefaNlpEngine);
    asEngine.reset();  // LeakSanitizer reports a private object left behind
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

}  // namespace
