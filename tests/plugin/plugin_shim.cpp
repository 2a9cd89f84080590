// SPDX-License-Identifier: MIT
// A host's plugin shim: the library exports the engine class, and a host that loads plugins with
// dlopen looks up one C function that makes an engine. The host deletes the engine through the
// interface's virtual destructor.
#include "zefa_nlp_engine.h"

extern "C" __attribute__((visibility("default")))
ai_engine::gen_ai::nlp::AbstractTextGenerationEngine*
zefa_plugin_create_engine() {
    return new ZefaNlpEngine;
}
