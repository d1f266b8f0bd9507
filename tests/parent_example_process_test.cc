// examples/harlo_parent.py, the example parent, run with python3 against the
// real helper on a private bus, with bluez-sim standing in for bluetoothd.
// The test types on the example's standard input, reads what it prints, and
// plays the Bluetooth client on the simulator's socket.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

constexpr char clientGone[] =
    "event client-disconnected: RFCOMM client disconnected from channel 1";

class ParentExample : public ::testing::Test {
 protected:
  // Starts a private bus, bluez-sim with `options`, and then the example with
  // `arguments` after its script, its environment being the bus's plus
  // `environment`. Fatal failure if any cannot be started.
  void start(const std::vector<std::string>& arguments, Subprocess::Environment environment = {},
             BluezSim::Options options = {}) {
    auto bus = PrivateBus::start();
    ASSERT_TRUE(bus.ok()) << bus.error();
    bus_ = std::move(bus.value());
    auto sim = BluezSim::start(*bus_, options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim_ = std::move(sim.value());

    std::vector<std::string> argv = {HARLO_PYTHON3_PATH, HARLO_PARENT_EXAMPLE_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Subprocess::Environment variables = bus_->environment();
    variables.insert(variables.end(), environment.begin(), environment.end());
    auto example = Subprocess::start(argv, variables);
    ASSERT_TRUE(example.ok()) << example.error();
    example_ = std::move(example.value());
  }

  // The example starts the helper and pings it.
  void startSession() {
    ASSERT_NO_FATAL_FAILURE(start({HARLO_HELPER_PATH}));
    expectPrinted("event listening: RFCOMM service published on channel 1");
    expectPrinted("event ready: stdio bridge ready on RFCOMM channel 1");
    expectPrinted("event pong: harlo_parent.py is here (answers #1)");
  }

  // Expects `line` as the next line the example prints on standard output.
  void expectPrinted(std::string_view line) {
    EXPECT_EQ(example_->readLine(Subprocess::Stream::out), std::optional<std::string>(line))
        << diagnostics();
  }

  void type(std::string_view line) {
    EXPECT_TRUE(example_->writeStdin(std::string(line) + "\n")) << diagnostics();
  }

  // Connects a Bluetooth client and expects the example to print it.
  UniqueFd connectClient() {
    auto client = sim_->connectClient();
    if (!client.ok()) {
      ADD_FAILURE() << client.error();
      return UniqueFd();
    }
    expectPrinted("event client-connected: Incoming RFCOMM client connected on channel 1");
    expectPrinted("(a client is connected)");
    return std::move(client.value());
  }

  std::string diagnostics() {
    return "example stdout:\n" + example_->transcript(Subprocess::Stream::out) +
           "example stderr:\n" + example_->transcript(Subprocess::Stream::err) +
           "bluez-sim log:\n" + sim_->log();
  }

  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BluezSim> sim_;
  std::unique_ptr<Subprocess> example_;  // declared last: ended first
};

// Typed lines reach the client and client lines are printed, each report
// with the number of the message it answers; the client's hello is answered
// by the helper, not the example; the end of the example's input shuts the
// helper down and the example exits with its status, 0.
TEST_F(ParentExample, SessionEndToEnd) {
  ASSERT_NO_FATAL_FAILURE(startSession());
  type("nobody there yet");
  expectPrinted("error: no active RFCOMM client channel is connected (answers #2)");

  const UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  // Quotation marks, a backslash, a solidus and non-ASCII text must all
  // arrive as typed: the example escapes them for JSON and sends UTF-8.
  const std::string typedLines[] = {
      "hello client",
      R"(say "hi" \o/)",
      "gr\u00fc\u00dfe \u2713",
  };
  int id = 3;
  for (const std::string& line : typedLines) {
    SCOPED_TRACE(line);
    type(line);
    EXPECT_EQ(readLineWithin(client.get()), line);
    expectPrinted("event rfcomm-write: wrote " + std::to_string(line.size() + 1) +
                  " bytes to RFCOMM channel 1 (answers #" + std::to_string(id++) + ")");
  }

  ASSERT_TRUE(writeWithin(client.get(), "hi parent\n"));
  expectPrinted("client: hi parent");

  ASSERT_TRUE(writeWithin(client.get(), "{\"type\":\"hello\"}\n"));
  EXPECT_EQ(readExactlyWithin(client.get(), helloAckLine.size()), helloAckLine);
  expectPrinted("event handshake: Received hello, responding with hello_ack directly");
  expectPrinted("event rfcomm-write: wrote 53 bytes to RFCOMM channel 1");
  expectPrinted("client: {\"type\":\"hello\"}");

  example_->closeStdin();
  EXPECT_EQ(example_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  std::vector<std::string> rest;
  while (auto line = example_->readLine(Subprocess::Stream::out)) rest.push_back(*line);
  const std::vector<std::string> ending = {
      clientGone, "(no client is connected)",
      "event stopping: shutdown requested (answers #" + std::to_string(id) + ")",
      "helper exited with status 0"};
  EXPECT_EQ(rest, ending);
  EXPECT_EQ(example_->transcript(Subprocess::Stream::err), "");
  EXPECT_TRUE(waitForEndOfFile(client.get())) << "the client is still connected";
}

// A helper that cannot start (bluetoothd refuses the registration), found
// through HARLO_HELPER: the example prints its standard-error line and exits
// with its status, 2, without waiting for its own input to end.
TEST_F(ParentExample, HelperThatCannotStart) {
  ASSERT_NO_FATAL_FAILURE(
      start({}, {{"HARLO_HELPER", HARLO_HELPER_PATH}}, BluezSim::Options{.failRegister = true}));
  EXPECT_EQ(example_->waitForExit(), ExitStatus::exitedWith(2)) << diagnostics();
  EXPECT_EQ(example_->transcript(Subprocess::Stream::err),
            "helper stderr: RFCOMM server bridge failed: "
            "startup(\"failed to publish local SDP service record\")\n");
  EXPECT_EQ(example_->transcript(Subprocess::Stream::out), "helper exited with status 2\n");
}

}  // namespace
}  // namespace harlo::test_support
