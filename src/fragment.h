// SPDX-License-Identifier: MIT
// The fragment a host receives for one streamed event: {"is_end", "result", "sentence_id"},
// written as Json::Value::toStyledString writes it.
//
// Two ways to the same bytes. The general one reads the payload with the JSON library and
// writes the fragment with it. The fast one reads a plain chat-completion chunk in one pass and
// writes the fragment text directly; it gives up (and the caller takes the general way) on
// anything it does not fully understand, so that both ways always agree.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace zefa_nlp_fragment {

// The fragment for a payload as the JSON library read it: "choices" → 0 → "delta" → "content"
// as "result" (null when missing), "finish_reason" == "stop" as "is_end". Safe on any value.
Json::Value fragmentJson(const Json::Value& payload, int sentenceId);

// What the fast way reads of a chunk.
struct PlainChunk {
    bool isEnd = false;       // "finish_reason" is the string "stop"
    bool hasContent = false;  // "content" is a string (otherwise "result" is null)
    std::string content;      // decoded UTF-8
    // Buffers of the reader, kept here so that reading one chunk after another allocates
    // nothing.
    std::string nameBuffer;
    std::string valueBuffer;
};

// Reads payload when it is one JSON object in plain JSON (no comments, no exponents, no
// duplicate member on the path, valid UTF-8, no "error" member) whose "content" is a string or
// null; false otherwise, and chunk is then unspecified.
[[nodiscard]] bool readPlainChunk(std::string_view payload, PlainChunk& chunk);

// Writes the fragment text of chunk into out (replacing what it held).
void writeFragment(const PlainChunk& chunk, int sentenceId, std::string& out);

// Runs both ways once, so that the first event of the first request does not pay for loading
// their code and binding their symbols (about 0.15 ms).
void warmUp();

}  // namespace zefa_nlp_fragment
