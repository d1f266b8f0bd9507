#include "line_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "bounded_io.h"
#include "unique_fd.h"

namespace harlo::harness {
namespace {

// Every byte a case reads has been sent before the read, so no read needs to
// wait: a zero bound tells data present from none.
constexpr std::chrono::milliseconds noWait{0};

LineRead lineOf(std::string text) { return {LineRead::Kind::line, std::move(text)}; }
LineRead endAfter(std::string leftover = {}) { return {LineRead::Kind::end, std::move(leftover)}; }
const LineRead silence{LineRead::Kind::silence, {}};

// A connected pair of stream sockets: the reader's end and the peer's.
struct Link {
  Link() {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    reader.reset(pair[0]);
    peer.reset(pair[1]);
  }
  UniqueFd reader;
  UniqueFd peer;
};

struct ReadCase {
  const char* scenario;
  std::string sent;
  bool peerCloses;
  std::vector<LineRead> expected;  // one per read, in order
  std::string unreadAfter;
};

// Lines come back whole and in order, bytes past a line wait for the next
// read, and the end of the link or the lack of a line is told apart, whether
// the reader reads ahead in blocks or a byte at a time.
TEST(LineReader, ReadsLinesThenTheEndOrSilence) {
  const std::string longLine(10000, 'x');
  const std::vector<ReadCase> cases = {
      {"two lines in one write", "a\nb\n", false, {lineOf("a"), lineOf("b"), silence}, ""},
      {"an empty line and a carriage return",
       "\nx\r\n",
       true,
       {lineOf(""), lineOf("x\r"), endAfter()},
       ""},
      {"a line longer than one read", longLine + "\n", true, {lineOf(longLine), endAfter()}, ""},
      {"a partial line before the end",
       "done\npar",
       true,
       {lineOf("done"), endAfter("par"), endAfter()},
       ""},
      {"a partial line on an open link", "par", false, {silence}, "par"},
  };
  for (const auto readAhead : {LineReader::ReadAhead::blocks, LineReader::ReadAhead::none}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.scenario);
      Link link;
      ASSERT_TRUE(writeWithin(link.peer.get(), c.sent));
      if (c.peerCloses) link.peer.reset();
      LineReader lines(link.reader.get(), readAhead);

      for (const LineRead& expected : c.expected) EXPECT_EQ(lines.next(noWait), expected);
      EXPECT_EQ(lines.unread(), c.unreadAfter);
    }
  }
}

// Bytes kept from a read that found no line begin the line of the next one.
TEST(LineReader, KeptBytesStartTheNextLine) {
  Link link;
  LineReader lines(link.reader.get());

  ASSERT_TRUE(writeWithin(link.peer.get(), "hel"));
  EXPECT_EQ(lines.next(noWait), silence);
  ASSERT_TRUE(writeWithin(link.peer.get(), "lo\n"));
  EXPECT_EQ(lines.next(noWait), lineOf("hello"));
}

// Reading a byte at a time leaves what follows the line in the descriptor,
// for whatever reads it next.
TEST(LineReader, ReadLineWithinTakesNothingPastTheLine) {
  Link link;
  ASSERT_TRUE(writeWithin(link.peer.get(), "first\nrest"));

  EXPECT_EQ(readLineWithin(link.reader.get(), noWait), "first");
  EXPECT_EQ(readExactlyWithin(link.reader.get(), 4, noWait), "rest");
  EXPECT_EQ(readLineWithin(link.reader.get(), noWait), std::nullopt);
}

}  // namespace
}  // namespace harlo::harness
