#include "text/general_members.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

namespace harlo {
namespace {

constexpr std::size_t maxNumberTextBytes = 40;

// The number as written, limited in length and reduced to ASCII: the parser
// may have put a locale's decimal point in place of '.', which is put back.
std::string numberTextOf(std::string_view raw) {
  std::string text;
  for (const char c : raw.substr(0, maxNumberTextBytes)) {
    const bool plain = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' || c == 'E';
    text += plain ? c : '.';
  }
  if (raw.size() > maxNumberTextBytes) text += "...";
  return text;
}

// SAX handler for nlohmann::json::sax_parse. It keeps a depth counter instead
// of a stack, so no input can make it recurse; a value is reported only when
// it is the value of a member of the top-level object.
class MemberCapture final {
 public:
  using Json = nlohmann::json;

  explicit MemberCapture(MemberSink& sink) : sink_(sink) {}

  bool topLevelIsObject() const { return topLevelIsObject_; }
  const std::optional<ScanFailure>& failure() const { return failure_; }

  bool null() { return other(JSONType::null); }
  bool boolean(bool) { return other(JSONType::boolean); }

  bool number_integer(Json::number_integer_t value) {
    if (atMember()) sink_.number(member(), {JSONIntegerReading::Status::integer, value}, {});
    return true;
  }

  bool number_unsigned(Json::number_unsigned_t value) {
    if (!atMember()) return true;
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      sink_.number(member(),
                   {JSONIntegerReading::Status::integer, static_cast<std::int64_t>(value)}, {});
    } else {
      sink_.number(member(), {JSONIntegerReading::Status::outOfRange}, std::to_string(value));
    }
    return true;
  }

  // The double is not used: the written text is read exactly instead.
  bool number_float(Json::number_float_t, const Json::string_t& raw) {
    if (!atMember()) return true;
    const JSONIntegerReading integer = readJSONInteger(raw);
    if (integer.status == JSONIntegerReading::Status::integer) {
      sink_.number(member(), integer, {});
    } else {
      sink_.number(member(), integer, numberTextOf(raw));
    }
    return true;
  }

  bool string(Json::string_t& value) {
    if (!atMember()) return true;
    if (std::string* target = sink_.text(member())) *target = std::move(value);
    return true;
  }

  // Never produced when parsing JSON text; required by the interface.
  bool binary(Json::binary_t&) { return true; }

  bool start_object(std::size_t) {
    if (depth_ == 0) topLevelIsObject_ = true;
    other(JSONType::object);
    ++depth_;
    return true;
  }

  bool start_array(std::size_t) {
    other(JSONType::array);
    ++depth_;
    return true;
  }

  bool end_object() { return leave(); }
  bool end_array() { return leave(); }

  bool key(Json::string_t& name) {
    if (depth_ != 1 || !topLevelIsObject_) return true;
    // The lexer's buffer is reused for the next token: the two swap.
    std::swap(key_, name);
    keyPending_ = true;
    return true;
  }

  // The exception's text quotes raw input bytes, so only its id is used.
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    constexpr int numberOverflowId = 406;
    failure_ = ScanFailure{error.id == numberOverflowId ? ScanFailure::Reason::numberOutOfRange
                                                        : ScanFailure::Reason::syntaxError,
                           position};
    return false;
  }

 private:
  // True when the value now starting is a member of the top-level object.
  bool atMember() const { return depth_ == 1 && keyPending_; }

  // The key of that member; its value is then reported.
  std::string_view member() {
    keyPending_ = false;
    return key_;
  }

  bool other(JSONType type) {
    if (atMember()) sink_.other(member(), type);
    return true;
  }

  bool leave() {
    --depth_;
    return true;
  }

  MemberSink& sink_;
  std::size_t depth_ = 0;  // containers open around the next token
  bool topLevelIsObject_ = false;
  std::string key_;          // the last key read at depth 1
  bool keyPending_ = false;  // key_ names the value now starting
  std::optional<ScanFailure> failure_;
};

}  // namespace

Result<void, ScanFailure> parseTopLevelMembers(std::string_view json, MemberSink& sink) {
  MemberCapture capture(sink);
  const bool parsed =
      nlohmann::json::sax_parse(json.data(), json.data() + json.size(), &capture,
                                nlohmann::json::input_format_t::json, /*strict=*/true,
                                /*ignore_comments=*/false);
  // Only parse_error stops the parser, and it always records why.
  if (!parsed) {
    return fail(
        capture.failure().value_or(ScanFailure{ScanFailure::Reason::syntaxError, json.size()}));
  }
  // nlohmann's lexer takes a NUL byte for the end of the input, so a parse
  // that succeeded may have stopped at one and skipped whatever follows it. A
  // raw NUL is never part of a JSON text: such a text does not parse.
  if (const std::size_t nul = json.find('\0'); nul != std::string_view::npos) {
    return fail(ScanFailure{ScanFailure::Reason::syntaxError, nul + 1});
  }
  if (!capture.topLevelIsObject()) return fail(ScanFailure{ScanFailure::Reason::notAnObject});
  return {};
}

}  // namespace harlo
