// SPDX-License-Identifier: MIT
// Characters that a service cut between the two UTF-16 halves of their \uXXXX escapes.
//
// Some services cut a delta's text between the two halves of a character, so one event's
// "content" string ends in a high-surrogate escape and the next one's begins with the low half.
// The JSON reader refuses the first and turns the second into invalid UTF-8.
#pragma once

#include <string>

namespace zefa_nlp_util {

// Rewrites the "content" string of a payload text: a high surrogate that ends it is taken out
// into carried, carried (from the event before) is put back before a low surrogate that begins
// it, and every surrogate that finds no partner becomes U+FFFD.
void repairSplitSurrogates(std::string& payload, std::string& carried);

}  // namespace zefa_nlp_util
