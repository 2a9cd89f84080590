// SPDX-License-Identifier: MIT
// A second service on a port that one already serves is refused with a message naming the port,
// both in-process and as zefa-mock-service: two services on one port would answer in turn.
#include "model_service.h"
#include "system_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zefa_test {
namespace {

using testing::HasSubstr;

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome runMockService(int port) {
    const ScratchDirectory scratch("mock-service");
    std::vector<std::string> argv{ZEFA_MOCK_SERVICE_PATH, "--port", std::to_string(port)};
    // A cross build's programs may need an emulator to run here.
    if (*ZEFA_TEST_EMULATOR != '\0') argv.insert(argv.begin(), ZEFA_TEST_EMULATOR);
    const std::string log = scratch.path() + "/output";
    // A mock service that shared the port would serve until stopped: the destructor ends it.
    ChildProcess mock(argv, log);
    const int status = mock.wait();
    return {status, readFile(log)};
}

TEST(ServicePort, InProcessServiceRefusesAServedPort) {
    ModelService first;
    const std::string where = "127.0.0.1:" + std::to_string(first.port());
    try {
        ModelService second(first.port());
        FAIL() << "a second service bound " << where;
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr(where));
        EXPECT_THAT(error.what(), HasSubstr("in use"));
    }
}

TEST(ServicePort, MockServiceOnAServedPortExitsWithAMessage) {
    ModelService first;
    const Outcome mock = runMockService(first.port());
    EXPECT_EQ(mock.status, 1) << mock.output;
    EXPECT_THAT(mock.output, HasSubstr("127.0.0.1:" + std::to_string(first.port())));
    EXPECT_THAT(mock.output, HasSubstr("--port"));
}

}  // namespace
}  // namespace zefa_test
