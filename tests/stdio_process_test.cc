// The real helper binary in bridge mode, on a machine whose Bluetooth stack
// cannot be reached or whose libsystemd cannot be loaded.
#include <gtest/gtest.h>

#include <fstream>

#include "harness_names.h"

namespace harlo::test_support {
namespace {

// With no Bluetooth stack to publish on (the system bus address names a
// socket that does not exist), "--stdio" prints the start failure on standard
// error, nothing on standard output, and exits with status 2.
TEST(StdioProcess, BridgeModeWithoutBluetoothFailsToPublish) {
  auto folder = TempDir::create("harlo-stdio");
  ASSERT_TRUE(folder.ok()) << folder.error();
  auto child = Subprocess::start(
      {HARLO_HELPER_PATH, "--stdio"},
      {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + folder.value()->file("no-such-bus")}});
  ASSERT_TRUE(child.ok()) << child.error();
  Subprocess& helper = *child.value();

  EXPECT_EQ(helper.waitForExit(), ExitStatus::exitedWith(2));
  EXPECT_EQ(
      helper.transcript(Subprocess::Stream::err),
      "RFCOMM server bridge failed: startup(\"failed to publish local SDP service record\")\n");
  EXPECT_EQ(helper.transcript(Subprocess::Stream::out), "");
}

// libsystemd is loaded only when bridge mode starts. A copy that cannot be
// loaded (here an empty file found first through LD_LIBRARY_PATH) ends the
// mode with the start-failure line and status 2, while the fixed reports,
// which never load it, still work.
TEST(StdioProcess, UnloadableLibsystemdEndsBridgeModeCleanly) {
  auto folder = TempDir::create("harlo-stdio");
  ASSERT_TRUE(folder.ok()) << folder.error();
  std::ofstream(folder.value()->file("libsystemd.so.0")).close();
  const Subprocess::Environment environment = {{"LD_LIBRARY_PATH", folder.value()->path()}};

  auto bridge = Subprocess::start({HARLO_HELPER_PATH, "--stdio"}, environment);
  ASSERT_TRUE(bridge.ok()) << bridge.error();
  EXPECT_EQ(bridge.value()->waitForExit(), ExitStatus::exitedWith(2));
  EXPECT_EQ(bridge.value()->transcript(Subprocess::Stream::err),
            "RFCOMM server bridge failed: cannot create the main run loop: Can not access a "
            "needed shared library\n");
  EXPECT_EQ(bridge.value()->transcript(Subprocess::Stream::out), "");

  auto report = Subprocess::start({HARLO_HELPER_PATH, "--self-test"}, environment);
  ASSERT_TRUE(report.ok()) << report.error();
  EXPECT_EQ(report.value()->waitForExit(), ExitStatus::exitedWith(0));
}

}  // namespace
}  // namespace harlo::test_support
