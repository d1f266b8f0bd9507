#include "text/flat_object_scan.h"

#include <gtest/gtest.h>

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "text/picked_members.h"

namespace harlo {
namespace {

constexpr std::array<std::string_view, 4> names = {"kind", "payload", "version", ""};

// The quick reading of `json`, kept in one slot per name.
bool scanFlatTopLevelMembers(std::string_view json, std::span<const std::string_view> names,
                             std::span<std::optional<MemberValue>> slots) {
  PickedMembers sink(names, slots);
  return scanFlatObject(json, sink);
}

// What nlohmann's document parser makes of the kept members: the oracle the
// quick reading must agree with whenever it reads a text at all.
std::vector<std::optional<MemberValue>> documentMembers(std::string_view json) {
  const nlohmann::json document = nlohmann::json::parse(json);
  std::vector<std::optional<MemberValue>> slots(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto found = document.find(std::string(names[i]));
    if (found == document.end()) continue;
    MemberValue& slot = slots[i].emplace();
    if (found->is_string()) {
      slot.type = JSONType::string;
      slot.text = found->get<std::string>();
    } else if (found->is_number()) {
      slot.type = JSONType::number;
      slot.integer = {JSONIntegerReading::Status::integer, found->get<std::int64_t>()};
    } else {
      slot.type = found->is_boolean() ? JSONType::boolean : JSONType::null;
    }
  }
  return slots;
}

void expectSameMembers(const std::vector<std::optional<MemberValue>>& actual,
                       const std::vector<std::optional<MemberValue>>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    SCOPED_TRACE(names[i]);
    ASSERT_EQ(actual[i].has_value(), expected[i].has_value());
    if (!actual[i]) continue;
    EXPECT_EQ(actual[i]->type, expected[i]->type);
    EXPECT_EQ(actual[i]->text, expected[i]->text);
    EXPECT_EQ(actual[i]->integer.status, expected[i]->integer.status);
    EXPECT_EQ(actual[i]->integer.value, expected[i]->integer.value);
  }
}

// Texts of the common shape are read, and read as the document parser reads
// them: escapes, raw non-ASCII, repeated keys, skipped members, whitespace.
TEST(FlatObjectScan, ReadsFlatObjectsLikeTheDocumentParser) {
  const std::string texts[] = {
      R"({"kind":"protocol","payload":"hello","version":1})",
      " \t\r\n{ \"kind\" : \"command\" ,\n\"version\" : -42 } \n",
      "{}",
      R"({"payload":"\" \\ \/ \b \f \n \r \t \u0000 \u00e9 \u20AC \ud83d\ude00"})",
      "{\"payload\":\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"}",
      R"({"kind":"a","kind":"b","version":1,"version":2})",
      R"({"other":true,"more":false,"none":null,"n":-0,"":"empty key"})",
      R"({"version":-999999999999999999,"kind":null,"payload":7})",
      R"({"version":0})",
  };
  for (const std::string& json : texts) {
    SCOPED_TRACE(json);
    std::vector<std::optional<MemberValue>> flat(names.size());
    ASSERT_TRUE(scanFlatTopLevelMembers(json, names, flat));
    expectSameMembers(flat, documentMembers(json));
  }
}

// Everything else is left undecided for the general parser, which alone
// reports syntax errors and reads nested values and exact fractions.
TEST(FlatObjectScan, DeclinesEverythingElse) {
  const std::string texts[] = {
      "",
      "[]",
      "\"text\"",
      "\xEF\xBB\xBF{}",
      R"({"kind":{"nested":1}})",
      R"({"kind":[1]})",
      R"({"version":1.0})",
      R"({"version":1e0})",
      R"({"version":1234567890123456789})",
      R"({"version":01})",
      R"({"version":-})",
      R"({"\u006bind":"command"})",
      "{\"k\xC3\xA9y\":1}",
      R"({"payload":"\ud83d"})",
      R"({"payload":"\ude00"})",
      R"({"payload":"\ud83d\u0041"})",
      R"({"payload":"\x"})",
      R"({"payload":"\u12G4"})",
      "{\"payload\":\"\xFF\"}",
      "{\"payload\":\"\xC3\"}",
      "{\"payload\":\"tab\there\"}",
      std::string("{\"kind\":\"x\"}\0junk", 16),
      R"({"kind":"x",})",
      R"({"kind":"x"} x)",
      R"({"kind":"x")",
      R"({"kind" "x"})",
      R"({"kind":tru})",
      R"({"kind":"unterminated})",
      R"({kind:"x"})",
  };
  for (const std::string& json : texts) {
    SCOPED_TRACE(json);
    std::vector<std::optional<MemberValue>> flat(names.size());
    EXPECT_FALSE(scanFlatTopLevelMembers(json, names, flat));
  }
}

// Plain text is skipped a word at a time: an escape, a non-ASCII character
// or a raw control character is still seen at every offset of a long text.
TEST(FlatObjectScan, SeesEveryByteOfALongString) {
  constexpr std::size_t length = 24;
  for (std::size_t offset = 0; offset < length; ++offset) {
    SCOPED_TRACE(offset);
    const std::string before(offset, 'a');
    const std::string after(length - offset, 'b');
    const auto payloadOf = [](const std::string& json) -> std::optional<std::string> {
      std::vector<std::optional<MemberValue>> flat(names.size());
      if (!scanFlatTopLevelMembers(json, names, flat)) return std::nullopt;
      return flat[1].value().text;
    };
    EXPECT_EQ(payloadOf("{\"payload\":\"" + before + "\\\"" + after + "\"}"),
              before + "\"" + after);
    EXPECT_EQ(payloadOf("{\"payload\":\"" + before + "\xC3\xA9" + after + "\"}"),
              before + "\xC3\xA9" + after);
    EXPECT_EQ(payloadOf("{\"payload\":\"" + before + "\"}"), before);
    EXPECT_EQ(payloadOf("{\"payload\":\"" + before + "\t" + after + "\"}"), std::nullopt);
    EXPECT_EQ(payloadOf("{\"payload\":\"" + before + "\xFF" + after + "\"}"), std::nullopt);
  }
}

}  // namespace
}  // namespace harlo
