// SPDX-License-Identifier: MIT
#include "zefa_nlp_server_error.h"

#include <limits>
#include <map>

namespace zefa_nlp_server_error {

namespace {

const std::map<int, ai_engine::NlpEngineErrorCode> kStatusCodes = {
    {400, ai_engine::InvalidRequest},  {401, ai_engine::Unauthorized},
    {403, ai_engine::Unauthorized},    {404, ai_engine::Unauthorized},
    {408, ai_engine::InvalidRequest},  {413, ai_engine::PayloadTooLarge},
    {429, ai_engine::TooManyRequests}, {500, ai_engine::InvalidRequest},
};

}  // namespace

ai_engine::NlpEngineErrorCode errorCode2nlpResult(long status) {
    if (status < std::numeric_limits<int>::min() || status > std::numeric_limits<int>::max()) {
        return ai_engine::UnknownServiceError;
    }
    const auto it = kStatusCodes.find(static_cast<int>(status));
    return it == kStatusCodes.end() ? ai_engine::UnknownServiceError : it->second;
}

}  // namespace zefa_nlp_server_error
