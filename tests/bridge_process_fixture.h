// BridgeProcessTest: runs the real helper in bridge mode ("--stdio") on a
// private bus, with bluez-sim standing in for bluetoothd. The test plays the
// parent on the helper's standard input and output (one JSON message per
// line) and Bluetooth clients on the simulator's client socket.
//
//   TEST_F(BridgeProcessTest, Something) {
//     ASSERT_NO_FATAL_FAILURE(startReady());          // "listening", "ready"
//     UniqueFd client = connectClient();              // "client-connected"
//     ASSERT_TRUE(client);
//     send(protocolCommand("hi"));
//     EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", "wrote 3 bytes to RFCOMM channel 1"));
//   }
//
// Messages are compared as JSON values, field by field, so key order does
// not matter. Every wait is bounded (defaultWait unless given). The helper,
// the simulator and the bus are ended when the fixture goes, in that order,
// whatever the test's outcome (see TearDown). One thread uses the fixture.
//
// A test that reads what the helper sends to the system log calls
// captureSystemLog() first (in SetUp, say): every helper started afterwards
// logs to syslog_ (syslog_capture.h), and the test skips where that cannot
// be done.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness_names.h"
#include "syslog_capture.h"

namespace harlo::test_support {

// What the helper writes to the parent, as JSON values with version 1.
nlohmann::json eventMessage(std::string_view event, std::string_view detail);
nlohmann::json errorMessage(std::string_view detail);
nlohmann::json protocolMessage(std::string_view payload);

// Lines the parent sends (without their line feed).
std::string commandLine(std::string_view command);
std::string protocolCommand(std::string_view payload);

class BridgeProcessTest : public ::testing::Test {
 protected:
  // A helper still running is ended as a parent ends it, by closing its
  // standard input, and must exit 0; then neither the helper nor the
  // simulator may have written a sanitizer report (an instrumented build
  // reports at exit, on standard error, which no test would read otherwise).
  void TearDown() override;

  // From now on helpers start inside a SyslogCapture, syslog_. Skips the
  // test (GTEST_SKIP, which from SetUp skips its body) where no namespace
  // can be made for it; fatal failure if the capture cannot be set up.
  void captureSystemLog();

  // Ends any helper, simulator and bus started before, then starts a private
  // bus with `policy`, bluez-sim with `options` unless `withSim` is false, and
  // the helper with the bus's environment. Fatal failure if any cannot be
  // started.
  void startHelper(bool withSim = true, BluezSim::Options options = {},
                   BusPolicy policy = BusPolicy::permissive);

  // Starts the helper in bridge mode with `environment` (through syslog_ if
  // it is set), for a test that runs one beside helper_ or on a bus of its
  // own. Fails with the reason.
  Result<std::unique_ptr<Subprocess>, std::string> launchHelper(
      const Subprocess::Environment& environment);

  // startHelper(), then expects "listening" and "ready" on channel 1 as the
  // first two messages. Fatal failure otherwise.
  void startReady();

  // The helper's next standard-output line decoded as JSON. A line that is
  // not JSON adds a failure and is returned as a JSON string; no line within
  // `bound` adds a failure and returns JSON null.
  nlohmann::json nextMessage(std::chrono::milliseconds bound = defaultWait);

  // Reads messages until one equals `expected`, all within `bound`; true if
  // it came. The messages read before it are appended to `skipped`, if given.
  bool awaitMessage(const nlohmann::json& expected, std::chrono::milliseconds bound,
                    std::vector<nlohmann::json>* skipped = nullptr);

  // Writes `line` and a line feed to the helper's standard input; adds a
  // failure if the helper does not take it.
  void send(std::string_view line);

  // Connects one simulated Bluetooth client and expects "client-connected"
  // as the helper's next message. An empty UniqueFd (with a failure added)
  // if either does not happen.
  UniqueFd connectClient();

  // A simulated LE client with ATT MTU `mtu` (the control calls of
  // BluezSim) connects and subscribes, and the helper's next message must
  // be its "client-connected". Its device path, or "" with a failure added.
  std::string connectLowEnergyClient(std::uint16_t mtu);

  // The LE client `device` writes `bytes` in chunks of at most `mtu` - 3
  // bytes, as a client must; a failure is added for a refused write.
  void writeLowEnergy(const std::string& device, std::string_view bytes, std::uint16_t mtu);

  // The next line (without its line feed) `device` receives in
  // notifications, all within `bound` (LowEnergyLink); each notification
  // must carry at most `mtu` - 3 bytes, or a failure is added. What follows
  // the line is kept for the next call. Nothing, with a failure added, when
  // no whole line comes.
  std::optional<std::string> readLowEnergyLine(const std::string& device, std::uint16_t mtu,
                                               std::chrono::milliseconds bound = defaultWait);

  // The one registration bluez-sim records now (the helper's), or nothing
  // if there is none. A failure is added if the record file cannot be read
  // or holds more than one.
  std::optional<RecordedProfile> helperRegistration();

  // The helper's standard error and the simulator's log, for failure
  // messages.
  std::string diagnostics();

  // Variables added to the environment of every helper started from now on.
  Subprocess::Environment helperEnvironment_;
  std::unique_ptr<SyslogCapture> syslog_;  // declared first: outlives the helper
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BluezSim> sim_;
  std::unique_ptr<Subprocess> helper_;  // declared last: ended first

 private:
  // The link of `device`, made with `mtu` if it has none yet.
  LowEnergyLink& lowEnergyLink(const std::string& device, std::uint16_t mtu);

  std::map<std::string, LowEnergyLink> lowEnergyLinks_;  // by device path
};

}  // namespace harlo::test_support
