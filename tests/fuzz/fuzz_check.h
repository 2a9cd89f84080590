// SPDX-License-Identifier: MIT
// Invariant checks for the fuzz targets: a failed check is a finding.
#pragma once

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace zefa_fuzz {

// Parses text completely (nothing may follow the value).
inline bool parseStrict(const std::string& text, Json::Value& value) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &value, nullptr);
}

}  // namespace zefa_fuzz
