// SPDX-License-Identifier: MIT
// Maps the HTTP status of a refused request to the error code the host sees.
#pragma once

#include "ai_engine/engine_error.h"
#include "zefa_nlp_engine_export.h"

namespace zefa_nlp_server_error {

// 400, 408, 500 → 7; 401, 403, 404 → 10; 413 → 15; 429 → 16; any other status → 1000.
ZEFA_NLP_ENGINE_EXPORT ai_engine::NlpEngineErrorCode errorCode2nlpResult(long status);

}  // namespace zefa_nlp_server_error
