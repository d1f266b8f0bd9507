#include "text/top_level_members.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "text/flat_object_scan.h"

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
// of a stack, so no input can make it recurse; a value is kept only when it
// is the value of a chosen member of the top-level object.
class MemberCapture final {
 public:
  using Json = nlohmann::json;

  MemberCapture(std::span<const std::string_view> names,
                std::vector<std::optional<MemberValue>>& slots)
      : names_(names), slots_(slots) {}

  bool topLevelIsObject() const { return topLevelIsObject_; }
  const std::optional<ScanFailure>& failure() const { return failure_; }

  bool null() { return scalar(JSONType::null); }
  bool boolean(bool) { return scalar(JSONType::boolean); }

  bool number_integer(Json::number_integer_t value) {
    if (MemberValue* slot = take(JSONType::number)) {
      slot->integer = {JSONIntegerReading::Status::integer, value};
    }
    return true;
  }

  bool number_unsigned(Json::number_unsigned_t value) {
    if (MemberValue* slot = take(JSONType::number)) {
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        slot->integer = {JSONIntegerReading::Status::integer, static_cast<std::int64_t>(value)};
      } else {
        slot->integer = {JSONIntegerReading::Status::outOfRange};
        slot->numberText = std::to_string(value);
      }
    }
    return true;
  }

  // The double is not used: the written text is read exactly instead.
  bool number_float(Json::number_float_t, const Json::string_t& raw) {
    if (MemberValue* slot = take(JSONType::number)) {
      slot->integer = readJSONInteger(raw);
      if (slot->integer.status != JSONIntegerReading::Status::integer) {
        slot->numberText = numberTextOf(raw);
      }
    }
    return true;
  }

  bool string(Json::string_t& value) {
    if (MemberValue* slot = take(JSONType::string)) slot->text = std::move(value);
    return true;
  }

  // Never produced when parsing JSON text; required by the interface.
  bool binary(Json::binary_t&) { return true; }

  bool start_object(std::size_t) {
    if (depth_ == 0) topLevelIsObject_ = true;
    take(JSONType::object);
    ++depth_;
    return true;
  }

  bool start_array(std::size_t) {
    take(JSONType::array);
    ++depth_;
    return true;
  }

  bool end_object() { return leave(); }
  bool end_array() { return leave(); }

  bool key(Json::string_t& name) {
    current_ = noSlot;
    if (depth_ != 1 || !topLevelIsObject_) return true;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == name) {
        current_ = i;
        break;
      }
    }
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
  bool scalar(JSONType type) {
    take(type);
    return true;
  }

  bool leave() {
    --depth_;
    return true;
  }

  // The slot that the value now starting belongs to, reset and typed, or
  // null when the value is not kept.
  MemberValue* take(JSONType type) {
    if (depth_ != 1 || current_ == noSlot) return nullptr;
    std::optional<MemberValue>& slot = slots_[current_];
    current_ = noSlot;
    slot.emplace();
    slot->type = type;
    return &*slot;
  }

  std::span<const std::string_view> names_;
  std::vector<std::optional<MemberValue>>& slots_;
  std::size_t depth_ = 0;  // containers open around the next token
  bool topLevelIsObject_ = false;
  static constexpr std::size_t noSlot = static_cast<std::size_t>(-1);
  std::size_t current_ = noSlot;  // slot named by the key just read at depth 1, if any
  std::optional<ScanFailure> failure_;
};

}  // namespace

Result<std::vector<std::optional<MemberValue>>, ScanFailure> scanTopLevelMembers(
    std::string_view json, std::span<const std::string_view> names) {
  std::vector<std::optional<MemberValue>> slots(names.size());
  if (scanFlatTopLevelMembers(json, names, slots)) return slots;
  std::fill(slots.begin(), slots.end(), std::nullopt);
  MemberCapture capture(names, slots);
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
  return slots;
}

}  // namespace harlo
