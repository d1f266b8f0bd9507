#include "text/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace harlo {
namespace {

const std::string fffd(replacementCharacterUTF8);

struct RepairCase {
  const char* name;
  std::string input;
  std::string repaired;  // equal to input exactly when input is valid
};

const RepairCase repairCases[] = {
    {"empty", "", ""},
    {"ascii", "hello, world 0123456789 {\"a\":1}", "hello, world 0123456789 {\"a\":1}"},
    {"two byte", "caf\xC3\xA9", "caf\xC3\xA9"},
    {"three byte", "\xE2\x82\xAC \xEF\xBF\xBD \xE2\x80\xA8",
     "\xE2\x82\xAC \xEF\xBF\xBD \xE2\x80\xA8"},
    {"four byte", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
    {"nul byte", std::string("a\0b", 3), std::string("a\0b", 3)},
    {"byte FF", "a\xFFz", "a" + fffd + "z"},
    {"lone continuation", "\x80", fffd},
    {"continuations after ascii", "x\x80\xBF", "x" + fffd + fffd},
    {"E0 then invalid second byte", "\xE0\x80", fffd + fffd},
    {"truncated four byte", "\xF0\x9F\x98", fffd},
    {"truncated four byte then ascii", "\xF0\x9F\x98z", fffd + "z"},
    {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
    {"overlong slash", "\xC0\xAF", fffd + fffd},
    {"C1 lead", "\xC1\xBF", fffd + fffd},
    {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
    {"F5 lead", "\xF5\x80", fffd + fffd},
    {"truncated two byte at end", "ok\xC3", "ok" + fffd},
    {"lead followed by lead", "\xE2\xE2\x82\xAC", fffd + "\xE2\x82\xAC"},
    {"overlong three byte", "\xE0\x9F\xBF", fffd + fffd + fffd},
    {"invalid inside long ascii run", "0123456789abcdef\xFE-0123456789abcdef",
     "0123456789abcdef" + fffd + "-0123456789abcdef"},
};

// Each case repairs to the expected bytes, and is valid exactly when repair changes nothing.
TEST(UTF8, RepairAndValidityTable) {
  for (const RepairCase& c : repairCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(repairUTF8(c.input), c.repaired);
    EXPECT_EQ(isValidUTF8(c.input), c.input == c.repaired);
    EXPECT_TRUE(isValidUTF8(repairUTF8(c.input)));
  }
}

// Repair appends after what the output already holds.
TEST(UTF8, AppendKeepsExistingOutput) {
  std::string out = "prefix:";
  appendRepairedUTF8(out, "\xFFz");
  EXPECT_EQ(out, "prefix:" + fffd + "z");
}

struct UnitCase {
  std::string bytes;
  std::size_t length;
  bool wellFormed;
};

// The unit at the start of a text is one character or one maximal ill-formed subpart.
TEST(UTF8, ScanUnitTable) {
  const UnitCase cases[] = {
      {"A", 1, true},
      {"\xC3\xA9rest", 2, true},
      {"\xE2\x82\xAC", 3, true},
      {"\xF0\x9F\x98\x80", 4, true},
      {"\xF0\x9F\x98", 3, false},
      {"\xE0\x80", 1, false},
      {"\xED\x9F\xBF", 3, true},
      {"\xED\xA0\x80", 1, false},
      {"\xF4\x8F\x80", 3, false},
      {"\xC2", 1, false},
      {"\xBF", 1, false},
      {"\xE1\x80z", 2, false},
  };
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const UTF8Unit unit = scanUTF8Unit(c.bytes);
    EXPECT_EQ(unit.length, c.length);
    EXPECT_EQ(unit.wellFormed, c.wellFormed);
  }
}

}  // namespace
}  // namespace harlo
