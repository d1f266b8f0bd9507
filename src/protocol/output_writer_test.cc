#include "protocol/output_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

using namespace std::chrono_literals;

// A pipe whose read end is drained by a thread into a string. The reader
// gives up after ten seconds without a byte and closes its end, so a stuck
// writer fails with EPIPE instead of hanging the test.
class DrainedPipe final {
 public:
  DrainedPipe() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    readFd_ = fds[0];
    writeFd_ = fds[1];
  }
  ~DrainedPipe() {
    closeWriteEnd();
    if (reader_.joinable()) reader_.join();
    if (readFd_ >= 0) close(readFd_);
  }

  int writeFd() const { return writeFd_; }

  void startDraining() {
    reader_ = std::thread([this] {
      char buffer[65536];
      pollfd entry{readFd_, POLLIN, 0};
      while (poll(&entry, 1, 10000) > 0) {
        const ssize_t n = read(readFd_, buffer, sizeof buffer);
        if (n <= 0) break;
        received_.append(buffer, static_cast<std::size_t>(n));
      }
      close(readFd_);
      readFd_ = -1;
    });
  }

  void closeWriteEnd() {
    if (writeFd_ >= 0) close(writeFd_);
    writeFd_ = -1;
  }

  // Closes the write end and returns everything that was read.
  std::string finish() {
    closeWriteEnd();
    if (reader_.joinable()) reader_.join();
    return received_;
  }

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
  std::thread reader_;
  std::string received_;  // written by reader_ only until it is joined
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t feed; (feed = text.find('\n', start)) != std::string::npos; start = feed + 1) {
    lines.push_back(text.substr(start, feed - start));
  }
  EXPECT_EQ(start, text.size()) << "bytes after the last line feed";
  return lines;
}

// Each call writes exactly its JSON text and one line feed.
TEST(OutputWriter, WritesOneLinePerMessageTable) {
  struct Case {
    std::function<Result<void, WriteError>(OutputWriter&)> emit;
    std::string line;
  };
  const Case cases[] = {
      {[](OutputWriter& w) { return w.emitEvent("stopping", "stdin closed"); },
       R"({"kind":"event","event":"stopping","detail":"stdin closed","version":1})"},
      {[](OutputWriter& w) { return w.emitEvent("ready", std::nullopt); },
       R"({"kind":"event","event":"ready","version":1})"},
      {[](OutputWriter& w) { return w.emitEvent("pong", ""); },
       R"({"kind":"event","event":"pong","detail":"","version":1})"},
      {[](OutputWriter& w) { return w.emitError("two\nlines \"quoted\" a/b"); },
       R"({"kind":"error","detail":"two\nlines \"quoted\" a\/b","version":1})"},
      {[](OutputWriter& w) {
         return w.emitMessage(HelperMessage::makeProtocol(R"({"type":"hello"})"));
       },
       R"({"kind":"protocol","payload":"{\"type\":\"hello\"}","version":1})"},
  };
  for (const Case& c : cases) {
    DrainedPipe pipe;
    OutputWriter writer(pipe.writeFd());
    pipe.startDraining();
    const auto written = c.emit(writer);
    EXPECT_TRUE(written.ok());
    EXPECT_EQ(pipe.finish(), c.line + "\n");
  }
}

// A reader that has gone away makes the write fail with EPIPE.
TEST(OutputWriter, ClosedReadEndIsBrokenPipe) {
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  OutputWriter orphan(fds[1]);
  const auto written = orphan.emitEvent("ready", std::nullopt);
  close(fds[1]);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().errnum, EPIPE);
  EXPECT_EQ(written.error().description(), "write failed: Broken pipe");
}

// A non-blocking descriptor still gets whole lines larger than the pipe holds.
TEST(OutputWriter, NonBlockingDescriptorGetsWholeLines) {
  DrainedPipe pipe;
  ASSERT_EQ(fcntl(pipe.writeFd(), F_SETFL, fcntl(pipe.writeFd(), F_GETFL) | O_NONBLOCK), 0);
  OutputWriter writer(pipe.writeFd());
  const std::string big(300000, 'x');
  pipe.startDraining();
  ASSERT_TRUE(writer.emitError(big).ok());
  ASSERT_TRUE(writer.emitError("after").ok());
  ASSERT_TRUE(writer.drain(std::chrono::steady_clock::now() + 10s));
  EXPECT_EQ(pipe.finish(), encodeHelperMessage(HelperMessage::makeError(big)) + "\n" +
                               encodeHelperMessage(HelperMessage::makeError("after")) + "\n");
}

// The detail of message `index` of a writer thread: its index, then filler
// up to a length that is sometimes far beyond PIPE_BUF.
std::string detailFor(int index) {
  const std::size_t length = index % 10 == 0 ? 5 + (static_cast<std::size_t>(index) * 7919) % 70000
                                             : 5 + static_cast<std::size_t>(index) % 200;
  std::string detail = std::to_string(index) + ":";
  detail.resize(std::max(length, detail.size()), 'a' + static_cast<char>(index % 26));
  return detail;
}

// Two threads writing at once: every line arrives whole and decodes, in each thread's order.
TEST(OutputWriter, ConcurrentWritersKeepLinesWholeAndOrdered) {
  constexpr int messagesPerThread = 2000;
  const std::string names[] = {"main", "reader"};
  DrainedPipe pipe;
  OutputWriter writer(pipe.writeFd());
  pipe.startDraining();

  std::vector<std::thread> writers;
  for (const std::string& name : names) {
    writers.emplace_back([&writer, name] {
      for (int i = 0; i < messagesPerThread; ++i) {
        if (!writer.emitEvent(name, detailFor(i)).ok()) return;
      }
    });
  }
  for (std::thread& thread : writers) thread.join();
  ASSERT_TRUE(writer.drain(std::chrono::steady_clock::now() + 10s));

  const std::vector<std::string> lines = splitLines(pipe.finish());
  ASSERT_EQ(lines.size(), 2u * messagesPerThread);
  int next[2] = {0, 0};
  for (const std::string& line : lines) {
    auto decoded = decodeHelperMessage(line);
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    const HelperMessage& message = decoded.value();
    const int thread = message.event == names[0] ? 0 : 1;
    ASSERT_EQ(message.event, names[thread]);
    ASSERT_EQ(message, HelperMessage::makeEvent(names[thread], detailFor(next[thread])));
    ++next[thread];
  }
  EXPECT_EQ(next[0], messagesPerThread);
  EXPECT_EQ(next[1], messagesPerThread);
}

// A reader that takes nothing holds no emit: the lines wait, the writer goes
// behind past its limit (its room descriptor no longer readable), and once the
// reader reads again every line arrives once, in order, and the writer is no
// longer behind.
TEST(OutputWriter, ReaderThatStopsReadingHoldsNoEmitAndLosesNoLine) {
  constexpr std::size_t limit = 64 * 1024;
  DrainedPipe pipe;
  ASSERT_EQ(fcntl(pipe.writeFd(), F_SETFL, fcntl(pipe.writeFd(), F_GETFL) | O_NONBLOCK), 0);
  OutputWriter writer(pipe.writeFd(), limit);
  std::atomic<int> changes{0};
  writer.onBehindChanged([&] { ++changes; });
  const auto roomNow = [&] {
    pollfd entry{writer.roomFd(), POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
  };
  EXPECT_TRUE(roomNow());

  std::string expected;
  int emitted = 0;
  while (!writer.behind()) {
    ASSERT_LT(emitted, 10000) << "never behind";
    const HelperMessage message = HelperMessage::makeProtocol(detailFor(emitted++));
    ASSERT_TRUE(writer.emitMessage(message).ok());
    expected += encodeHelperMessage(message) + "\n";
  }
  EXPECT_FALSE(roomNow());
  EXPECT_EQ(changes.load(), 1);

  pipe.startDraining();
  ASSERT_TRUE(writer.drain(std::chrono::steady_clock::now() + 10s));
  EXPECT_FALSE(writer.behind());
  EXPECT_TRUE(roomNow());
  EXPECT_EQ(changes.load(), 2);
  EXPECT_EQ(pipe.finish(), expected);
}

// After finish() the last line still goes out, and after close() nothing
// does: either way a later emit fails with EPIPE and writes no byte.
TEST(OutputWriter, NothingFollowsTheEndOfTheOutput) {
  const std::string last = R"({"kind":"event","event":"stopping","detail":"done","version":1})";
  struct Case {
    const char* scenario;
    std::function<void(OutputWriter&)> end;
    std::string output;
  };
  const Case cases[] = {
      {"finish", [](OutputWriter& w) { EXPECT_TRUE(w.finish("stopping", "done").ok()); },
       last + "\n"},
      {"close", [](OutputWriter& w) { w.close(); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    DrainedPipe pipe;
    OutputWriter writer(pipe.writeFd());
    pipe.startDraining();
    c.end(writer);
    const auto late = writer.emitEvent("late", "line");
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.error().errnum, EPIPE);
    EXPECT_FALSE(writer.finish("stopping", "again").ok());
    EXPECT_TRUE(writer.drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(pipe.finish(), c.output);
  }
}

}  // namespace
}  // namespace harlo
