#include "protocol/helper_message_json.h"

#include <array>
#include <charconv>
#include <utility>

#include "text/json_string.h"
#include "text/top_level_members.h"

namespace harlo {
namespace {

using Category = DecodeError::Category;

// Texts longer than this are measured before a line is built.
constexpr std::size_t measuredTextBytes = 64 * 1024;

// The optional texts in the order they are written, as the view the encoder
// reads holds them.
struct TextField {
  std::string_view key;
  std::optional<std::string_view> HelperMessageView::*view;
};
constexpr std::array<TextField, 4> optionalTextFields = {{
    {"event", &HelperMessageView::event},
    {"detail", &HelperMessageView::detail},
    {"payload", &HelperMessageView::payload},
    {"command", &HelperMessageView::command},
}};

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

// The members a record is read from, in the order they are checked, and
// their keys: MessageSlots::found[member::event] is what a reading found for
// the member named memberKeys[member::event].
namespace member {
enum : std::size_t { kind, event, detail, payload, command, id, version, count };
}  // namespace member
constexpr std::array<std::string_view, member::count> memberKeys = {
    "kind", "event", "detail", "payload", "command", "id", "version"};

// The member named `key`, or member::count when a record has none.
std::size_t memberOf(std::string_view key) {
  for (std::size_t m = 0; m < member::count; ++m) {
    // The first byte settles most mismatches without a call to compare.
    const std::string_view name = memberKeys[m];
    if (name.size() == key.size() && name[0] == key[0] && name == key) return m;
  }
  return member::count;
}

// What one reading of a line found for each member of a record. Texts are
// read straight into `record`; `found` holds the JSON type of each member's
// last occurrence, or nothing when the line lacks it; a number for "version"
// is kept as read. Whether all this makes a valid record is for recordFrom()
// alone to decide.
class MessageSlots final : public MemberSink {
 public:
  std::string* text(std::string_view key) override {
    const std::size_t m = memberOf(key);
    if (m == member::count) return nullptr;
    found[m] = JSONType::string;
    if (m == member::kind) return &record.kind;
    if (std::optional<std::string>* field = optionalText(m)) return &field->emplace();
    if (m == member::id) return &record.id.emplace().emplace<std::string>();
    return nullptr;  // a string version is only a type mismatch
  }

  void number(std::string_view key, JSONIntegerReading integer, std::string_view written) override {
    const std::size_t m = memberOf(key);
    if (m == member::count) return;
    found[m] = JSONType::number;
    if (m == member::version) {
      version = integer;
      versionText = written;
    }
    if (m == member::id) {
      // An id that is no 64-bit integer is no id at all.
      if (integer.status == JSONIntegerReading::Status::integer) {
        record.id = integer.value;
      } else {
        record.id.reset();
      }
    }
    dropText(m);
  }

  void other(std::string_view key, JSONType type) override {
    const std::size_t m = memberOf(key);
    if (m == member::count) return;
    found[m] = type;
    dropText(m);
  }

  void clear() override {
    record = HelperMessage{};
    found = {};
    version = {};
    versionText.clear();
  }

  HelperMessage record;
  std::array<std::optional<JSONType>, member::count> found{};
  JSONIntegerReading version{};
  std::string versionText;  // the version as written, when it is no 64-bit integer

 private:
  // The record's field for an optional text member; null for kind and version.
  std::optional<std::string>* optionalText(std::size_t m) {
    switch (m) {
      case member::event:
        return &record.event;
      case member::detail:
        return &record.detail;
      case member::payload:
        return &record.payload;
      case member::command:
        return &record.command;
    }
    return nullptr;
  }

  // A member that is no string leaves no text behind: null means absent, and
  // any other type fails the record anyway (or, for an id, is none).
  void dropText(std::size_t m) {
    if (std::optional<std::string>* field = optionalText(m)) field->reset();
    if (m == member::id && found[m] != JSONType::number) record.id.reset();
  }
};

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
std::optional<DecodeError> checkRequired(std::optional<JSONType> found, std::string_view key,
                                         JSONType type, std::string_view expected) {
  if (!found) return keyError(Category::keyNotFound, key, "no value for this key");
  if (*found == JSONType::null) {
    return keyError(Category::valueNotFound, key, expectedFound(expected, JSONType::null));
  }
  if (*found != type) return keyError(Category::typeMismatch, key, expectedFound(expected, *found));
  return std::nullopt;
}

Result<std::int64_t, DecodeError> decodeVersion(const MessageSlots& slots) {
  constexpr std::string_view key = memberKeys[member::version];
  if (auto error =
          checkRequired(slots.found[member::version], key, JSONType::number, "a 64-bit integer")) {
    return fail(std::move(*error));
  }
  switch (slots.version.status) {
    case JSONIntegerReading::Status::integer:
      return slots.version.value;
    case JSONIntegerReading::Status::notInteger:
      return fail(keyError(Category::dataCorrupted, key, slots.versionText + " is not an integer"));
    case JSONIntegerReading::Status::outOfRange:
      break;
  }
  return fail(keyError(Category::dataCorrupted, key,
                       slots.versionText + " is outside the signed 64-bit range"));
}

// The error of the first member of a reading's slots that fails its check,
// in the order kind, event, detail, payload, command, version; nothing when
// they make a record, whose version is then set.
std::optional<DecodeError> checkRecord(MessageSlots& slots) {
  if (auto error = checkRequired(slots.found[member::kind], memberKeys[member::kind],
                                 JSONType::string, "a string")) {
    return error;
  }
  for (std::size_t m = member::event; m <= member::command; ++m) {
    const std::optional<JSONType> found = slots.found[m];
    if (found && *found != JSONType::null && *found != JSONType::string) {
      return keyError(Category::typeMismatch, memberKeys[m],
                      expectedFound("a string or null", *found));
    }
  }
  auto version = decodeVersion(slots);
  if (!version) return std::move(version.error());
  slots.record.version = version.value();
  return std::nullopt;
}

// The record a reading's slots hold, moved out of them, or the error of its
// first failing member, which carries the record's id.
Result<HelperMessage, DecodeError> recordFrom(MessageSlots& slots) {
  if (std::optional<DecodeError> error = checkRecord(slots)) {
    error->id = std::move(slots.record.id);
    return fail(std::move(*error));
  }
  return std::move(slots.record);
}

void appendInteger(std::string& out, std::int64_t number) {
  std::array<char, 24> digits{};
  const auto converted = std::to_chars(digits.data(), digits.data() + digits.size(), number);
  out.append(digits.data(), converted.ptr);
}

}  // namespace

HelperMessageView HelperMessageView::of(const HelperMessage& message) {
  return HelperMessageView{.kind = message.kind,
                           .event = viewOf(message.event),
                           .detail = viewOf(message.detail),
                           .payload = viewOf(message.payload),
                           .command = viewOf(message.command),
                           .id = message.id ? &*message.id : nullptr,
                           .version = message.version};
}

void appendHelperMessageJSON(std::string& out, const HelperMessageView& message) {
  // Room for the texts, keys and punctuation when nothing needs escaping; a
  // long text is measured, as its escapes could make it grow several times.
  std::size_t estimate = 80 + message.kind.size();
  for (const TextField& text : optionalTextFields) {
    const auto& value = message.*text.view;
    if (!value) continue;
    estimate += (value->size() > measuredTextBytes ? jsonStringLength(*value) : value->size()) + 16;
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
  if (message.id != nullptr) {
    out += ",\"id\":";
    if (const auto* text = std::get_if<std::string>(message.id)) {
      appendJSONString(out, *text);
    } else {
      appendInteger(out, std::get<std::int64_t>(*message.id));
    }
  }
  out += ",\"version\":";
  appendInteger(out, message.version);
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
  // One reading fills the slots, whichever reader takes the line; every
  // error about a member is worded from the slots alone.
  MessageSlots slots;
  if (auto read = scanTopLevelMembers(json, slots); !read) return fail(textError(read.error()));
  return recordFrom(slots);
}

}  // namespace harlo
