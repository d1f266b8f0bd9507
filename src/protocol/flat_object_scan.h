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
// surrounded by JSON whitespace, and returns what scanTopLevelMembers returns
// for it: one slot per entry of `names`, holding the value of the last member
// with exactly that name. Returns nothing, having decided nothing, for any
// other text: nested values, numbers with a fraction or an exponent or more
// than 18 digits, keys with escapes or non-ASCII bytes, a lone surrogate
// escape, a byte-order mark, and every text that is not valid JSON or not
// valid UTF-8. The caller must then ask the general parser.
// Thread-safe: no shared state.
std::optional<std::vector<std::optional<MemberValue>>> scanFlatTopLevelMembers(
    std::string_view json, std::span<const std::string_view> names);

}  // namespace harlo
