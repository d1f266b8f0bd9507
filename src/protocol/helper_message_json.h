// The JSON form of a HelperMessage, in both directions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "protocol/helper_message.h"

namespace harlo {

// A message to be written whose texts are borrowed, so that a writer can
// encode what it was handed without copying it into a HelperMessage first.
// The viewed texts must outlive the view.
struct HelperMessageView {
  std::string_view kind;
  std::optional<std::string_view> event{};
  std::optional<std::string_view> detail{};
  std::optional<std::string_view> payload{};
  std::optional<std::string_view> command{};
  const RequestId* id = nullptr;  // none when null
  std::int64_t version = helperProtocolVersion;

  static HelperMessageView of(const HelperMessage& message);
};

// Appends the compact JSON object of `message` to `out`, with no line feed.
// Keys are written in field order (kind, event, detail, payload, command, id,
// version); absent fields are left out, never written as null. An id is
// written as the JSON integer or string it holds. Strings escape
// `"`, `\`, `/` (as `\/`), the control characters U+0000 to U+001F (`\b`,
// `\f`, `\n`, `\r`, `\t`, others as `\u00XX`); everything else, non-ASCII
// included, is written as plain UTF-8. A text that is not valid UTF-8 has each
// maximal ill-formed subpart replaced with U+FFFD, so the output is always
// valid UTF-8 JSON and encoding cannot fail.
void appendHelperMessageJSON(std::string& out, const HelperMessageView& message);
void appendHelperMessageJSON(std::string& out, const HelperMessage& message);

// The same, as a new string.
std::string encodeHelperMessage(const HelperMessage& message);

// Why a line could not be decoded.
struct DecodeError {
  enum class Category {
    dataCorrupted,  // not a JSON object, or a version that is not a 64-bit integer
    typeMismatch,   // a known key holds a value of the wrong JSON type
    keyNotFound,    // "kind" or "version" is missing
    valueNotFound,  // "kind" or "version" is null
  };
  Category category;
  std::optional<std::string> key;  // the failing key; absent when the text is not an object
  std::string reason;              // what was expected and what was found
  std::optional<RequestId> id{};   // the message's id, when the object could be read

  // A readable one-line description naming the category, the key and the
  // reason, e.g. `key not found: "version": no value for this key`.
  std::string description() const;
};

// Decodes one line (without its line feed). The text must be one JSON value
// whose top level is an object, optionally surrounded by JSON whitespace.
// "kind" must be a string; "event", "detail", "payload" and "command" must be
// strings or null (null or missing means absent); "version" must be an integer
// in the signed 64-bit range. "id" is kept when it is a string or an integer
// in the signed 64-bit range, and ignored otherwise: it never fails a line.
// Keys are matched exactly and case-sensitively; other keys are ignored
// whatever their value. Checks run in the order kind,
// event, detail, payload, command, version; the first failure is returned.
//
// Choices where JSON leaves room:
// - A repeated key: the last occurrence counts.
// - "version" written with a fraction or an exponent (1.0, 1e0, 2.50e1) is
//   accepted when the number as written is exactly an integer within the
//   signed 64-bit range; it is read from its digits, never rounded through a
//   double. 1.5, 1e-400 or 1e19 fail as data corrupted.
// - A number too large for a double anywhere in the text (1e400) fails as
//   data corrupted without a key, like text that is not JSON.
// - A UTF-8 byte-order mark before the value is skipped.
Result<HelperMessage, DecodeError> decodeHelperMessage(std::string_view json);

}  // namespace harlo
