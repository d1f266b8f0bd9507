// Fuzz target: any bytes as one line from the parent, into
// decodeHelperMessage.
//
// Invariants checked on every input:
// - The outcome agrees with a second decoding built on nlohmann's document
//   parser: the same success or failure, the same failing category and key,
//   the same texts and version.
// - A decoded record encodes as one line of valid UTF-8 with no control
//   bytes, which decodes again to the same record.
// - A failure's description is non-empty valid UTF-8 on one line, names the
//   failing key, and stays short whatever the input.
// - An input that is one JSON number is read as a version exactly: an integer
//   in the signed 64-bit range is accepted with its value, anything else is
//   data corrupted (checked against a reading by decimal text alone).
// - The input's bytes taken as a record's texts (valid UTF-8 or not) encode as
//   one valid line that decodes to those texts with ill-formed parts replaced
//   by U+FFFD.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_check.h"
#include "protocol/helper_message.h"
#include "protocol/helper_message_json.h"
#include "reference_utf8.h"
#include "text/json_integer.h"

namespace harlo::fuzz {
namespace {

using Category = DecodeError::Category;
using Json = nlohmann::json;

// Descriptions quote at most a shortened number, a byte offset and a key.
constexpr std::size_t maxDescriptionBytes = 256;

// What the second decoding expects.
struct Expected {
  bool decodes = false;
  // On failure: the category and the failing key.
  Category category = Category::dataCorrupted;
  std::optional<std::string> key;
  // On success: the record. A version written with a fraction or an exponent
  // is known here only as the nearest double, so it is checked loosely.
  HelperMessage message;
  std::optional<double> approximateVersion;
  // An id written with a fraction or an exponent is known here only as a
  // double: whether the decoder keeps it is not checked.
  bool idUnknown = false;
};

Expected failure(Category category, std::optional<std::string> key) {
  Expected expected;
  expected.category = category;
  expected.key = std::move(key);
  return expected;
}

// A text member: nothing when missing or null, the text when a string, a type
// mismatch otherwise (reported by the caller).
enum class TextState { absent, text, wrongType };

TextState readText(const Json& object, const char* key, std::optional<std::string>& out) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return TextState::absent;
  if (!found->is_string()) return TextState::wrongType;
  out = found->get<std::string>();
  return TextState::text;
}

// The input as one strict JSON text, or a discarded value. nlohmann's lexer
// takes a raw NUL byte for the end of the input and would accept whatever
// follows it, so a text holding one is refused here first: a raw NUL is never
// part of a JSON text.
Json parseStrict(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return Json(Json::value_t::discarded);
  return Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

Expected referenceDecode(std::string_view line) {
  // nlohmann keeps the last of repeated keys, skips a leading byte-order
  // mark, and rejects numbers too large for a double, as the decoder does.
  const Json document = parseStrict(line);
  if (document.is_discarded() || !document.is_object()) {
    return failure(Category::dataCorrupted, std::nullopt);
  }
  Expected expected;
  const auto kind = document.find("kind");
  if (kind == document.end()) return failure(Category::keyNotFound, "kind");
  if (kind->is_null()) return failure(Category::valueNotFound, "kind");
  if (!kind->is_string()) return failure(Category::typeMismatch, "kind");
  expected.message.kind = kind->get<std::string>();

  struct Field {
    const char* key;
    std::optional<std::string> HelperMessage::*member;
  };
  const Field fields[] = {{"event", &HelperMessage::event},
                          {"detail", &HelperMessage::detail},
                          {"payload", &HelperMessage::payload},
                          {"command", &HelperMessage::command}};
  for (const Field& field : fields) {
    if (readText(document, field.key, expected.message.*field.member) == TextState::wrongType) {
      return failure(Category::typeMismatch, field.key);
    }
  }

  // The id never fails a line: a string, or an integer in the signed 64-bit
  // range, is kept; anything else is none.
  if (const auto id = document.find("id"); id != document.end()) {
    if (id->is_string()) {
      expected.message.id = id->get<std::string>();
    } else if (id->is_number_unsigned()) {
      const auto value = id->get<std::uint64_t>();
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        expected.message.id = static_cast<std::int64_t>(value);
      }
    } else if (id->is_number_integer()) {
      expected.message.id = id->get<std::int64_t>();
    } else if (id->is_number_float()) {
      expected.idUnknown = true;
    }
  }

  const auto version = document.find("version");
  if (version == document.end()) return failure(Category::keyNotFound, "version");
  if (version->is_null()) return failure(Category::valueNotFound, "version");
  if (!version->is_number()) return failure(Category::typeMismatch, "version");
  if (version->is_number_unsigned()) {
    const auto value = version->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return failure(Category::dataCorrupted, "version");
    }
    expected.message.version = static_cast<std::int64_t>(value);
  } else if (version->is_number_integer()) {
    expected.message.version = version->get<std::int64_t>();
  } else {
    expected.approximateVersion = version->get<double>();
  }
  expected.decodes = true;
  return expected;
}

bool hasControlByte(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

// An encoded line as the writer puts it out: one valid UTF-8 line, control
// characters escaped.
void checkEncodedLine(const std::string& encoded) {
  HARLO_FUZZ_CHECK(referenceIsValidUTF8(encoded), "an encoded message is valid UTF-8");
  HARLO_FUZZ_CHECK(!hasControlByte(encoded), "an encoded message holds no raw control byte");
  HARLO_FUZZ_CHECK(encoded.find('\n') == std::string::npos, "an encoded message is one line");
}

void checkDecoded(const HelperMessage& message, const Expected& expected) {
  HARLO_FUZZ_CHECK(expected.decodes, "the reference decoding also succeeds");
  HelperMessage comparable = expected.message;
  if (expected.approximateVersion) {
    const double approximate = *expected.approximateVersion;
    HARLO_FUZZ_CHECK(std::trunc(approximate) == approximate,
                     "an accepted fractional version is an integer");
    HARLO_FUZZ_CHECK(static_cast<double>(message.version) == approximate,
                     "an accepted fractional version is the number written");
    comparable.version = message.version;
  }
  if (expected.idUnknown) comparable.id = message.id;
  HARLO_FUZZ_CHECK(message == comparable, "the decoded record matches the reference");

  const std::string encoded = encodeHelperMessage(message);
  checkEncodedLine(encoded);
  const auto again = decodeHelperMessage(encoded);
  HARLO_FUZZ_CHECK(again.ok(), "an encoded record decodes");
  HARLO_FUZZ_CHECK(again.value() == message, "encoding then decoding gives the same record");
}

void checkFailure(const DecodeError& error, const Expected& expected) {
  HARLO_FUZZ_CHECK(!expected.decodes || expected.approximateVersion,
                   "the reference decoding also fails");
  if (expected.decodes) {
    // Only a version written with a fraction or an exponent may be refused
    // where the reference's double looked fine: the double may have rounded.
    // Lone numbers are checked exactly by checkNumberToken.
    HARLO_FUZZ_CHECK(error.category == Category::dataCorrupted && error.key == "version",
                     "a refused fractional version is reported as data corrupted");
  } else {
    HARLO_FUZZ_CHECK(error.category == expected.category, "the failing category matches");
    HARLO_FUZZ_CHECK(error.key == expected.key, "the failing key matches");
  }

  const std::string description = error.description();
  HARLO_FUZZ_CHECK(!description.empty(), "a failure has a description");
  HARLO_FUZZ_CHECK(referenceIsValidUTF8(description), "a description is valid UTF-8");
  HARLO_FUZZ_CHECK(!hasControlByte(description), "a description is one line of text");
  HARLO_FUZZ_CHECK(description.size() <= maxDescriptionBytes, "a description stays short");
  if (error.key) {
    HARLO_FUZZ_CHECK(description.find('"' + *error.key + '"') != std::string::npos,
                     "a description names its key");
  }
}

// The input as the texts of a record to write: encoding cannot fail, and what
// it writes reads back as the texts made valid.
void checkEncodingOfRawTexts(std::string_view bytes) {
  std::int64_t version = 0;
  if (!bytes.empty()) std::memcpy(&version, bytes.data(), std::min(bytes.size(), sizeof version));
  const std::string_view head = bytes.substr(0, bytes.size() / 2);
  const std::string_view tail = bytes.substr(bytes.size() / 2);
  const HelperMessage raw{.kind = std::string(bytes),
                          .detail = std::string(head),
                          .payload = std::string(tail),
                          .version = version};
  const std::string encoded = encodeHelperMessage(raw);
  checkEncodedLine(encoded);
  const auto decoded = decodeHelperMessage(encoded);
  HARLO_FUZZ_CHECK(decoded.ok(), "any record's encoding decodes");
  const HelperMessage repaired{.kind = referenceRepairUTF8(bytes),
                               .detail = referenceRepairUTF8(head),
                               .payload = referenceRepairUTF8(tail),
                               .version = version};
  HARLO_FUZZ_CHECK(decoded.value() == repaired,
                   "any record reads back with its texts made valid UTF-8");
}

// `token` (one number in JSON's grammar) read exactly by decimal text
// alone: the digits are normalised to an integer text, which from_chars
// either reads in range or refuses.
JSONIntegerReading referenceReadInteger(std::string_view token) {
  using Status = JSONIntegerReading::Status;
  const bool negative = !token.empty() && token.front() == '-';
  if (negative) token.remove_prefix(1);
  const std::size_t mantissaEnd = std::min(token.find_first_of("eE"), token.size());
  std::string_view mantissa = token.substr(0, mantissaEnd);
  std::string digits(mantissa.substr(0, mantissa.find('.')));
  std::int64_t exponent = 0;
  if (const std::size_t point = mantissa.find('.'); point != std::string_view::npos) {
    const std::string_view fraction = mantissa.substr(point + 1);
    digits += fraction;
    exponent -= static_cast<std::int64_t>(fraction.size());
  }
  if (mantissaEnd < token.size()) {
    std::string_view written = token.substr(mantissaEnd + 1);
    const bool negativeExponent = !written.empty() && written.front() == '-';
    if (!written.empty() && (written.front() == '-' || written.front() == '+')) {
      written.remove_prefix(1);
    }
    // Any exponent past 10^15 decides the same way as 10^15 for inputs of
    // any length a fuzzer can give.
    std::int64_t magnitude = 0;
    const auto read = std::from_chars(written.data(), written.data() + written.size(), magnitude);
    if (read.ec == std::errc::result_out_of_range || magnitude > 1'000'000'000'000'000) {
      magnitude = 1'000'000'000'000'000;
    }
    exponent += negativeExponent ? -magnitude : magnitude;
  }

  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) return {Status::integer, 0};
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (exponent < 0) return {Status::notInteger};
  if (static_cast<std::int64_t>(digits.size()) + exponent > 20) return {Status::outOfRange};
  const std::string text = (negative ? "-" : "") + digits + std::string(exponent, '0');
  std::int64_t value = 0;
  const auto read = std::from_chars(text.data(), text.data() + text.size(), value);
  if (read.ec == std::errc::result_out_of_range) return {Status::outOfRange};
  HARLO_FUZZ_CHECK(read.ec == std::errc() && read.ptr == text.data() + text.size(),
                   "the reference reads its own integer text");
  return {Status::integer, value};
}

// When the whole input is one JSON number, it is read exactly as a version:
// as the token itself, and inside a record.
void checkNumberToken(std::string_view line) {
  const Json document = parseStrict(line);
  if (document.is_discarded() || !document.is_number()) return;
  constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
  if (line.starts_with(byteOrderMark)) line.remove_prefix(byteOrderMark.size());
  constexpr std::string_view whitespace = " \t\r\n";
  line.remove_prefix(std::min(line.find_first_not_of(whitespace), line.size()));
  line = line.substr(0, line.find_last_not_of(whitespace) + 1);

  const JSONIntegerReading expected = referenceReadInteger(line);
  const JSONIntegerReading actual = readJSONInteger(line);
  HARLO_FUZZ_CHECK(actual.status == expected.status, "a number is classified exactly");
  if (expected.status == JSONIntegerReading::Status::integer) {
    HARLO_FUZZ_CHECK(actual.value == expected.value, "an integral number is read exactly");
  }

  const auto decoded =
      decodeHelperMessage("{\"kind\":\"k\",\"version\":" + std::string(line) + "}");
  if (expected.status == JSONIntegerReading::Status::integer) {
    HARLO_FUZZ_CHECK(decoded.ok() && decoded.value().version == expected.value,
                     "an integral version is accepted as written");
  } else {
    HARLO_FUZZ_CHECK(!decoded.ok() && decoded.error().category == Category::dataCorrupted &&
                         decoded.error().key == "version",
                     "a version that is no 64-bit integer is data corrupted");
  }
}

}  // namespace
}  // namespace harlo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace harlo;
  using namespace harlo::fuzz;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const Expected expected = referenceDecode(line);
  const auto decoded = decodeHelperMessage(line);
  if (decoded.ok()) {
    checkDecoded(decoded.value(), expected);
  } else {
    checkFailure(decoded.error(), expected);
  }
  checkNumberToken(line);
  checkEncodingOfRawTexts(line);
  return 0;
}
