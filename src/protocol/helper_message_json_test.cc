#include "protocol/helper_message_json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "text/utf8.h"

namespace harlo {

// Readable failure output, absent fields shown as such.
void PrintTo(const HelperMessage& message, std::ostream* os) {
  const auto field = [&](const char* name, const std::optional<std::string>& value) {
    *os << ' ' << name << '=' << (value ? testing::PrintToString(*value) : "<absent>");
  };
  *os << "{kind=" << testing::PrintToString(message.kind);
  field("event", message.event);
  field("detail", message.detail);
  field("payload", message.payload);
  field("command", message.command);
  *os << " version=" << message.version << '}';
}

namespace {

using Category = DecodeError::Category;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

const HelperMessage ping{.kind = "command", .command = "ping", .version = 1};

struct DecodeCase {
  const char* name;
  std::string json;
  HelperMessage expected;
};

// Each line decodes to exactly the expected record.
TEST(HelperMessageJSON, DecodesTable) {
  const DecodeCase cases[] = {
      {"ping", R"({"kind":"command","command":"ping","version":1})", ping},
      {"keys in any order", R"({"version":1,"command":"ping","kind":"command"})", ping},
      {"null is absent",
       R"({"kind":"protocol","payload":null,"version":1})",
       {.kind = "protocol", .version = 1}},
      {"unknown key ignored",
       R"({"kind":"command","version":1,"type":"hello"})",
       {.kind = "command", .version = 1}},
      {"empty kind, negative version", R"({"kind":"","version":-7})", {.kind = "", .version = -7}},
      {"empty detail is present",
       R"({"kind":"event","detail":"","version":1})",
       {.kind = "event", .detail = "", .version = 1}},
      {"every field",
       R"({"kind":"k","event":"e","detail":"d","payload":"p","command":"c","version":0})",
       {.kind = "k", .event = "e", .detail = "d", .payload = "p", .command = "c", .version = 0}},
      {"escapes",
       R"({"kind":"a\/b\u00e9\ud83d\ude00\n\"\\\u0000","version":1})",
       {.kind = std::string("a/b\xC3\xA9\xF0\x9F\x98\x80\n\"\\\0", 13), .version = 1}},
      {"whitespace and CR around",
       " \t{ \"kind\" : \"k\" ,\n\"version\" : 1 }\r",
       {.kind = "k", .version = 1}},
      {"byte-order mark skipped",
       "\xEF\xBB\xBF{\"kind\":\"k\",\"version\":1}",
       {.kind = "k", .version = 1}},
      {"nested keys do not count",
       R"({"x":{"kind":1,"version":"s"},"kind":"k","y":[{"version":null}],"version":2})",
       {.kind = "k", .version = 2}},
      {"nested keys after the top-level ones",
       R"({"kind":"k","version":2,"x":{"kind":1,"version":"s"}})",
       {.kind = "k", .version = 2}},
      {"repeated key, last wins",
       R"({"kind":"a","kind":"b","version":1})",
       {.kind = "b", .version = 1}},
      {"repeated key replaces a bad value",
       R"({"kind":5,"version":"x","kind":"k","version":3})",
       {.kind = "k", .version = 3}},
      {"repeated key, last null wins",
       R"({"kind":"k","command":"ping","command":null,"version":1})",
       {.kind = "k", .version = 1}},
      {"string id",
       R"({"kind":"k","id":"a\/1","version":1})",
       {.kind = "k", .id = RequestId("a/1"), .version = 1}},
      {"integer id",
       R"({"kind":"k","id":-42,"version":1})",
       {.kind = "k", .id = RequestId(std::int64_t{-42}), .version = 1}},
      {"an id of another kind is none",
       R"({"kind":"k","id":1.5,"id":true,"version":1})",
       {.kind = "k", .version = 1}},
      {"an id too large is none",
       R"({"kind":"k","id":"x","id":9223372036854775808,"version":1})",
       {.kind = "k", .version = 1}},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decodeHelperMessage(c.json);
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    EXPECT_EQ(decoded.value(), c.expected);
  }
}

// Numbers for "version": integers in the signed 64-bit range are read exactly,
// whatever their form; anything else is data corrupted.
TEST(HelperMessageJSON, VersionNumbersTable) {
  const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
      {"0", 0},
      {"-0.0", 0},
      {"1.0", 1},
      {"1e0", 1},
      {"100e-2", 1},
      {"2.50E+1", 25},
      {"9223372036854775807", int64Max},
      {"-9223372036854775808", int64Min},
      {"9223372036854775807.0", int64Max},
      {"-92233720368547758.08e2", int64Min},
      {"9007199254740993.0", 9007199254740993},  // not representable as a double
      {"1.5", std::nullopt},
      {"1e-400", std::nullopt},
      {"1e19", std::nullopt},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"9223372036854775808.0", std::nullopt},
      {"18446744073709551616", std::nullopt},
  };
  for (const auto& [number, expected] : cases) {
    SCOPED_TRACE(number);
    auto decoded = decodeHelperMessage(R"({"kind":"k","version":)" + number + "}");
    if (expected) {
      ASSERT_TRUE(decoded.ok()) << decoded.error().description();
      EXPECT_EQ(decoded.value().version, *expected);
    } else {
      ASSERT_FALSE(decoded.ok());
      EXPECT_EQ(decoded.error().category, Category::dataCorrupted);
      EXPECT_EQ(decoded.error().key, "version");
    }
  }
}

struct FailureCase {
  std::string json;
  Category category;
  std::optional<std::string> key;
};

// Each line fails with the category and key of the first failing check.
TEST(HelperMessageJSON, DecodeFailuresTable) {
  const std::optional<std::string> none;
  const FailureCase cases[] = {
      {R"({"Kind":"command","Version":1})", Category::keyNotFound, "kind"},
      {R"({"version":1})", Category::keyNotFound, "kind"},
      {R"({"x":{"kind":"k"},"version":1})", Category::keyNotFound, "kind"},
      {R"([{"kind":"k","version":1}])", Category::dataCorrupted, none},
      {R"({"kind":["k"],"version":1})", Category::typeMismatch, "kind"},
      {R"({"kind":"k","version":null})", Category::valueNotFound, "version"},
      {R"({"kind":"k","version":true})", Category::typeMismatch, "version"},
      {R"({"kind":"k","version":[1]})", Category::typeMismatch, "version"},
      {R"({"kind":"k","version":{"v":1}})", Category::typeMismatch, "version"},
      // Checks run in field order: the first failing field is reported.
      {R"({"kind":1,"version":"x"})", Category::typeMismatch, "kind"},
      {R"({"kind":"k","detail":2,"event":1,"version":1})", Category::typeMismatch, "event"},
      {R"({"kind":"k","detail":false})", Category::typeMismatch, "detail"},
      {R"({"kind":"k","payload":{},"version":1})", Category::typeMismatch, "payload"},
      {R"({"kind":"k","command":7,"version":1.5})", Category::typeMismatch, "command"},
      // Not one JSON object.
      {"\"text\"", Category::dataCorrupted, none},
      {"null", Category::dataCorrupted, none},
      {"", Category::dataCorrupted, none},
      {"   ", Category::dataCorrupted, none},
      {R"({"kind":"k","version":1} x)", Category::dataCorrupted, none},
      {R"({"kind":"k","version":1}{})", Category::dataCorrupted, none},
      {R"({"kind":"k","version":1,})", Category::dataCorrupted, none},
      {R"(/*c*/{"kind":"k","version":1})", Category::dataCorrupted, none},
      {R"({'kind':"k","version":1})", Category::dataCorrupted, none},
      {"{\"kind\":\"a\x01\",\"version\":1}", Category::dataCorrupted, none},
      {"{\"kind\":\"\xFF\",\"version\":1}", Category::dataCorrupted, none},
      {R"({"kind":"\ud800","version":1})", Category::dataCorrupted, none},
      {R"({"kind":"k","version":1e400})", Category::dataCorrupted, none},
      {R"({"kind":"k","version":01})", Category::dataCorrupted, none},
      // A raw NUL is not the end of the text: what follows it is not ignored.
      {std::string(R"({"kind":"k","version":1})") + '\0', Category::dataCorrupted, none},
      {std::string(R"({"kind":"k","version":1})") + '\0' + "x", Category::dataCorrupted, none},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.json);
    auto decoded = decodeHelperMessage(c.json);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().category, c.category) << decoded.error().description();
    EXPECT_EQ(decoded.error().key, c.key) << decoded.error().description();
    EXPECT_TRUE(isValidUTF8(decoded.error().description()));
  }
}

// Failures name their category, key and reason in the description.
TEST(HelperMessageJSON, DescriptionsTable) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"kind":"command","command":"ping"})",
       R"(key not found: "version": no value for this key)"},
      {R"({"kind":"command","command":"ping","version":"1"})",
       R"(type mismatch: "version": expected a 64-bit integer, found a string)"},
      {R"({"kind":"command","command":"ping","version":1.5})",
       R"(data corrupted: "version": 1.5 is not an integer)"},
      {R"({"kind":"k","version":1e19})",
       R"(data corrupted: "version": 1e19 is outside the signed 64-bit range)"},
      {R"({"kind":"event","event":5,"version":1})",
       R"(type mismatch: "event": expected a string or null, found a number)"},
      {R"({"kind":null,"version":1})", R"(value not found: "kind": expected a string, found null)"},
      {"[1,2]", "data corrupted: the text is not a JSON object"},
      {"not json", "data corrupted: the text is not valid JSON (syntax error at byte 2)"},
      {"{\"a\"}", "data corrupted: the text is not valid JSON (syntax error at byte 5)"},
  };
  for (const auto& [json, description] : cases) {
    auto decoded = decodeHelperMessage(json);
    ASSERT_FALSE(decoded.ok()) << json;
    EXPECT_EQ(decoded.error().description(), description);
  }
}

// A huge non-integer version is quoted only in part.
TEST(HelperMessageJSON, LongNumberIsShortenedInDescription) {
  const std::string json = R"({"kind":"k","version":1.)" + std::string(100000, '5') + "}";
  auto decoded = decodeHelperMessage(json);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().category, Category::dataCorrupted);
  EXPECT_EQ(
      decoded.error().description(),
      "data corrupted: \"version\": 1.55555555555555555555555555555555555555... is not an integer");
}

// Deeply nested ignored values cost no stack, closed or left open.
TEST(HelperMessageJSON, DeepNesting) {
  constexpr std::size_t depth = 500000;
  const std::string nested = std::string(depth, '[') + std::string(depth, ']');
  auto ignored = decodeHelperMessage(R"({"kind":"k","deep":)" + nested + R"(,"version":1})");
  ASSERT_TRUE(ignored.ok()) << ignored.error().description();
  EXPECT_EQ(ignored.value().kind, "k");

  auto unclosed =
      decodeHelperMessage(R"({"kind":"k","version":1,"deep":)" + std::string(depth, '['));
  ASSERT_FALSE(unclosed.ok());
  EXPECT_EQ(unclosed.error().key, std::nullopt);
}

// The exact bytes the encoder writes.
TEST(HelperMessageJSON, EncodesTable) {
  const std::string fffd(replacementCharacterUTF8);
  const std::pair<HelperMessage, std::string> cases[] = {
      {HelperMessage::makeEvent("stopping", "stdin closed"),
       R"({"kind":"event","event":"stopping","detail":"stdin closed","version":1})"},
      {HelperMessage::makeEvent("ready", std::nullopt),
       R"({"kind":"event","event":"ready","version":1})"},
      {{.kind = "event", .detail = "", .version = 1},
       R"({"kind":"event","detail":"","version":1})"},
      {HelperMessage::makeError("no active RFCOMM client channel is connected"),
       R"({"kind":"error","detail":"no active RFCOMM client channel is connected","version":1})"},
      {HelperMessage::makeProtocol(R"({"type":"hello"})"),
       R"({"kind":"protocol","payload":"{\"type\":\"hello\"}","version":1})"},
      {{.kind = "k",
        .event = "e",
        .detail = "d",
        .payload = "p",
        .command = "c",
        .version = int64Min},
       R"({"kind":"k","event":"e","detail":"d","payload":"p","command":"c","version":-9223372036854775808})"},
      {HelperMessage::makeError("a/b</c>"), R"({"kind":"error","detail":"a\/b<\/c>","version":1})"},
      {{.kind = "event", .event = "pong", .id = RequestId("r/1"), .version = 1},
       R"({"kind":"event","event":"pong","id":"r\/1","version":1})"},
      {{.kind = "error", .detail = "e", .id = RequestId(std::int64_t{7}), .version = 1},
       R"({"kind":"error","detail":"e","id":7,"version":1})"},
      {HelperMessage::makeError(std::string("\b\f\n\r\t\x01\x1f\x7f\0!", 10)),
       "{\"kind\":\"error\",\"detail\":\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\\u0000!\",\"version\":"
       "1}"},
      {HelperMessage::makeError("caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\xA8 \xF0\x9F\x98\x80"),
       "{\"kind\":\"error\",\"detail\":\"caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\xA8 "
       "\xF0\x9F\x98\x80\",\"version\":1}"},
      {HelperMessage::makeError("a\xFFz\xE0\x80y\xF0\x9F\x98"),
       "{\"kind\":\"error\",\"detail\":\"a" + fffd + "z" + fffd + fffd + "y" + fffd +
           "\",\"version\":1}"},
  };
  for (const auto& [message, json] : cases) {
    EXPECT_EQ(encodeHelperMessage(message), json);
  }
}

// Plain text is skipped a word at a time: a character needing care is
// still found at every offset of a long text.
TEST(HelperMessageJSON, EscapesAtEveryOffsetOfALongText) {
  const std::string fffd(replacementCharacterUTF8);
  const std::pair<std::string, std::string> specials[] = {
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"/", "\\/"},
      {"\n", "\\n"},
      {"\x1f", "\\u001f"},
      {std::string(1, '\0'), "\\u0000"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xFF", fffd},
  };
  constexpr std::size_t length = 24;
  for (const auto& [raw, escaped] : specials) {
    for (std::size_t offset = 0; offset < length; ++offset) {
      const std::string before(offset, 'a');
      const std::string after(length - offset, 'b');
      EXPECT_EQ(
          encodeHelperMessage(HelperMessage::makeError(before + raw + after)),
          "{\"kind\":\"error\",\"detail\":\"" + before + escaped + after + "\",\"version\":1}")
          << "offset " << offset;
    }
  }
}

// Encoding appends to what the buffer already holds.
TEST(HelperMessageJSON, AppendKeepsExistingOutput) {
  std::string out = "x";
  appendHelperMessageJSON(out, ping);
  EXPECT_EQ(out, R"(x{"kind":"command","command":"ping","version":1})");
}

// A text that is not UTF-8 comes back repaired, everything else unchanged.
TEST(HelperMessageJSON, InvalidUTF8RoundTripsRepaired) {
  const std::string bad = "x\xED\xA0\x80y\xC0";
  auto decoded = decodeHelperMessage(encodeHelperMessage(HelperMessage::makeProtocol(bad)));
  ASSERT_TRUE(decoded.ok()) << decoded.error().description();
  EXPECT_EQ(decoded.value(), HelperMessage::makeProtocol(repairUTF8(bad)));
}

// Texts built from the characters that need care survive encoding and decoding.
TEST(HelperMessageJSON, RoundTripOverGeneratedRecords) {
  const std::string pieces[] = {
      "\"",
      "\\",
      "/",
      "\n",
      "\r",
      "\t",
      "\b",
      "\x01",
      "\x1f",
      std::string(1, '\0'),
      "\x7f",
      "\xE2\x80\xA8",
      "\xF0\x9F\x98\x80",
      "\xC3\xA9",
      "\xEF\xBF\xBD",
      "{",
      "}",
      ":",
      ",",
      "a",
      "plain words ",
  };
  const std::int64_t versions[] = {0, 1, -1, int64Max, int64Min, 1000000, -9007199254740993};
  std::mt19937_64 random(20240601);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const auto text = [&] {
    std::string result;
    for (std::size_t count = pick(9); count > 0; --count) result += pieces[pick(std::size(pieces))];
    return result;
  };
  const auto maybeText = [&]() -> std::optional<std::string> {
    if (pick(3) == 0) return std::nullopt;
    return text();
  };

  for (int i = 0; i < 3000; ++i) {
    HelperMessage message;
    message.kind = text();
    message.event = maybeText();
    message.detail = maybeText();
    message.payload = maybeText();
    message.command = maybeText();
    message.version =
        pick(4) == 0 ? static_cast<std::int64_t>(random()) : versions[pick(std::size(versions))];

    const std::string json = encodeHelperMessage(message);
    ASSERT_EQ(json.find('\n'), std::string::npos) << json;
    ASSERT_TRUE(isValidUTF8(json)) << json;
    auto decoded = decodeHelperMessage(json);
    ASSERT_TRUE(decoded.ok()) << json << ": " << decoded.error().description();
    ASSERT_EQ(decoded.value(), message) << json;
  }
}

}  // namespace
}  // namespace harlo
