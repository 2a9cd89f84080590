// SPDX-License-Identifier: MIT
// A second service on a port that one already serves is refused with a message naming the port,
// both in-process and as zefa-mock-service: two services on one port would answer in turn.
#include "model_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>

namespace {

using testing::HasSubstr;

// A mock service that shared the port would serve until stopped: this ends it.
constexpr int kMockLimitSeconds = 60;

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome runMockService(int port) {
    std::string command = "timeout " + std::to_string(kMockLimitSeconds) + " ";
    // A cross build's programs may need an emulator to run here.
    if (*ZEFA_TEST_EMULATOR != '\0') command += std::string("'") + ZEFA_TEST_EMULATOR + "' ";
    command +=
        std::string("'") + ZEFA_MOCK_SERVICE_PATH + "' --port " + std::to_string(port) + " 2>&1";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

TEST(ServicePort, InProcessServiceRefusesAServedPort) {
    zefa_test::ModelService first;
    const std::string where = "127.0.0.1:" + std::to_string(first.port());
    try {
        zefa_test::ModelService second(first.port());
        FAIL() << "a second service bound " << where;
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr(where));
        EXPECT_THAT(error.what(), HasSubstr("in use"));
    }
}

TEST(ServicePort, MockServiceOnAServedPortExitsWithAMessage) {
    zefa_test::ModelService first;
    const Outcome mock = runMockService(first.port());
    EXPECT_EQ(mock.status, 1) << mock.output;
    EXPECT_THAT(mock.output, HasSubstr("127.0.0.1:" + std::to_string(first.port())));
    EXPECT_THAT(mock.output, HasSubstr("--port"));
}

}  // namespace
