// SPDX-License-Identifier: MIT
#include "catalog.h"

#include "zefa_nlp_util.h"

#include <json/value.h>

namespace zefa_nlp_catalog {

namespace {

using zefa_nlp_util::findMember;

constexpr const char* kCatalog = R"(
    {
        "vendor": "泽法",
        "models": [
            {
                "name": "泽法-zefa-plus",
                "model": "zefa-plus",
                "subConfig": [
                    {
                        "name": "zefa-plus",
                        "config": [
                            {
                                "friendlyName": "APIKey",
                                "configName": "apiKey"
                            }
                        ]
                    }
                ],
                "maxTokens": 8192,
                "feedbackUrl": "https://www.zefa.ai/"
            }
        ]
    }
    )";

// The catalog entry whose "model" is model, or null. Read from the text, so that the text is
// the one description of the models.
Json::Value findModel(const std::string& model) {
    const Json::Value catalog = zefa_nlp_util::formatJsonFromString(kCatalog);
    const Json::Value* models = findMember(catalog, "models");
    if (models == nullptr || !models->isArray()) return Json::Value();
    for (const Json::Value& entry : *models) {
        const Json::Value* id = findMember(entry, "model");
        if (id != nullptr && id->isString() && id->asString() == model) return entry;
    }
    return Json::Value();
}

}  // namespace

const char* text() { return kCatalog; }

bool hasModel(const std::string& model) { return !findModel(model).isNull(); }

int maxTokens(const std::string& model) {
    const Json::Value entry = findModel(model);
    if (entry.isNull()) return -1;
    const Json::Value* limit = findMember(entry, "maxTokens");
    return limit != nullptr && limit->isInt() ? limit->asInt() : 0;
}

}  // namespace zefa_nlp_catalog
