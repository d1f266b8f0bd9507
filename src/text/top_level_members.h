// A single pass over one JSON text that keeps only chosen members of its
// top-level object, without building a document.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "text/json_integer.h"

namespace harlo {

enum class JSONType { null, boolean, number, string, array, object };

// The value of one kept member: its JSON type, and its contents when it is a
// string or a number. Nested arrays and objects are not stored.
struct MemberValue {
  JSONType type = JSONType::null;
  std::string text;              // a string's value
  JSONIntegerReading integer{};  // a number read as a signed 64-bit integer
  std::string numberText;        // a number that is not a 64-bit integer, as written
                                 // (ASCII, at most 40 bytes; longer texts end in "...")
};

// Why a text has no top-level object to take members from.
struct ScanFailure {
  enum class Reason {
    syntaxError,       // not one strict JSON text
    numberOutOfRange,  // a number too large for a double anywhere in the text
    notAnObject,       // valid JSON whose top-level value is not an object
  };
  Reason reason;
  std::size_t byte = 0;  // bytes read when the parser stopped (not for notAnObject)
};

// Parses `json` as exactly one strict JSON text (no comments, nothing but
// JSON whitespace around the value) whose top-level value must be an object.
// Returns one slot per entry of `names`, in that order: the value of the last
// member with exactly that name, or nothing when no member has it. Members
// with other names and every nested value are skipped without being stored.
// Nesting depth costs no stack: the parser and the capture are iterative.
// Thread-safe: no shared state.
Result<std::vector<std::optional<MemberValue>>, ScanFailure> scanTopLevelMembers(
    std::string_view json, std::span<const std::string_view> names);

}  // namespace harlo
