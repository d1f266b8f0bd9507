// The general reading of a JSON text's top-level members: nlohmann's strict
// parser, the authority on every text the quick scanner declines.
#pragma once

#include <string_view>

#include "base/result.h"
#include "text/top_level_members.h"

namespace harlo {

// Parses `json` as exactly one strict JSON text (no comments, nothing but
// JSON whitespace around the value, a UTF-8 byte-order mark before it
// skipped) whose top-level value must be an object, reporting each of its
// members to `sink` (never calling sink.clear()). Nested values are skipped
// without being stored; the parser and the capture are iterative, so nesting
// depth costs no stack. On failure the sink may have been told members
// before the point of failure. Thread-safe: no shared state.
Result<void, ScanFailure> parseTopLevelMembers(std::string_view json, MemberSink& sink);

}  // namespace harlo
