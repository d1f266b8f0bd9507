// The real helper in bridge mode fed lines far past the line limit, from the
// parent and from the client: each is reported once and skipped, what follows
// is served, and the helper never holds such a line in memory.
#include <string>

#include "bridge_process_fixture.h"
#include "harness_names.h"
#include "peak_memory_check.h"

namespace harlo::test_support {
namespace {

constexpr std::size_t mebibyte = 1024 * 1024;
constexpr std::size_t hostileBytes = 64 * mebibyte;

const nlohmann::json parentLineTooLong = errorMessage("helper message exceeds 1048576 bytes");
const nlohmann::json clientLineTooLong = errorMessage("RFCOMM client line exceeds 1048576 bytes");

class OversizedLineProcess : public BridgeProcessTest {
 protected:
  // Writes `total` bytes with no line feed, one mebibyte at a time, through
  // `write`; false as soon as one write is not taken.
  template <typename Write>
  static bool writeWithoutLineFeed(std::size_t total, Write write) {
    std::string block(mebibyte, 'z');
    block.replace(0, 3, "\xE2\x9C\x93");  // a multi-byte character at every block's start
    for (std::size_t done = 0; done < total; done += block.size()) {
      if (!write(block)) return false;
    }
    return true;
  }
};

// 64 MiB from the parent without a line feed, then a ping: one error, then
// the pong, nothing else.
TEST_F(OversizedLineProcess, ParentLineIsReportedOnceAndSkipped) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  ASSERT_TRUE(writeWithoutLineFeed(hostileBytes, [&](const std::string& block) {
    return helper_->writeStdin(block);
  })) << diagnostics();
  send("");
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), parentLineTooLong);
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping"));
  expectPeakMemoryUnderBound(helper_->pid(), "64 MiB parent line");
}

// 64 MiB from the parent, then end of input inside that line: one error and
// the stop, without a partial-message error, and status 0.
TEST_F(OversizedLineProcess, ParentLineCutByEndOfInput) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  ASSERT_TRUE(writeWithoutLineFeed(hostileBytes, [&](const std::string& block) {
    return helper_->writeStdin(block);
  })) << diagnostics();
  expectPeakMemoryUnderBound(helper_->pid(), "64 MiB parent line, then end of input");
  helper_->closeStdin();
  EXPECT_EQ(nextMessage(), parentLineTooLong);
  EXPECT_EQ(nextMessage(), eventMessage("stopping", "stdin closed"));
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  EXPECT_EQ(helper_->readLine(Subprocess::Stream::out, std::chrono::milliseconds(0)), std::nullopt);
}

// 64 MiB from the client without a line feed, then a normal line: one error,
// then the line as a protocol message, nothing else.
TEST_F(OversizedLineProcess, ClientLineIsReportedOnceAndSkipped) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  ASSERT_TRUE(writeWithoutLineFeed(hostileBytes, [&](const std::string& block) {
    return writeWithin(client.get(), block);
  })) << diagnostics();
  ASSERT_TRUE(writeWithin(client.get(), "\nafter the flood\n"));
  EXPECT_EQ(nextMessage(), clientLineTooLong);
  EXPECT_EQ(nextMessage(), protocolMessage("after the flood"));
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping"));
  expectPeakMemoryUnderBound(helper_->pid(), "64 MiB client line");
}

}  // namespace
}  // namespace harlo::test_support
