#include "protocol/helper_message_json.h"

#include <array>
#include <charconv>
#include <span>
#include <utility>

#include "text/flat_object_scan.h"
#include "text/json_string.h"
#include "text/top_level_members.h"

namespace harlo {
namespace {

using Category = DecodeError::Category;

// The optional text fields in the order they are written and checked, as
// members of the record and of the view the encoder reads.
struct TextField {
  std::string_view key;
  std::optional<std::string> HelperMessage::*field;
  std::optional<std::string_view> HelperMessageView::*view;
};
constexpr std::array<TextField, 4> optionalTextFields = {{
    {"event", &HelperMessage::event, &HelperMessageView::event},
    {"detail", &HelperMessage::detail, &HelperMessageView::detail},
    {"payload", &HelperMessage::payload, &HelperMessageView::payload},
    {"command", &HelperMessage::command, &HelperMessageView::command},
}};

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

// The members the decoder keeps; the slots of a scan follow this order.
constexpr std::array<std::string_view, 6> memberNames = {"kind",    "event",   "detail",
                                                         "payload", "command", "version"};
constexpr std::size_t kindSlot = 0;
constexpr std::size_t firstTextSlot = 1;
constexpr std::size_t versionSlot = 5;
static_assert([] {
  for (std::size_t i = 0; i < optionalTextFields.size(); ++i) {
    if (memberNames[firstTextSlot + i] != optionalTextFields[i].key) return false;
  }
  return memberNames[kindSlot] == "kind" && memberNames[versionSlot] == "version";
}());

std::string_view describeType(JSONType type) {
  switch (type) {
    case JSONType::null:
      return "null";
    case JSONType::boolean:
      return "a boolean";
    case JSONType::number:
      return "a number";
    case JSONType::string:
      return "a string";
    case JSONType::array:
      return "an array";
    case JSONType::object:
      return "an object";
  }
  return "an unknown value";
}

std::string_view describeCategory(Category category) {
  switch (category) {
    case Category::dataCorrupted:
      return "data corrupted";
    case Category::typeMismatch:
      return "type mismatch";
    case Category::keyNotFound:
      return "key not found";
    case Category::valueNotFound:
      return "value not found";
  }
  return "decoding failed";
}

DecodeError keyError(Category category, std::string_view key, std::string reason) {
  return DecodeError{category, std::string(key), std::move(reason)};
}

std::string expectedFound(std::string_view expected, JSONType found) {
  std::string reason = "expected ";
  reason += expected;
  reason += ", found ";
  reason += describeType(found);
  return reason;
}

DecodeError textError(ScanFailure failure) {
  switch (failure.reason) {
    case ScanFailure::Reason::notAnObject:
      return DecodeError{Category::dataCorrupted, std::nullopt, "the text is not a JSON object"};
    case ScanFailure::Reason::numberOutOfRange:
      return DecodeError{Category::dataCorrupted, std::nullopt,
                         "the text holds a number too large to read (at byte " +
                             std::to_string(failure.byte) + ")"};
    case ScanFailure::Reason::syntaxError:
      break;
  }
  return DecodeError{
      Category::dataCorrupted, std::nullopt,
      "the text is not valid JSON (syntax error at byte " + std::to_string(failure.byte) + ")"};
}

// The checks that the two required members share: present, not null, and of
// the JSON type `type`, described as `expected`.
std::optional<DecodeError> checkRequired(const std::optional<MemberValue>& member,
                                         std::string_view key, JSONType type,
                                         std::string_view expected) {
  if (!member) return keyError(Category::keyNotFound, key, "no value for this key");
  if (member->type == JSONType::null) {
    return keyError(Category::valueNotFound, key, expectedFound(expected, JSONType::null));
  }
  if (member->type != type) {
    return keyError(Category::typeMismatch, key, expectedFound(expected, member->type));
  }
  return std::nullopt;
}

Result<std::int64_t, DecodeError> decodeVersion(const std::optional<MemberValue>& member) {
  constexpr std::string_view key = "version";
  if (auto error = checkRequired(member, key, JSONType::number, "a 64-bit integer")) {
    return fail(std::move(*error));
  }
  switch (member->integer.status) {
    case JSONIntegerReading::Status::integer:
      return member->integer.value;
    case JSONIntegerReading::Status::notInteger:
      return fail(
          keyError(Category::dataCorrupted, key, member->numberText + " is not an integer"));
    case JSONIntegerReading::Status::outOfRange:
      break;
  }
  return fail(keyError(Category::dataCorrupted, key,
                       member->numberText + " is outside the signed 64-bit range"));
}

// Reads a flat line straight into a record. It keeps, for each member the
// record has, the type its last occurrence had, so that a line it cannot
// finish as a valid record (a missing or mistyped member) goes to the general
// decoder, which alone words errors.
class MessageSink final : public FlatMemberSink {
 public:
  explicit MessageSink(HelperMessage& message) : message_(message) {}

  std::string* text(std::string_view key) override {
    const std::size_t index = indexOfName(memberNames, key);
    if (index == memberNames.size()) return nullptr;
    seen_[index] = JSONType::string;
    if (index == kindSlot) return &message_.kind;
    if (index == versionSlot) return nullptr;
    return &(message_.*optionalTextFields[index - firstTextSlot].field).emplace();
  }

  void scalar(std::string_view key, JSONType type, std::int64_t integer) override {
    const std::size_t index = indexOfName(memberNames, key);
    if (index == memberNames.size()) return;
    seen_[index] = type;
    if (index == versionSlot) {
      message_.version = integer;
    } else if (index != kindSlot) {
      (message_.*optionalTextFields[index - firstTextSlot].field).reset();
    }
  }

  // True when every member ended up as a valid record needs it.
  bool complete() const {
    for (std::size_t i = firstTextSlot; i < versionSlot; ++i) {
      if (seen_[i] && *seen_[i] != JSONType::string && *seen_[i] != JSONType::null) return false;
    }
    return seen_[kindSlot] == JSONType::string && seen_[versionSlot] == JSONType::number;
  }

 private:
  HelperMessage& message_;
  std::array<std::optional<JSONType>, memberNames.size()> seen_{};
};

std::optional<HelperMessage> decodeFlatMessage(std::string_view json) {
  HelperMessage message;
  MessageSink sink(message);
  if (!scanFlatObject(json, sink) || !sink.complete()) return std::nullopt;
  return message;
}

}  // namespace

HelperMessageView HelperMessageView::of(const HelperMessage& message) {
  return HelperMessageView{.kind = message.kind,
                           .event = viewOf(message.event),
                           .detail = viewOf(message.detail),
                           .payload = viewOf(message.payload),
                           .command = viewOf(message.command),
                           .version = message.version};
}

void appendHelperMessageJSON(std::string& out, const HelperMessageView& message) {
  // Room for the texts, keys and punctuation when nothing needs escaping.
  std::size_t estimate = 80 + message.kind.size();
  for (const TextField& text : optionalTextFields) {
    if (const auto& value = message.*text.view) estimate += value->size() + 16;
  }
  out.reserve(out.size() + estimate);
  out += "{\"kind\":";
  appendJSONString(out, message.kind);
  for (const TextField& text : optionalTextFields) {
    const std::optional<std::string_view>& value = message.*text.view;
    if (!value) continue;
    out += ",\"";
    out += text.key;
    out += "\":";
    appendJSONString(out, *value);
  }
  out += ",\"version\":";
  std::array<char, 24> digits{};
  const auto converted =
      std::to_chars(digits.data(), digits.data() + digits.size(), message.version);
  out.append(digits.data(), converted.ptr);
  out += '}';
}

void appendHelperMessageJSON(std::string& out, const HelperMessage& message) {
  appendHelperMessageJSON(out, HelperMessageView::of(message));
}

std::string encodeHelperMessage(const HelperMessage& message) {
  std::string out;
  appendHelperMessageJSON(out, message);
  return out;
}

std::string DecodeError::description() const {
  std::string text(describeCategory(category));
  if (key) {
    text += ": \"";
    text += *key;
    text += '"';
  }
  text += ": ";
  text += reason;
  return text;
}

Result<HelperMessage, DecodeError> decodeHelperMessage(std::string_view json) {
  if (auto message = decodeFlatMessage(json)) return std::move(*message);

  auto scanned = scanTopLevelMembers(json, memberNames);
  if (!scanned) return fail(textError(scanned.error()));
  std::vector<std::optional<MemberValue>>& members = scanned.value();

  HelperMessage message;
  std::optional<MemberValue>& kind = members[kindSlot];
  if (auto error = checkRequired(kind, "kind", JSONType::string, "a string")) {
    return fail(std::move(*error));
  }
  message.kind = std::move(kind->text);

  for (std::size_t i = 0; i < optionalTextFields.size(); ++i) {
    std::optional<MemberValue>& member = members[firstTextSlot + i];
    if (!member || member->type == JSONType::null) continue;
    if (member->type != JSONType::string) {
      return fail(keyError(Category::typeMismatch, optionalTextFields[i].key,
                           expectedFound("a string or null", member->type)));
    }
    message.*optionalTextFields[i].field = std::move(member->text);
  }

  auto version = decodeVersion(members[versionSlot]);
  if (!version) return fail(version.error());
  message.version = version.value();
  return message;
}

}  // namespace harlo
