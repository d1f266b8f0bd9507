// The development programs as a person runs them: bluez-sim and
// harlo-rfcomm-client answer --help, and harlo-rfcomm-client --unix plays a
// Bluetooth client of the real helper through bluez-sim's client socket, as
// the README's session by hand does.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "harness_names.h"

namespace harlo::test_support {
namespace {

constexpr char helloAck[] = R"({"type":"hello_ack","version":1,"platform":"Darwin"})";

// Each program prints its usage on standard output, nothing on standard
// error, and exits 0; it neither connects nor waits for input.
TEST(ToolHelp, PrintsUsageOnStandardOutput) {
  const std::pair<const char*, std::string> tools[] = {
      {HARLO_BLUEZ_SIM_PATH, "usage: bluez-sim "},
      {HARLO_RFCOMM_CLIENT_PATH, "usage: harlo-rfcomm-client "},
  };
  for (const auto& [program, usage] : tools) {
    SCOPED_TRACE(program);
    auto child = Subprocess::start({program, "--help"});
    ASSERT_TRUE(child.ok()) << child.error();
    EXPECT_EQ(child.value()->waitForExit(), ExitStatus::exitedWith(0));
    const std::string out = child.value()->transcript(Subprocess::Stream::out);
    EXPECT_EQ(out.rfind(usage, 0), 0u) << out;
    EXPECT_TRUE(out.ends_with('\n'));
    EXPECT_EQ(child.value()->transcript(Subprocess::Stream::err), "");
  }
}

// The client's input reaches the helper, which answers the hello, and a
// parent payload reaches the client's output; once its input has ended and
// the helper stays quiet, the client closes and exits 0, and the helper
// sees the client go.
TEST(RfcommClientUnix, TalksToTheHelperThroughBluezSim) {
  auto bus = PrivateBus::start();
  ASSERT_TRUE(bus.ok()) << bus.error();
  auto sim = BluezSim::start(*bus.value());
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto started = Subprocess::start({HARLO_HELPER_PATH, "--stdio"}, bus.value()->environment());
  ASSERT_TRUE(started.ok()) << started.error();
  Subprocess& helper = *started.value();
  ASSERT_TRUE(helper.waitForLineContaining(Subprocess::Stream::out, R"("event":"ready")"))
      << helper.transcript(Subprocess::Stream::err);

  const std::string socket = sim.value()->socketPath();
  auto connected =
      Subprocess::start({HARLO_RFCOMM_CLIENT_PATH, "--unix", socket, "--idle-ms", "100"});
  ASSERT_TRUE(connected.ok()) << connected.error();
  Subprocess& client = *connected.value();
  EXPECT_EQ(client.readLine(Subprocess::Stream::err),
            "harlo-rfcomm-client: connected to " + socket);
  ASSERT_TRUE(helper.waitForLineContaining(Subprocess::Stream::out, "client-connected"));

  ASSERT_TRUE(client.writeStdin("{\"type\":\"hello\"}\n"));
  EXPECT_EQ(client.readLine(Subprocess::Stream::out), helloAck);
  EXPECT_TRUE(helper.waitForLineContaining(
      Subprocess::Stream::out, R"({"kind":"protocol","payload":"{\"type\":\"hello\"}")"));

  ASSERT_TRUE(helper.writeStdin(
      "{\"kind\":\"protocol\",\"payload\":\"gr\u00fc\u00dfe \u2713\",\"version\":1}\n"));
  EXPECT_EQ(client.readLine(Subprocess::Stream::out), "gr\u00fc\u00dfe \u2713");

  client.closeStdin();
  EXPECT_EQ(client.waitForExit(), ExitStatus::exitedWith(0));
  EXPECT_EQ(client.readLine(Subprocess::Stream::err),
            "harlo-rfcomm-client: input ended and the peer stayed idle");
  EXPECT_TRUE(helper.waitForLineContaining(Subprocess::Stream::out, "client-disconnected"));
  helper.closeStdin();
  EXPECT_EQ(helper.waitForExit(), ExitStatus::exitedWith(0));
}

}  // namespace
}  // namespace harlo::test_support
