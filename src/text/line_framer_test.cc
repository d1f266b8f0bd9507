#include "text/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace harlo {
namespace {

// Everything next() yields until it has nothing more, oversized reports as "<oversized>".
std::vector<std::string> drain(LineFramer& framer) {
  std::vector<std::string> lines;
  while (auto line = framer.next()) {
    if (line->oversized) {
      EXPECT_TRUE(line->bytes.empty());
      lines.push_back("<oversized>");
    } else {
      lines.emplace_back(line->bytes);
    }
  }
  return lines;
}

using Lines = std::vector<std::string>;

// Each scenario feeds chunks to a framer with a bound of 8 bytes and collects every line.
TEST(LineFramer, ChunkingTable) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines expected;
  };
  const Case cases[] = {
      {"one line", {"abc\n"}, {"abc"}},
      {"line across chunks", {"ab", "c", "d\nef", "\n"}, {"abcd", "ef"}},
      {"several lines in one chunk", {"a\nbb\nccc\n"}, {"a", "bb", "ccc"}},
      {"empty lines kept", {"\n\nx\n\n"}, {"", "", "x", ""}},
      {"carriage return kept", {"a\r\n"}, {"a\r"}},
      {"line exactly at the bound", {"12345678\n"}, {"12345678"}},
      {"bound reached across chunks", {"1234", "5678", "\n"}, {"12345678"}},
      {"one byte over in one chunk", {"123456789\nok\n"}, {"<oversized>", "ok"}},
      {"one byte over across chunks", {"12345", "6789", "\nok\n"}, {"<oversized>", "ok"}},
      {"oversized feed many chunks later",
       {"123456789", "abcdefghij", "klmnopqrst", "uvwxyz", "end\nnext\n"},
       {"<oversized>", "next"}},
      {"two oversized lines", {"aaaaaaaaaa\nbbbbbbbbbb\nc\n"}, {"<oversized>", "<oversized>", "c"}},
      {"tail without feed waits", {"done\npart"}, {"done"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineFramer framer(8);
    Lines got;
    for (const std::string& chunk : c.chunks) {
      framer.append(chunk);
      for (std::string& line : drain(framer)) got.push_back(std::move(line));
    }
    EXPECT_EQ(got, c.expected);
  }
}

// The oversized report comes as soon as the bound is passed, before any line feed.
TEST(LineFramer, OversizedReportedOnceBeforeItsEnd) {
  LineFramer framer(4);
  framer.append("abcde");
  EXPECT_EQ(drain(framer), Lines{"<oversized>"});
  for (int i = 0; i < 5; ++i) {
    framer.append("more bytes without a feed");
    EXPECT_EQ(drain(framer), Lines{});
    EXPECT_FALSE(framer.hasPartialLine());
  }
  framer.append("tail\nok\n");
  EXPECT_EQ(drain(framer), Lines{"ok"});
}

// hasPartialLine tracks unfinished bytes, and clear() drops them and any discarding.
TEST(LineFramer, PartialLineAndClear) {
  LineFramer framer(8);
  EXPECT_FALSE(framer.hasPartialLine());
  framer.append("ab");
  EXPECT_EQ(drain(framer), Lines{});
  EXPECT_TRUE(framer.hasPartialLine());
  framer.append("\n");
  EXPECT_EQ(drain(framer), Lines{"ab"});
  EXPECT_FALSE(framer.hasPartialLine());

  framer.append("unfinished");
  EXPECT_EQ(drain(framer), Lines{"<oversized>"});
  framer.clear();
  framer.append("x\n");
  EXPECT_EQ(drain(framer), Lines{"x"});

  framer.append("half");
  framer.clear();
  EXPECT_FALSE(framer.hasPartialLine());
  framer.append("new\n");
  EXPECT_EQ(drain(framer), Lines{"new"});
}

}  // namespace
}  // namespace harlo
