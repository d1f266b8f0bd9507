#include "stdio/stdin_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/run_loop.h"
#include "protocol/helper_message.h"
#include "protocol/output_writer.h"
#include "rfcomm/rfcomm_bridge.h"
#include "testing/fake_platform.h"
#include "testing/memory_file.h"
#include "testing/recording_log.h"
#include "testing/stdio_test_support.h"
#include "text/line_limit.h"

namespace harlo {
namespace {

using platform::FakeChannel;
using platform::FakePlatform;

HelperMessage event(std::string name, std::string detail) {
  return HelperMessage::makeEvent(std::move(name), std::move(detail));
}
HelperMessage error(std::string message) { return HelperMessage::makeError(std::move(message)); }
HelperMessage pong(std::string detail) { return event("pong", std::move(detail)); }
HelperMessage wrote(int bytes) {
  return event("rfcomm-write", "wrote " + std::to_string(bytes) + " bytes to RFCOMM channel 1");
}
const HelperMessage stdinClosed = event("stopping", "stdin closed");
const HelperMessage shutdownRequested = event("stopping", "shutdown requested");
const HelperMessage partialLine = error("stdin closed with a partial helper message");
const HelperMessage invalidUTF8 = error("stdin payload was not valid UTF-8");
const HelperMessage oversizedLine = error("helper message exceeds 1048576 bytes");
const HelperMessage noClient = error("no active RFCOMM client channel is connected");

const std::string pingHead = R"({"kind":"command","command":"ping")";
const std::string pingLine = pingHead + ",\"version\":1}\n";
std::string pingWith(const std::string& detailJSON) {
  return pingHead + ",\"detail\":" + detailJSON + ",\"version\":1}\n";
}
const std::string shutdownLine = "{\"kind\":\"command\",\"command\":\"shutdown\",\"version\":1}\n";
std::string protocolLine(const std::string& payloadJSON) {
  return R"({"kind":"protocol","payload":)" + payloadJSON + ",\"version\":1}\n";
}

// A detail for pingWith() that ends with `character`, padded so that the
// character's first `bytesBefore` bytes end the first 4096-byte read.
std::string detailAcrossReads(std::size_t bytesBefore, const std::string& character) {
  const std::size_t head = pingHead.size() + std::string(",\"detail\":\"").size();
  return std::string(4096 - bytesBefore - head, 'a') + character;
}

// True when a stop was requested before this call: run() then returns at once
// without running the work posted here, which would otherwise stop it.
bool loopWasStopped(platform::RunLoop& loop) {
  bool ranPostedWork = false;
  loop.post([&] {
    ranPostedWork = true;
    loop.stop();
  });
  return loop.run() == platform::statusOK && !ranPostedWork;
}

// The reader's collaborators: a bridge on a fake platform whose callbacks
// wait until runPending(), reports written to an in-memory file (or to
// `outputFd`), and an in-memory error file. The reader runs on the test
// thread; nothing runs the loop meanwhile.
struct ReaderRig {
  explicit ReaderRig(int outputFd = -1) : output(outputFd >= 0 ? outputFd : outputFile.fd()) {
    // As in the program: a closed output is a failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
  }

  // Starts the bridge and forgets its "listening" report.
  bool start() {
    const bool started = bridge.start().ok();
    outputFile.clear();
    return started;
  }

  std::shared_ptr<FakeChannel> connectClient() {
    std::shared_ptr<FakeChannel> channel = fake.makeChannel(1);
    fake.openChannel(channel);
    fake.runPending();
    outputFile.clear();
    return channel;
  }

  // Runs the reader over `fd` to its end; returns the exit status it left.
  std::int32_t readFrom(int fd) {
    runStdinReader({bridge, *loop, exitStatus, output, *stop, log, fd, errorFile.fd()});
    return exitStatus.load();
  }

  // The same over `input`, read in 4096-byte blocks.
  std::int32_t read(const std::string& input) {
    const MemoryFile file(input);
    return readFrom(file.fd());
  }

  std::vector<HelperMessage> messages() const { return decodeOutput(outputFile.contents()); }

  bool bridgeStopped() const {
    const std::vector<std::string> calls = fake.calls();
    return std::find(calls.begin(), calls.end(), "unregister") != calls.end() &&
           std::find(calls.begin(), calls.end(), "remove") != calls.end();
  }

  std::unique_ptr<platform::RunLoop> loop = std::move(platform::RunLoop::create()).value();
  FakePlatform fake;
  MemoryFile outputFile;
  MemoryFile errorFile;
  OutputWriter output;
  RFCOMMBridge bridge{fake,
                      [this](std::string_view name, std::optional<std::string_view> detail) {
                        (void)output.emitEvent(name, detail);
                      },
                      [this](std::string_view message) { (void)output.emitError(message); },
                      [this](std::string_view payload) {
                        (void)output.emitMessage(HelperMessage::makeProtocol(std::string(payload)));
                      }};
  std::atomic<std::int32_t> exitStatus{0};
  std::unique_ptr<StopRequest> stop = std::move(StopRequest::create()).value();
  RecordingLog log;
};

struct ReaderCase {
  const char* scenario;
  std::string input;
  std::vector<HelperMessage> messages;
};

// Each input gets its reports in order; every normal ending logs its reason,
// and nothing else (no part of a refused line either), stops the bridge and
// the loop and leaves the exit status at 0.
TEST(StdinReader, AnswersEachLineInOrder) {
  const std::string oversized(maxLineBytes + 1, 'x');
  const std::string splitDetail = detailAcrossReads(3, "\xF0\x9F\x98\x80");
  const ReaderCase cases[] = {
      {"input closed at once", "", {stdinClosed}},
      {"two messages in one read",
       pingWith("\"1\"") + pingLine,
       {pong("1"), pong("ping"), stdinClosed}},
      {"blank lines produce nothing", "\n\n" + pingLine + "\n\n", {pong("ping"), stdinClosed}},
      {"a last line without its line feed is not acted on",
       pingLine.substr(0, pingLine.size() - 1),
       {partialLine, stdinClosed}},
      {"shutdown drops the lines after it in the same read",
       pingLine + shutdownLine + pingLine + "not even json\n",
       {pong("ping"), shutdownRequested}},
      {"a payload without a client", protocolLine("\"hi\""), {noClient, stdinClosed}},
      {"a bad line between two good ones loses only itself",
       pingWith("\"1\"") + "{\"kind\":\"\xFF\"}\n" + pingWith("\"2\""),
       {pong("1"), invalidUTF8, pong("2"), stdinClosed}},
      {"CR LF lines decode",
       pingLine.substr(0, pingLine.size() - 1) + "\r\n",
       {pong("ping"), stdinClosed}},
      {"an oversized line is reported once and reading goes on",
       oversized + "\n" + pingLine,
       {oversizedLine, pong("ping"), stdinClosed}},
      {"input ending inside an oversized line adds no partial-line error",
       oversized + "yyy",
       {oversizedLine, stdinClosed}},
      {"a character split between two reads",
       pingWith("\"" + splitDetail + "\""),
       {pong(splitDetail), stdinClosed}},
      // Refused lines: their reports, and nothing of them in the log.
      {"an unknown command",
       "{\"kind\":\"command\",\"command\":\"private-command\",\"version\":1}\n",
       {error("unsupported helper command: private-command"), stdinClosed}},
      {"a line that is not JSON",
       "private words\n",
       {error("failed to decode helper command: data corrupted: the text is not valid JSON "
              "(syntax error at byte 1)"),
        stdinClosed}},
      {"a protocol message without its payload",
       "{\"kind\":\"protocol\",\"detail\":\"private detail\",\"version\":1}\n",
       {error("protocol helper message missing payload"), stdinClosed}},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    ReaderRig rig;
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.read(c.input), 0);
    EXPECT_EQ(rig.messages(), c.messages);
    EXPECT_EQ(rig.errorFile.contents(), "");
    EXPECT_TRUE(rig.bridgeStopped());
    EXPECT_TRUE(loopWasStopped(*rig.loop));
    const char* stop = c.messages.back() == shutdownRequested ? "shutdown requested; stopping"
                                                              : "stdin closed; stopping";
    EXPECT_EQ(rig.log.lines(), std::vector<std::string>{stop});
  }
}

// Payloads reach the connected client with one line feed added, each write
// reported; an empty payload sends a lone line feed and line feeds inside a
// payload go out unchanged.
TEST(StdinReader, SendsPayloadsToTheClient) {
  ReaderRig rig;
  ASSERT_TRUE(rig.start());
  const std::shared_ptr<FakeChannel> channel = rig.connectClient();
  EXPECT_EQ(rig.read(protocolLine("\"abc\"") + protocolLine("\"\"") + protocolLine("\"a\\nb\"")),
            0);
  EXPECT_EQ(channel->written(), "abc\n\na\nb\n");
  EXPECT_EQ(channel->writeSizes(), (std::vector<std::size_t>{4, 1, 4}));
  EXPECT_EQ(rig.messages(),
            (std::vector<HelperMessage>{wrote(4), wrote(1), wrote(4), stdinClosed}));
}

// A read that fails ends the reader with a line on standard error and status
// 2; the bridge is left running and nothing more reaches the output.
TEST(StdinReader, ReadFailureEndsTheReaderWithStatus2) {
  ReaderRig rig;
  ASSERT_TRUE(rig.start());
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  EXPECT_EQ(rig.readFrom(directory), 2);
  ::close(directory);
  EXPECT_EQ(rig.errorFile.contents(), "stdin reader failed: read failed: Is a directory\n");
  EXPECT_TRUE(rig.messages().empty());
  EXPECT_FALSE(rig.bridgeStopped());
  EXPECT_TRUE(loopWasStopped(*rig.loop));
}

struct ClosedOutputCase {
  const char* scenario;
  std::string input;
};

// A report that cannot be written is a reader failure, whichever report it
// is: the reason goes to standard error and the status becomes 2.
TEST(StdinReader, UnwritableReportEndsTheReaderWithStatus2) {
  const ClosedOutputCase cases[] = {
      {"a pong", pingLine},
      {"a decode error", "nope\n"},
      {"the partial-line error at end of input", "{"},
      {"the stopping event of a shutdown", shutdownLine},
      {"the stopping event at end of input", ""},
  };
  for (const ClosedOutputCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    TestPipe output;
    output.closeReadEnd();
    ReaderRig rig(output.writeEnd());
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.read(c.input), 2);
    EXPECT_EQ(rig.errorFile.contents(),
              "stdin reader failed: " + WriteError{EPIPE}.description() + "\n");
    EXPECT_TRUE(loopWasStopped(*rig.loop));
  }
}

}  // namespace
}  // namespace harlo
