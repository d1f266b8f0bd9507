// The real helper binary in bridge mode, on a machine whose Bluetooth stack
// cannot be reached.
#include <gtest/gtest.h>

#include "subprocess.h"
#include "temp_dir.h"

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

}  // namespace
}  // namespace harlo::test_support
