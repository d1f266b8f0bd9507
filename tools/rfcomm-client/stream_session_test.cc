#include "stream_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "base/write_all.h"
#include "bounded_io.h"
#include "unique_fd.h"

namespace harlo {
namespace {

using harness::readExactlyWithin;
using harness::UniqueFd;
using namespace std::chrono_literals;

constexpr auto bound = 5s;

// A session between an input pipe, one end of a socket pair (the other end
// plays the peer) and an output pipe, run on a thread of its own.
class StreamSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    near_.reset(pair[0]);
    far_.reset(pair[1]);
    ASSERT_TRUE(makePipe(inputRead_, inputWrite_));
    ASSERT_TRUE(makePipe(outputRead_, outputWrite_));
  }

  static bool makePipe(UniqueFd& read, UniqueFd& write) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read.reset(fds[0]);
    write.reset(fds[1]);
    return true;
  }

  void start(std::chrono::milliseconds idle) {
    outcome_ = std::async(std::launch::async, [this, idle] {
      return runSession(inputRead_.get(), near_.get(), outputWrite_.get(), idle);
    });
  }

  // The session's outcome; a session still running after the bound is
  // unblocked by shutting its socket down, and the test fails.
  SessionOutcome finish() {
    if (outcome_.wait_for(bound) != std::future_status::ready) {
      ::shutdown(near_.get(), SHUT_RDWR);
      ADD_FAILURE() << "session did not end within the bound";
    }
    return outcome_.get();
  }

  // Everything left in the output pipe once the session has closed nothing:
  // close our write end first, then read to end of file.
  std::string drainOutput() {
    outputWrite_.reset();
    std::string bytes;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(outputRead_.get(), buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  UniqueFd near_, far_, inputRead_, inputWrite_, outputRead_, outputWrite_;
  std::future<SessionOutcome> outcome_;
};

// Input reaches the peer, the peer's bytes reach the output, and the peer's
// orderly close ends the session even while input is still open.
TEST_F(StreamSessionTest, CopiesBothWaysUntilPeerCloses) {
  start(1000ms);
  ASSERT_EQ(writeAll(inputWrite_.get(), "hello\n"), 0);
  EXPECT_EQ(readExactlyWithin(far_.get(), 6, bound), "hello\n");
  ASSERT_EQ(writeAll(far_.get(), "ack\nsecond line\n"), 0);
  EXPECT_EQ(readExactlyWithin(outputRead_.get(), 16, bound), "ack\nsecond line\n");
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::peerClosed);
  EXPECT_EQ(outcome.error, 0);
}

// Once input has ended, a silent peer ends the session through the idle
// timeout, after every input byte was sent.
TEST_F(StreamSessionTest, EndsIdleAfterInputEnds) {
  start(20ms);
  ASSERT_EQ(writeAll(inputWrite_.get(), "last words\n"), 0);
  inputWrite_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::idle);
  EXPECT_EQ(readExactlyWithin(far_.get(), 11, bound), "last words\n");
}

// Bytes the peer sends after input has ended are still delivered before the
// peer's close ends the session.
TEST_F(StreamSessionTest, DeliversPeerBytesAfterInputEnds) {
  inputWrite_.reset();
  start(1000ms);
  ASSERT_EQ(writeAll(far_.get(), "late reply\n"), 0);
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::peerClosed);
  EXPECT_EQ(drainOutput(), "late reply\n");
}

// A peer that drops the connection with our bytes unread resets it: the
// session reports the lost connection with its errno.
TEST_F(StreamSessionTest, ReportsResetAsConnectionLost) {
  start(1000ms);
  ASSERT_EQ(writeAll(inputWrite_.get(), "unread\n"), 0);
  pollfd entry{far_.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 5000), 1);
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::connectionLost);
  EXPECT_EQ(outcome.error, ECONNRESET);
}

// An output nobody reads any more is a local failure, not a peer problem.
TEST_F(StreamSessionTest, ReportsBrokenOutputAsLocalFailure) {
  outputRead_.reset();
  start(1000ms);
  ASSERT_EQ(writeAll(far_.get(), "nobody listens\n"), 0);
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::localFailure);
  EXPECT_EQ(outcome.error, EPIPE);
}

}  // namespace
}  // namespace harlo
