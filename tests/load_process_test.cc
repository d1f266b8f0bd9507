// The real helper under load against bluez-sim: a hundred thousand lines in
// each direction arrive complete and in order. The elapsed time and rate of
// each direction are printed (and recorded as test properties) for reading,
// never asserted.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "bridge_process_fixture.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t messageCount = 100'000;
constexpr std::size_t payloadBytes = 100;
// However long the whole run takes, it fails rather than hangs past this.
constexpr std::chrono::seconds watchdog{120};

// Payload `sequence`: its number in eight digits, a two-byte character (so
// that a torn line shows up as broken UTF-8 too) and filler chosen by the
// number, 100 bytes in all.
std::string payloadFor(std::size_t sequence) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu ", sequence);
  std::string payload = digits;
  payload += "\xC3\xA9";
  payload.append(payloadBytes - payload.size(), static_cast<char>('a' + sequence % 26));
  return payload;
}

// Our writer's key order is fixed, so whole lines can be compared.
std::string protocolLineFor(std::size_t sequence) {
  return R"({"kind":"protocol","payload":")" + payloadFor(sequence) + R"(","version":1})";
}

constexpr const char* clientWriteLine =
    R"({"kind":"event","event":"rfcomm-write","detail":"wrote 101 bytes to RFCOMM channel 1","version":1})";

void report(const char* direction, Clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const double rate = static_cast<double>(messageCount) / seconds;
  std::cout << direction << ": " << messageCount << " messages of " << payloadBytes << " bytes in "
            << seconds << " s, " << static_cast<long>(rate) << " messages/s\n";
  ::testing::Test::RecordProperty(std::string(direction) + " seconds", std::to_string(seconds));
  ::testing::Test::RecordProperty(std::string(direction) + " messages per second",
                                  std::to_string(static_cast<long>(rate)));
}

// What one side saw of the stream it checked.
struct StreamCheck {
  std::size_t complete = 0;  // lines that matched, from the first on
  std::string problem;       // empty while all is well
};

// Reads the client's lines and checks each against its payload, until all
// have come or one is missing or wrong.
StreamCheck readClientLines(int fd, Clock::time_point deadline) {
  constexpr std::size_t linesPerRead = 1000;
  constexpr std::size_t lineBytes = payloadBytes + 1;
  StreamCheck check;
  while (check.complete < messageCount) {
    if (Clock::now() > deadline) {
      check.problem = "watchdog expired";
      return check;
    }
    const std::size_t lines = std::min(linesPerRead, messageCount - check.complete);
    const auto bytes = readExactlyWithin(fd, lines * lineBytes);
    if (!bytes) {
      check.problem = "the client stopped receiving";
      return check;
    }
    for (std::size_t i = 0; i < lines; ++i) {
      const std::string_view line(bytes->data() + i * lineBytes, lineBytes);
      const std::string expected = payloadFor(check.complete) + "\n";
      if (line != expected) {
        check.problem = "client line " + std::to_string(check.complete) + " is \"" +
                        std::string(line) + "\", expected \"" + expected + "\"";
        return check;
      }
      ++check.complete;
    }
  }
  return check;
}

// Writes the client's lines in blocks.
StreamCheck writeClientLines(int fd, Clock::time_point deadline) {
  constexpr std::size_t linesPerWrite = 1000;
  StreamCheck check;
  std::string block;
  while (check.complete < messageCount) {
    if (Clock::now() > deadline) {
      check.problem = "watchdog expired";
      return check;
    }
    const std::size_t lines = std::min(linesPerWrite, messageCount - check.complete);
    block.clear();
    for (std::size_t i = 0; i < lines; ++i) block += payloadFor(check.complete + i) + "\n";
    if (!writeWithin(fd, block)) {
      check.problem = "the helper stopped taking the client's lines";
      return check;
    }
    check.complete += lines;
  }
  return check;
}

using LoadProcess = BridgeProcessTest;

// 100,000 parent payloads reach the client complete and in order, each
// reported as written, while the client reads on its own thread.
TEST_F(LoadProcess, ParentPayloadsReachTheClientInOrder) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);

  const auto started = Clock::now();
  const auto deadline = started + watchdog;
  StreamCheck received;
  std::thread reader([&] { received = readClientLines(client.get(), deadline); });

  // The parent keeps at most `window` payloads unanswered and reads their
  // "rfcomm-write" events as it goes. A stall would need the helper's input
  // pipe full while it waits on a full output pipe, which takes some 1,100
  // unanswered payloads (64 KiB of 145-byte commands plus 64 KiB of 98-byte
  // events), far more than a window.
  constexpr std::size_t batch = 256;
  constexpr std::size_t window = 512;
  StreamCheck events;
  std::size_t sent = 0;
  std::string block;
  while (events.problem.empty() && events.complete < messageCount) {
    if (Clock::now() > deadline) {
      events.problem = "watchdog expired";
      break;
    }
    if (sent < messageCount && sent - events.complete + batch <= window) {
      const std::size_t count = std::min(batch, messageCount - sent);
      block.clear();
      for (std::size_t i = 0; i < count; ++i) block += protocolCommand(payloadFor(sent + i)) + "\n";
      if (!helper_->writeStdin(block)) events.problem = "the helper stopped taking input";
      sent += count;
      continue;
    }
    const auto line = helper_->readLine(Subprocess::Stream::out);
    if (!line) {
      events.problem = "no more events after " + std::to_string(events.complete);
    } else if (*line != clientWriteLine) {
      events.problem = "message " + std::to_string(events.complete) + " is " + *line;
    } else {
      ++events.complete;
    }
  }
  // Unblocks the reader at once if the parent side gave up.
  if (!events.problem.empty()) ::shutdown(client.get(), SHUT_RDWR);
  reader.join();
  const auto elapsed = Clock::now() - started;

  EXPECT_EQ(events.problem, "") << diagnostics();
  EXPECT_EQ(events.complete, messageCount);
  EXPECT_EQ(received.problem, "");
  EXPECT_EQ(received.complete, messageCount);
  EXPECT_FALSE(hasPendingEvent(client.get())) << "the client got more than the payloads";
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping"));
  if (events.problem.empty() && received.problem.empty()) report("parent to client", elapsed);
}

// 100,000 client lines reach the parent complete and in order as protocol
// messages, while the client writes on its own thread.
TEST_F(LoadProcess, ClientLinesReachTheParentInOrder) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);

  const auto started = Clock::now();
  const auto deadline = started + watchdog;
  StreamCheck written;
  std::thread writer([&] { written = writeClientLines(client.get(), deadline); });

  StreamCheck messages;
  while (messages.problem.empty() && messages.complete < messageCount) {
    if (Clock::now() > deadline) {
      messages.problem = "watchdog expired";
      break;
    }
    const auto line = helper_->readLine(Subprocess::Stream::out);
    if (!line) {
      messages.problem = "no more messages after " + std::to_string(messages.complete);
    } else if (*line != protocolLineFor(messages.complete)) {
      messages.problem = "message " + std::to_string(messages.complete) + " is " + *line;
    } else {
      ++messages.complete;
    }
  }
  // Unblocks the writer at once if the parent side gave up.
  if (!messages.problem.empty()) ::shutdown(client.get(), SHUT_RDWR);
  writer.join();
  const auto elapsed = Clock::now() - started;

  EXPECT_EQ(messages.problem, "") << diagnostics();
  EXPECT_EQ(messages.complete, messageCount);
  EXPECT_EQ(written.problem, "");
  EXPECT_EQ(written.complete, messageCount);
  // Nothing else was reported in between or after: the next message answers a ping.
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping"));
  if (messages.problem.empty() && written.problem.empty()) report("client to parent", elapsed);
}

}  // namespace
}  // namespace harlo::test_support
