// A single pass over one JSON text that reports the members of its top-level
// object, without building a document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// Where a reading reports the members of the top-level object, one by one in
// text order, to whoever keeps their values. Nested members are never
// reported. A key may come again: its last report counts.
class MemberSink {
 public:
  // The member named `key` holds a string: where its decoded text goes (the
  // reader replaces what it holds), or null to skip it.
  virtual std::string* text(std::string_view key) = 0;
  // The member named `key` holds a number, read exactly as a signed 64-bit
  // integer. When it is not one, `written` is the number as written (ASCII,
  // at most 40 bytes; longer texts end in "..."); otherwise it is empty.
  virtual void number(std::string_view key, JSONIntegerReading integer,
                      std::string_view written) = 0;
  // The member named `key` holds null, true or false, an array or an object.
  virtual void other(std::string_view key, JSONType type) = 0;
  // Forget every member reported so far: the reading that reported them gave
  // the text up, and another reads it from the start.
  virtual void clear() = 0;

 protected:
  ~MemberSink() = default;
};

// Reads `json` as exactly one strict JSON text (no comments, nothing but
// JSON whitespace around the value, a UTF-8 byte-order mark before it
// skipped) whose top-level value must be an object, and reports its members
// to `sink`. On failure the sink's state is unspecified.
//
// A text goes one way. The quick scanner (scanFlatObject) reads it when it
// has the common flat shape, and a text it reads to the end is never parsed
// again, whatever its members; only when the quick scanner declines the text
// is the sink cleared and the text read by the general parser
// (parseTopLevelMembers) instead. Both readers report a text they can both
// read alike, so what the sink ends up with does not depend on which read it.
// Nesting depth costs no stack. Thread-safe: no shared state.
Result<void, ScanFailure> scanTopLevelMembers(std::string_view json, MemberSink& sink);

}  // namespace harlo
