// A quick reading of the one shape nearly every line has: a JSON object whose
// member values are strings, plain integers, true, false or null, with no
// nested array or object. It is the fast path of scanTopLevelMembers; the
// general parser there stays the one authority on every other text.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/top_level_members.h"

namespace harlo {

// Reads `json` when it is one JSON object of that shape, optionally
// surrounded by JSON whitespace, into `slots` (one per entry of `names`, all
// empty on entry) as scanTopLevelMembers would: each holds the value of the
// last member with exactly that name. Returns false, having decided nothing
// and leaving `slots` unspecified, for any other text: nested values, numbers with a fraction or an
// exponent or more than 18 digits, keys with escapes or non-ASCII bytes, a lone surrogate escape, a
// byte-order mark, and every text that is not valid JSON or not valid UTF-8. The caller must then
// ask the general parser. Thread-safe: no shared state.
bool scanFlatTopLevelMembers(std::string_view json, std::span<const std::string_view> names,
                             std::span<std::optional<MemberValue>> slots);

}  // namespace harlo
