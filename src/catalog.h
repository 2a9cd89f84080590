// SPDX-License-Identifier: MIT
// The engine's built-in model catalog: the text hosts show, and the models the engine offers.
#pragma once

#include <string>

namespace zefa_nlp_catalog {

// The catalog as hosts receive it: a JSON object whose "models" lists the models; the same on
// every call.
const char* text();

// The catalog has an entry whose "model" is model.
[[nodiscard]] bool hasModel(const std::string& model);

// The "maxTokens" of model's entry: -1 when the catalog has no such model, 0 when the entry
// gives no integer.
[[nodiscard]] int maxTokens(const std::string& model);

}  // namespace zefa_nlp_catalog
