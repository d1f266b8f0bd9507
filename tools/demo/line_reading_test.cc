#include "line_reading.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "fd_io.h"
#include "unique_fd.h"

namespace harlo::demo {
namespace {

using test_support::UniqueFd;

// Every byte a case reads has been sent before the read, so no read needs to
// wait: a zero bound tells data present from none.
constexpr std::chrono::milliseconds noWait{0};

struct ReadCase {
  const char* scenario;
  std::string sent;
  bool peerCloses;
  std::vector<Reading> expected;  // one per read, in order
  std::string unreadAfter;
};

// Lines come back whole and in order, bytes past a line wait for the next
// read, and the end of the link or the lack of a line is told apart.
TEST(LineReading, ReadsLinesThenTheEndOrSilence) {
  const std::string longLine(10000, 'x');
  const std::vector<ReadCase> cases = {
      {"two lines in one write",
       "a\nb\n",
       false,
       {Reading::lineOf("a"), Reading::lineOf("b"), Reading::silenceFor("0 s")},
       ""},
      {"an empty line and a carriage return",
       "\nx\r\n",
       true,
       {Reading::lineOf(""), Reading::lineOf("x\r"), Reading::endAfter()},
       ""},
      {"a line longer than one read",
       longLine + "\n",
       true,
       {Reading::lineOf(longLine), Reading::endAfter()},
       ""},
      {"a partial line before the end",
       "done\npar",
       true,
       {Reading::lineOf("done"), Reading::endAfter("par"), Reading::endAfter()},
       ""},
      {"a partial line on an open link", "par", false, {Reading::silenceFor("0 s")}, "par"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd reader(pair[0]);
    UniqueFd peer(pair[1]);
    ASSERT_TRUE(test_support::writeAll(peer.get(), c.sent));
    if (c.peerCloses) peer.reset();
    std::string unread;

    for (const Reading& expected : c.expected) {
      EXPECT_EQ(readLineFrom(reader.get(), unread, noWait), expected);
    }
    EXPECT_EQ(unread, c.unreadAfter);
  }
}

// Bytes kept from a read that found no line begin the line of the next one.
TEST(LineReading, KeptBytesStartTheNextLine) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd reader(pair[0]);
  UniqueFd peer(pair[1]);
  std::string unread;

  ASSERT_TRUE(test_support::writeAll(peer.get(), "hel"));
  EXPECT_EQ(readLineFrom(reader.get(), unread, noWait), Reading::silenceFor("0 s"));
  ASSERT_TRUE(test_support::writeAll(peer.get(), "lo\n"));
  EXPECT_EQ(readLineFrom(reader.get(), unread, noWait), Reading::lineOf("hello"));
}

// Waits are shown in seconds.
TEST(LineReading, FormatsWaitsInSeconds) {
  EXPECT_EQ(formatWait(std::chrono::milliseconds(10000)), "10 s");
  EXPECT_EQ(formatWait(std::chrono::milliseconds(500)), "0.5 s");
}

}  // namespace
}  // namespace harlo::demo
