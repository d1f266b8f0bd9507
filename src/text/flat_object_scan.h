// A quick reading of the one shape nearly every line has: a JSON object whose
// member values are strings, plain integers, true, false or null, with no
// nested array or object. It is the fast path of scanTopLevelMembers; the
// general parser stays the one authority on every other text.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "text/top_level_members.h"

namespace harlo {

// Reads `json` when it is one JSON object of that shape, optionally
// surrounded by JSON whitespace, reporting each member to `sink` (never
// calling sink.clear()); every number it reports is an integer. Returns false
// for any other text, deciding nothing about it: nested values, numbers with
// a fraction or an exponent or more than 18 digits, keys with escapes or
// non-ASCII bytes, a lone surrogate escape, a byte-order mark, and every text
// that is not valid JSON or not valid UTF-8. The sink may then have been told
// the members before the point where the scanner stopped, and the caller
// must ask the general parser. Thread-safe: no shared state.
bool scanFlatObject(std::string_view json, MemberSink& sink);

}  // namespace harlo
