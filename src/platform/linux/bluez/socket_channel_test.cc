#include "platform/linux/bluez/socket_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/recording_log.h"
#include "testing/test_loop_thread.h"
#include "testing/test_recorders.h"
#include "testing/test_watchdog.h"

namespace harlo::platform {
namespace {

using std::chrono::seconds;

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251);
  return bytes;
}

class SocketChannelTest : public testing::Test {
 protected:
  static constexpr std::uint8_t publishedChannel = 9;

  void SetUp() override {
    auto created = RunLoop::create();
    ASSERT_TRUE(created.ok());
    loop_ = std::move(created).value();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    ownFd_ = fds[0];
    peer_ = fds[1];
  }

  void TearDown() override {
    if (peer_ >= 0) ::close(peer_);
  }

  // The channel over our end, watched by `delegate_` on a running loop.
  void openChannel(WriteLimits limits = {}) {
    channel_ =
        SocketChannel::create(*loop_, ownFd_, publishedChannel, log_, "00:11:22:33:44:55", limits);
    thread_ = std::make_unique<TestLoopThread>(*loop_);
    Status status = -1;
    loop_->postAndWait([&] { status = channel_->setDelegate(&delegate_); });
    ASSERT_EQ(status, statusOK);
  }

  // Makes writes on our end block after a few KiB.
  void shrinkSendBuffer() {
    const int size = 4096;
    ASSERT_EQ(setsockopt(ownFd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  }

  // Reads from the peer end until `count` bytes or end of file.
  std::string peerRead(std::size_t count, std::size_t chunk = 65536) {
    std::string bytes;
    std::vector<char> buffer(chunk);
    while (bytes.size() < count) {
      const ssize_t got = ::read(peer_, buffer.data(), std::min(chunk, count - bytes.size()));
      if (got <= 0) break;
      bytes.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return bytes;
  }

  // True when the peer reads end of file (after draining what was queued),
  // or a reset: a socket closed while bytes it never read were queued to it
  // resets its peer instead.
  bool peerSeesEndOfFile() {
    const TestWatchdog watchdog("peer sees end of file", seconds(5));
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(peer_, buffer, sizeof buffer);
      if (got == 0) return true;
      if (got < 0) return errno == ECONNRESET;
    }
  }

  void peerWrite(const std::string& bytes) {
    ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  std::pair<Status, std::size_t> writeToReadingPeer(std::size_t bytes, std::size_t perTenth);

  // Writes `bytes` and waits, with a bound, for the outcome.
  Status writeAndWait(std::span<const std::uint8_t> bytes) {
    std::promise<Status> outcome;
    const std::optional<Status> atOnce =
        channel_->write(bytes, [&outcome](Status status) { outcome.set_value(status); });
    if (atOnce) return *atOnce;
    const TestWatchdog watchdog("a write that waited ends", seconds(40));
    return outcome.get_future().get();
  }

  std::unique_ptr<RunLoop> loop_;
  // The delegate and the log outlive the loop thread, which may still deliver
  // a close as it ends: declared before it.
  RecordingDelegate delegate_;
  RecordingLog log_;
  std::unique_ptr<TestLoopThread> thread_;
  std::shared_ptr<SocketChannel> channel_;
  int ownFd_ = -1;  // owned by the channel once it exists
  int peer_ = -1;
};

// Bytes from the peer reach the delegate whole and in order, at most 64 KiB
// per call; a socket that is not an RFCOMM one has the published number.
TEST_F(SocketChannelTest, DeliversDataInOrder) {
  openChannel();
  EXPECT_EQ(channel_->channelID(), publishedChannel);
  const auto bytes = pattern(150'000, 1);
  const std::string text(bytes.begin(), bytes.end());
  std::thread writer([&] { peerWrite(text); });
  delegate_.waitForBytes(text.size());
  writer.join();
  EXPECT_EQ(delegate_.received(), text);
  EXPECT_LE(delegate_.largestChunk(), 65536u);
  EXPECT_EQ(delegate_.closes(), 0);
  EXPECT_EQ(delegate_.openCompletions(), 0);
}

// The peer hanging up is reported once, and our later close() adds nothing.
TEST_F(SocketChannelTest, PeerCloseIsReportedOnce) {
  openChannel();
  peerWrite("last words\n");
  ::close(peer_);
  peer_ = -1;
  delegate_.waitForClose();
  channel_->close(CloseReason::stopped);
  thread_->drain();
  thread_->drain();
  EXPECT_EQ(delegate_.received(), "last words\n");
  EXPECT_EQ(delegate_.closes(), 1);
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"client 00:11:22:33:44:55 disconnected: the "
                                                   "client hung up; 11 bytes in, 0 bytes out"});
}

// Our close() takes the link down although another copy of the fd stays open
// (as bluetoothd keeps one), and its callback comes after close() returns.
TEST_F(SocketChannelTest, CloseShutsDownAndReportsLater) {
  const int daemonCopy = dup(ownFd_);
  ASSERT_GE(daemonCopy, 0);
  openChannel();
  int closesInsideClose = -1;
  loop_->postAndWait([&] {
    channel_->close(CloseReason::stopped);
    closesInsideClose = delegate_.closes();
  });
  EXPECT_EQ(closesInsideClose, 0);
  EXPECT_TRUE(peerSeesEndOfFile());
  delegate_.waitForClose();
  channel_->close(CloseReason::stopped);
  thread_->drain();
  EXPECT_EQ(delegate_.closes(), 1);
  ::close(daemonCopy);
}

// A large write to a slow reader arrives whole, in order.
TEST_F(SocketChannelTest, LargeWriteToSlowReaderArrivesWhole) {
  shrinkSendBuffer();
  openChannel();
  const auto bytes = pattern(200'000, 3);
  std::string got;
  std::thread reader([&] {
    std::string chunk;
    do {
      chunk = peerRead(std::min<std::size_t>(1000, bytes.size() - got.size()), 1000);
      got += chunk;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    } while (!chunk.empty() && got.size() < bytes.size());
  });
  const TestWatchdog watchdog("slow reader takes 200,000 bytes", seconds(20));
  EXPECT_EQ(writeAndWait(bytes), statusOK);
  reader.join();
  EXPECT_EQ(got, std::string(bytes.begin(), bytes.end()));
}

// A peer that takes nothing fails the write with -110 and loses the channel.
TEST_F(SocketChannelTest, StalledWriteTimesOutAndCloses) {
  shrinkSendBuffer();
  openChannel({.stall = std::chrono::milliseconds(100)});
  const auto bytes = pattern(1'000'000, 5);
  EXPECT_EQ(writeAndWait(bytes), -110);
  delegate_.waitForClose();
  EXPECT_TRUE(peerSeesEndOfFile());
  EXPECT_EQ(writeAndWait(pattern(10, 0)), -EPIPE);
  thread_->drain();
  EXPECT_EQ(delegate_.closes(), 1);
  const std::vector<std::string> logged = log_.lines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_TRUE(
      logged[0].starts_with("client 00:11:22:33:44:55 disconnected: a write made no "
                            "progress for 100 ms; 0 bytes in, "))
      << logged[0];
}

// Writing to a closed channel fails with a status, not silently.
TEST_F(SocketChannelTest, WriteAfterCloseFails) {
  openChannel();
  channel_->close(CloseReason::stopped);
  EXPECT_EQ(writeAndWait(pattern(100, 0)), -EPIPE);
  EXPECT_EQ(writeAndWait({}), statusOK);
}

// A write may last the later of the total limit and its size at the
// minimum rate, measured here with a peer that reads `perTenth` bytes every
// 100 ms: the outcome and what the peer took.
std::pair<Status, std::size_t> SocketChannelTest::writeToReadingPeer(std::size_t bytes,
                                                                     std::size_t perTenth) {
  shrinkSendBuffer();
  openChannel({.stall = std::chrono::milliseconds(400),
               .total = std::chrono::milliseconds(1500),
               .minRate = 100'000,
               .retry = std::chrono::milliseconds(50)});
  std::atomic<bool> done{false};
  std::size_t taken = 0;
  std::thread reader([&] {
    while (!done && taken < bytes) {
      taken += peerRead(perTenth, perTenth).size();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const Status status = writeAndWait(pattern(bytes, 7));
  if (status != statusOK) delegate_.waitForClose();
  done = true;
  reader.join();
  return {status, taken};
}

// A peer that keeps taking a little cannot hold a write past the total limit
// (1.5 s here, as 100 kB at the rate take less): it fails with -110 although
// bytes went out, and the channel goes.
TEST_F(SocketChannelTest, TricklingPeerFailsAtTheTotalLimit) {
  const auto [status, taken] = writeToReadingPeer(100'000, 4096);
  EXPECT_EQ(status, -110);
  EXPECT_GT(taken, 0u);
  thread_->drain();
  const std::vector<std::string> logged = log_.lines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_TRUE(logged[0].starts_with(
      "client 00:11:22:33:44:55 disconnected: a write did not finish within 1500 ms"))
      << logged[0];
}

// A large write gets its size at the minimum rate (6 s for 600 kB at
// 100 kB/s): a peer that needs more than the total limit for it, about 2 s,
// but reads faster than the rate, gets it whole.
TEST_F(SocketChannelTest, SlowPeerFinishesALargeWriteAtTheMinimumRate) {
  const auto [status, taken] = writeToReadingPeer(600'000, 30'000);
  EXPECT_EQ(status, statusOK);
  EXPECT_EQ(taken, 600'000u);
}

// Closing the channel ends a write that waits for the peer at once, with the
// channel's error, and the writes queued behind it too.
TEST_F(SocketChannelTest, CloseEndsWaitingWritesAtOnce) {
  shrinkSendBuffer();
  openChannel();
  std::promise<Status> first;
  std::promise<Status> second;
  EXPECT_EQ(channel_->write(pattern(1'000'000, 2), [&](Status s) { first.set_value(s); }),
            std::nullopt);
  EXPECT_EQ(channel_->write(pattern(10, 2), [&](Status s) { second.set_value(s); }), std::nullopt)
      << "a write behind a waiting one went out first";
  channel_->close(CloseReason::stopped);
  const TestWatchdog watchdog("closing ends the waiting writes", seconds(5));
  EXPECT_EQ(first.get_future().get(), -EPIPE);
  EXPECT_EQ(second.get_future().get(), -EPIPE);
}

// Two threads writing at once: each block arrives contiguous.
TEST_F(SocketChannelTest, ConcurrentWritesDoNotInterleave) {
  shrinkSendBuffer();
  openChannel();
  const std::vector<std::uint8_t> a(100'000, 'a');
  const std::vector<std::uint8_t> b(100'000, 'b');
  std::string got;
  std::thread reader([&] { got = peerRead(a.size() + b.size()); });
  Status statusA = -1;
  Status statusB = -1;
  {
    const TestWatchdog watchdog("two writers finish", seconds(20));
    std::thread writerA([&] { statusA = writeAndWait(a); });
    std::thread writerB([&] { statusB = writeAndWait(b); });
    writerA.join();
    writerB.join();
    reader.join();
  }
  EXPECT_EQ(statusA, statusOK);
  EXPECT_EQ(statusB, statusOK);
  const std::string aThenB = std::string(a.size(), 'a') + std::string(b.size(), 'b');
  const std::string bThenA = std::string(b.size(), 'b') + std::string(a.size(), 'a');
  EXPECT_TRUE(got == aThenB || got == bThenA) << "blocks interleaved";
}

// The last reference going on another thread while the peer keeps the loop
// busy: the watch is released on the loop, then the fd is closed.
TEST_F(SocketChannelTest, DestructionOffTheLoopThread) {
  openChannel();
  std::thread chatter([&] {
    for (int i = 0; i < 200; ++i) {
      if (::send(peer_, "x", 1, MSG_NOSIGNAL) != 1) return;  // no SIGPIPE once ours is gone
    }
  });
  delegate_.waitForBytes(1);
  channel_.reset();
  chatter.join();
  thread_->drain();
  EXPECT_TRUE(peerSeesEndOfFile());
  EXPECT_EQ(delegate_.closes(), 0);
}

// A file the loop cannot watch makes setDelegate fail with a negative errno.
TEST_F(SocketChannelTest, UnwatchableFdFailsSetDelegate) {
  const int file = memfd_create("not-a-socket", MFD_CLOEXEC);
  ASSERT_GE(file, 0);
  auto channel = SocketChannel::create(*loop_, file, publishedChannel, log_, "00:11:22:33:44:55");
  EXPECT_EQ(channel->setDelegate(&delegate_), -EPERM);
  EXPECT_EQ(channel->channelID(), publishedChannel);
  ::close(ownFd_);
}

}  // namespace
}  // namespace harlo::platform
