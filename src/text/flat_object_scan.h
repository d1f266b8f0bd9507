// A quick reading of the one shape nearly every line has: a JSON object whose
// member values are strings, plain integers, true, false or null, with no
// nested array or object. It is the fast path of the decoder and of
// scanTopLevelMembers; the general parser stays the one authority on every
// other text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/top_level_members.h"

namespace harlo {

// What a quick reading reports, member by member in text order, to whoever
// keeps the values. A reading that declines has still reported the members
// before the point where it stopped, so the sink's state is then unusable.
class FlatMemberSink {
 public:
  // The member named `key` holds a string: where its text goes (the scanner
  // clears it, then appends the decoded text), or null to skip it.
  virtual std::string* text(std::string_view key) = 0;
  // The member named `key` holds null, true or false, or an integer that
  // `integer` holds (0 for the others).
  virtual void scalar(std::string_view key, JSONType type, std::int64_t integer) = 0;

 protected:
  ~FlatMemberSink() = default;
};

// Reads `json` when it is one JSON object of that shape, optionally
// surrounded by JSON whitespace, reporting each member to `sink`. Returns
// false, having decided nothing, for any other text: nested values, numbers
// with a fraction or an exponent or more than 18 digits, keys with escapes or
// non-ASCII bytes, a lone surrogate escape, a byte-order mark, and every text
// that is not valid JSON or not valid UTF-8. The caller must then ask the
// general parser. Thread-safe: no shared state.
bool scanFlatObject(std::string_view json, FlatMemberSink& sink);

// The same reading, kept as scanTopLevelMembers keeps it: `slots` has one
// entry per entry of `names`, all empty on entry, and each ends up holding
// the value of the last member with exactly that name. On false the slots
// are unspecified.
bool scanFlatTopLevelMembers(std::string_view json, std::span<const std::string_view> names,
                             std::span<std::optional<MemberValue>> slots);

// The index in `names` of `key`, or names.size() when it is not there.
std::size_t indexOfName(std::span<const std::string_view> names, std::string_view key);

}  // namespace harlo
