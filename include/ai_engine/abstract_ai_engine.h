// SPDX-License-Identifier: MIT
// Root of every engine the host framework loads. The order, signatures and const qualifiers of
// the virtual operations are the binary contract with the host: never reorder or change them.
#pragma once

#include <string>

namespace ai_engine {

class AbstractAiEngine {
public:
    AbstractAiEngine() = default;
    virtual ~AbstractAiEngine() {}

    virtual std::string engineName() const = 0;
    virtual bool isCloud() const = 0;
    virtual bool isBuiltInEngine() const = 0;
    virtual bool isCustomModelEngine() const { return false; }
    virtual std::string modelInfo() const = 0;
    virtual bool setCurrentModel(const std::string& model) {
        (void)model;
        return false;
    }
    virtual std::string currentModel() const { return std::string(); }
    virtual std::string currentModelName() const { return std::string(); }
    virtual void setConfig(const std::string& config) { (void)config; }
};

}  // namespace ai_engine
