// SPDX-License-Identifier: MIT
// What most tests of the engine itself start from: an engine with the tests' key and a recorder,
// talking to a local model service of its own. The tests that use it link the engine's objects.
#pragma once

#include "model_service.h"
#include "test_support.h"
#include "zefa_nlp_engine_p.h"

#include <gtest/gtest.h>

namespace zefa_test {

struct ServedEngine {
    ServedEngine() { configure(engine, recorder); }

    ModelService service;
    ZefaNlpEnginePrivate engine{service.endpointUrl()};
    Recorder recorder;
};

// The same as a test fixture.
class ServedEngineTest : public testing::Test, public ServedEngine {};

}  // namespace zefa_test
