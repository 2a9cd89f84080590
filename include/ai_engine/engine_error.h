// SPDX-License-Identifier: MIT
// Error record and error codes shared by the host framework and its engines.
#pragma once

#include <string>

namespace ai_engine {

// Codes a text-generation engine reports in EngineError::code.
enum NlpEngineErrorCode : int {
    NetworkError = 4,           // transport failure
    InvalidRequest = 7,         // the service refused the request (400, 408, 500)
    CertificateError = 9,       // the server's TLS certificate failed verification
    Unauthorized = 10,          // the service refused the credentials (401, 403, 404)
    EmptyInput = 14,            // nothing usable to send
    PayloadTooLarge = 15,       // 413
    TooManyRequests = 16,       // 429
    UnknownServiceError = 1000  // any other refusal of the service
};

struct EngineError {
    EngineError() = default;
    EngineError(int errorCode, const std::string& errorMessage)
        : code(errorCode), message(errorMessage) {}

    std::string module = "AI Engine";
    int code = -1;
    std::string message;
};

}  // namespace ai_engine
