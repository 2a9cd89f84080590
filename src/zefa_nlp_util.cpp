// SPDX-License-Identifier: MIT
#include "zefa_nlp_util.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>

namespace zefa_nlp_util {

bool parseJson(const std::string& text, Json::Value& value) {
    value = Json::Value();
    // The reader keeps a pointer to the end of the text; a std::string is NUL-terminated, which
    // keeps the reader's look-ahead after a trailing CR inside the buffer.
    static const Json::CharReaderBuilder kBuilder;
    const std::unique_ptr<Json::CharReader> reader(kBuilder.newCharReader());
    try {
        return reader->parse(text.data(), text.data() + text.size(), &value, nullptr);
    } catch (const Json::Exception&) {
        // Nesting deeper than the reader's stack limit raises instead of failing.
        value = Json::Value();
        return false;
    }
}

Json::Value formatJsonFromString(const std::string& text) {
    Json::Value value;
    (void)parseJson(text, value);
    return value;
}

const Json::Value* findMember(const Json::Value& value, const char* key) {
    if (!value.isObject()) return nullptr;
    return value.find(key, key + std::char_traits<char>::length(key));
}

bool hasMember(const Json::Value& value, const char* key) {
    return findMember(value, key) != nullptr;
}

namespace {

Json::Value masked(const Json::Value& value) {
    if (value.isString()) return Json::Value("***");
    if (value.isArray()) {
        Json::Value copy(Json::arrayValue);
        for (const Json::Value& element : value) copy.append(masked(element));
        return copy;
    }
    if (value.isObject()) {
        Json::Value copy(Json::objectValue);
        for (auto it = value.begin(); it != value.end(); ++it) copy[it.name()] = masked(*it);
        return copy;
    }
    return value;
}

}  // namespace

std::string maskedJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, masked(value));
}

}  // namespace zefa_nlp_util
