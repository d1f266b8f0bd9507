#include "stdio/stdio_bridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "line_reader.h"
#include "platform/linux/run_loop.h"
#include "protocol/helper_message.h"
#include "protocol/output_writer.h"
#include "testing/breaking_loop.h"
#include "testing/fake_platform.h"
#include "testing/recording_log.h"
#include "testing/stdio_test_support.h"
#include "testing/test_watchdog.h"

namespace harlo {
namespace {

using namespace std::chrono_literals;
using platform::FakeChannel;
using platform::FakePlatform;

HelperMessage event(std::string name, std::string detail) {
  return HelperMessage::makeEvent(std::move(name), std::move(detail));
}
HelperMessage listening(int channel) {
  return event("listening", "RFCOMM service published on channel " + std::to_string(channel));
}
HelperMessage ready(int channel) {
  return event("ready", "stdio bridge ready on RFCOMM channel " + std::to_string(channel));
}
const HelperMessage clientConnected =
    event("client-connected", "Incoming RFCOMM client connected on channel 1");
const HelperMessage stdinClosed = event("stopping", "stdin closed");
const HelperMessage shutdownRequested = event("stopping", "shutdown requested");

const std::string pingLine = "{\"kind\":\"command\",\"command\":\"ping\",\"version\":1}\n";
const std::string lateProtocolLine = "{\"kind\":\"protocol\",\"payload\":\"late\",\"version\":1}\n";
const std::string shutdownLine = "{\"kind\":\"command\",\"command\":\"shutdown\",\"version\":1}\n";

// Waits, with a bound, until a thread of this process named `name` is asleep
// in the kernel (blocked in a read or a poll).
bool awaitSleepingThread(const std::string& name) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::string comm;
      std::getline(std::ifstream(task.path() / "comm"), comm);
      if (comm != name) continue;
      std::string stat;
      std::getline(std::ifstream(task.path() / "stat"), stat);
      const std::size_t state = stat.rfind(") ");
      if (state != std::string::npos && stat.compare(state + 2, 1, "S") == 0) return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// Nothing outside the test asks the mode to stop.
class NoStopSignals final : public platform::StopSignals {
 public:
  void onRequest(std::function<void(std::string_view)>) override {}
};

// Plays the parent (the input and output pipes) and the Bluetooth client (the
// fake platform) around one run of bridge mode on the test thread.
class BridgeSession {
 public:
  // On a RunLoop of its own, or on `mainLoop`.
  explicit BridgeSession(platform::MainLoop* mainLoop = nullptr)
      : fake(mainLoop != nullptr ? *mainLoop : *loop) {
    // As in the program: a closed output is a failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
  }

  // Runs bridge mode on this thread while `parent` runs on a second one, then
  // collects the rest of the output and standard error. Input is closed once
  // `parent` returns, so a scenario that gives up early still ends the mode.
  int run(const std::function<void()>& parent = {}) {
    const platform::TestWatchdog watchdog("bridge mode did not end", 30s);
    std::thread parentThread([&] {
      if (parent) parent();
      input.closeWriteEnd();
    });
    const int status = runStdioBridge(
        fake.mainLoop(), fake, signals,
        {inputFd.value_or(input.readEnd()), output.writeEnd(), error.writeEnd()}, log);
    parentThread.join();
    collectTheRest();
    return status;
  }

  // Once the mode has returned: reads the rest of the output and standard
  // error.
  void collectTheRest() {
    output.closeWriteEnd();
    error.closeWriteEnd();
    if (!parentClosedOutput) {
      while (std::optional<std::string> line = lines_.next(5s).line()) record(*line);
    }
    errorText = readAll(error.readEnd());
  }

  // The next message on the output, read with a bounded wait.
  std::optional<HelperMessage> nextMessage() {
    std::optional<std::string> line = lines_.next(5s).line();
    if (!line) {
      ADD_FAILURE() << "no further helper message on the output";
      return std::nullopt;
    }
    record(*line);
    return messages.back();
  }

  // Reads messages through the first with event `name`; false if none came.
  bool awaitEvent(std::string_view name) {
    while (std::optional<HelperMessage> message = nextMessage()) {
      if (message->event == name) return true;
    }
    return false;
  }

  // Connects a client on channel 1 once the mode is ready; nullptr on failure.
  std::shared_ptr<FakeChannel> connectClient() {
    if (!awaitEvent("ready")) return nullptr;
    std::shared_ptr<FakeChannel> channel = fake.makeChannel(1);
    fake.openChannel(channel);
    if (!awaitEvent("client-connected")) return nullptr;
    return channel;
  }

  // The messages without "client-disconnected": a channel closed by the
  // bridge's stop reports it from the loop, which may or may not run again
  // before the reader stops it.
  std::vector<HelperMessage> messagesWithoutDisconnect() const {
    std::vector<HelperMessage> kept;
    std::copy_if(messages.begin(), messages.end(), std::back_inserter(kept),
                 [](const HelperMessage& m) { return m.event != "client-disconnected"; });
    return kept;
  }

  std::unique_ptr<platform::RunLoop> loop = std::move(platform::RunLoop::create()).value();
  FakePlatform fake;
  RecordingLog log;
  NoStopSignals signals;
  TestPipe input;
  TestPipe output;
  TestPipe error;
  std::optional<int> inputFd;           // read instead of the input pipe when set
  bool parentClosedOutput = false;      // set when the parent closed its end of the output
  std::vector<HelperMessage> messages;  // every message read from the output, in order
  std::string errorText;

 private:
  void record(const std::string& line) {
    std::vector<HelperMessage> decoded = decodeOutput(line + "\n");
    messages.insert(messages.end(), decoded.begin(), decoded.end());
  }

  harness::LineReader lines_{output.readEnd()};
};

// The mode announces the channel the platform granted, then readiness; input
// closed at once then ends it with "stopping" and status 0.
TEST(StdioBridge, AnnouncesListeningThenReadyOnTheGrantedChannel) {
  for (const std::uint8_t channel : {1, 7, 255}) {
    SCOPED_TRACE(unsigned{channel});
    BridgeSession session;
    session.fake.grantChannel(channel);
    EXPECT_EQ(session.run(), 0);
    EXPECT_EQ(session.messages,
              (std::vector<HelperMessage>{listening(channel), ready(channel), stdinClosed}));
    EXPECT_EQ(session.errorText, "");
  }
}

const std::string publishFailed =
    "RFCOMM server bridge failed: startup(\"failed to publish local SDP service record\")\n";

struct StartFailureCase {
  const char* scenario;
  void (*breakFake)(FakePlatform&);
  std::string errorText;
};

// A bridge that cannot start ends the mode with one line on standard error
// and status 2; nothing reaches the output and the input is never read.
TEST(StdioBridge, StartFailureEndsTheModeBeforeReading) {
  const StartFailureCase cases[] = {
      {"publication refused", [](FakePlatform& f) { f.refusePublication(true); }, publishFailed},
      {"channel query failed", [](FakePlatform& f) { f.failChannelQuery(-5); },
       "RFCOMM server bridge failed: startup(\"published service record did not expose an "
       "RFCOMM channel id: -5\")\n"},
      {"registration refused", [](FakePlatform& f) { f.refuseRegistration(true); },
       "RFCOMM server bridge failed: startup(\"failed to register RFCOMM open notifications "
       "for channel 1\")\n"},
  };
  for (const StartFailureCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    BridgeSession session;
    c.breakFake(session.fake);
    session.input.write(pingLine);
    EXPECT_EQ(session.run(), 2);
    EXPECT_EQ(session.errorText, c.errorText);
    EXPECT_TRUE(session.messages.empty());
    EXPECT_EQ(readAll(session.input.readEnd()), pingLine) << "input was read";
  }
}

// A "ready" that cannot be written ends the mode like a failed start, with
// the writer's reason, before input is read.
TEST(StdioBridge, UnwritableReadyEndsTheModeBeforeReading) {
  BridgeSession session;
  session.output.closeReadEnd();
  session.parentClosedOutput = true;
  session.input.write(pingLine);
  EXPECT_EQ(session.run(), 2);
  EXPECT_EQ(session.errorText,
            "RFCOMM server bridge failed: " + WriteError{EPIPE}.description() + "\n");
  EXPECT_EQ(readAll(session.input.readEnd()), pingLine) << "input was read";
}

// A reader failure after a good start makes the mode return 2.
TEST(StdioBridge, ReaderFailureEndsTheModeWithStatus2) {
  BridgeSession session;
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  session.inputFd = directory;
  EXPECT_EQ(session.run(), 2);
  ::close(directory);
  EXPECT_EQ(session.errorText, "stdin reader failed: read failed: Is a directory\n");
  EXPECT_EQ(session.messages, (std::vector<HelperMessage>{listening(1), ready(1)}));
  const std::vector<std::string> calls = session.fake.calls();
  EXPECT_EQ(std::find(calls.begin(), calls.end(), "unregister"), calls.end()) << "bridge stopped";
}

// Client lines reach the parent as protocol messages while the reader is
// blocked reading an input that stays open.
TEST(StdioBridge, ClientLinesReachTheParentWhileTheReaderWaits) {
  BridgeSession session;
  EXPECT_EQ(session.run([&] {
    const std::shared_ptr<FakeChannel> channel = session.connectClient();
    if (!channel) return;
    session.fake.deliverData(channel, "{\"type\":\"note\"}\nsecond");
    session.fake.deliverData(channel, " line\n");
    EXPECT_EQ(session.nextMessage(), HelperMessage::makeProtocol("{\"type\":\"note\"}"));
    EXPECT_EQ(session.nextMessage(), HelperMessage::makeProtocol("second line"));
  }),
            0);
}

// "shutdown" on a running mode stops the bridge (client channel closed,
// registration and record withdrawn, in that order), drops the lines after
// it, and returns 0.
TEST(StdioBridge, ShutdownStopsTheBridgeAndReturns0) {
  BridgeSession session;
  std::shared_ptr<FakeChannel> channel;
  EXPECT_EQ(session.run([&] {
    channel = session.connectClient();
    if (channel) session.input.write(shutdownLine + lateProtocolLine);
  }),
            0);
  ASSERT_NE(channel, nullptr);
  const std::vector<std::string> calls = session.fake.calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"close 1", "unregister", "remove"}));
  EXPECT_EQ(channel->written(), "") << "a line after shutdown was acted on";
  EXPECT_EQ(
      session.messagesWithoutDisconnect(),
      (std::vector<HelperMessage>{listening(1), ready(1), clientConnected, shutdownRequested}));
}

// The reader thread carries its name while it waits for input.
TEST(StdioBridge, ReaderThreadIsNamed) {
  BridgeSession session;
  EXPECT_EQ(session.run([&] {
    if (!session.awaitEvent("ready")) return;
    EXPECT_TRUE(awaitSleepingThread("harlo-stdin-rea"));
  }),
            0);
}

// A non-blocking input descriptor is waited on, not taken for a failure.
TEST(StdioBridge, WaitsOnNonBlockingInput) {
  BridgeSession session;
  ASSERT_EQ(::fcntl(session.input.readEnd(), F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(session.run([&] {
    if (!session.awaitEvent("ready") || !awaitSleepingThread("harlo-stdin-rea")) {
      ADD_FAILURE() << "the reader did not wait for input";
      return;
    }
    session.input.write(pingLine);
    EXPECT_EQ(session.nextMessage(), event("pong", "ping"));
  }),
            0);
  EXPECT_EQ(session.errorText, "");
}

// A loop that fails ends the mode at once with its standard-error line and
// status 2, whatever the reader is doing.
TEST(StdioBridge, LoopFailureEndsTheModeWhateverTheReaderDoes) {
  struct Case {
    const char* scenario;
    std::string input;  // written once the mode is ready
    bool readerWaitsForTheLoop;
    std::vector<std::string> loggedBefore;  // the lines logged before the failure's
  };
  const Case cases[] = {
      {"reader waiting for input", "", false, {}},
      {"reader stopping the bridge on shutdown",
       shutdownLine,
       true,
       {"shutdown requested; stopping"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    BreakingLoop loop;
    BridgeSession session(&loop);
    std::thread parent([&] {
      if (!session.awaitEvent("ready")) return;
      session.input.write(c.input);
      if (c.readerWaitsForTheLoop) {
        EXPECT_TRUE(loop.awaitWaiter());
      }
      loop.breakDown();
    });
    // The input stays open: the parent thread never closes it.
    const platform::TestWatchdog watchdog("the mode did not end after the loop failed", 30s);
    const int status = runStdioBridge(
        loop, session.fake, session.signals,
        {session.input.readEnd(), session.output.writeEnd(), session.error.writeEnd()},
        session.log);
    parent.join();
    session.collectTheRest();
    EXPECT_EQ(status, 2);
    EXPECT_EQ(session.errorText, "RFCOMM server bridge failed: main run loop failed: status=-5\n");
    std::vector<std::string> logged = c.loggedBefore;
    logged.emplace_back("RFCOMM server bridge failed: main run loop failed: status=-5");
    EXPECT_EQ(session.log.lines(), logged);
    // A "stopping" that the reader wrote as the loop broke may precede the
    // standard-error line; nothing else may.
    std::vector<HelperMessage> started{listening(1), ready(1)};
    if (session.messages.size() == 3) started.push_back(shutdownRequested);
    EXPECT_EQ(session.messages, started);
  }
}

}  // namespace
}  // namespace harlo
