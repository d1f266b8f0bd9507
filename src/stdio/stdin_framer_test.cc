#include "stdio/stdin_framer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace harlo {
namespace {

using Status = StdinLine::Status;

// A line as the framer gave it, its text copied out of the framer's buffer.
struct Framed {
  Status status;
  std::string text;
  bool operator==(const Framed&) const = default;
};

Framed okLine(std::string text) { return Framed{Status::ok, std::move(text)}; }
const Framed badUTF8{Status::invalidUTF8, {}};
const Framed oversized{Status::oversized, {}};

// Appends each chunk in turn and collects every line available after it.
std::vector<Framed> frame(StdinFramer& framer, const std::vector<std::string>& chunks) {
  std::vector<Framed> lines;
  for (const std::string& chunk : chunks) {
    framer.append(chunk);
    while (std::optional<StdinLine> line = framer.next()) {
      lines.push_back(Framed{line->status, std::string(line->text)});
    }
  }
  return lines;
}

struct FramingCase {
  const char* scenario;
  std::vector<std::string> chunks;
  std::vector<Framed> lines;
};

// Reads are joined before lines are checked, and each line is checked alone.
TEST(StdinFramer, ChecksWholeLinesWhateverTheReads) {
  const FramingCase cases[] = {
      {"2-byte character split", {"\xC3", "\xA9\n"}, {okLine("\xC3\xA9")}},
      {"3-byte character split", {"\xE2\x82", "\xAC\n"}, {okLine("\xE2\x82\xAC")}},
      {"4-byte character split in three",
       {"\xF0\x9F", "\x98", "\x80\n"},
       {okLine("\xF0\x9F\x98\x80")}},
      {"a bad line between two good ones", {"a\n\xFF\nb\n"}, {okLine("a"), badUTF8, okLine("b")}},
      {"a character cut by its line feed", {"x\xC3\ny\n"}, {badUTF8, okLine("y")}},
      {"empty lines and a kept carriage return", {"\n\r\n"}, {okLine(""), okLine("\r")}},
  };
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    StdinFramer framer;
    EXPECT_EQ(frame(framer, c.chunks), c.lines);
  }
}

// A line over the bound is reported before its end, once, and nothing of it
// surfaces through its line feed; the next line is framed as usual.
TEST(StdinFramer, DropsAnOversizedLineThroughItsLineFeed) {
  StdinFramer framer(4);
  EXPECT_EQ(frame(framer, {"1234\n12345"}), (std::vector<Framed>{okLine("1234"), oversized}));
  EXPECT_FALSE(framer.hasPartialLine());
  EXPECT_EQ(frame(framer, {"678\xFF", "9\nok"}), std::vector<Framed>{});
  EXPECT_TRUE(framer.hasPartialLine());
  EXPECT_EQ(frame(framer, {"\n"}), std::vector<Framed>{okLine("ok")});
}

}  // namespace
}  // namespace harlo
