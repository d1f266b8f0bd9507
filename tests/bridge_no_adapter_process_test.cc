// The real helper in bridge mode started while bluetoothd has no adapter: it
// registers, says it waits for a powered adapter, and says "listening" again
// once one is added.
#include "bridge_process_fixture.h"

namespace harlo::test_support {
namespace {

using BridgeWithoutAdapter = BridgeProcessTest;

TEST_F(BridgeWithoutAdapter, WaitsForOneThenListens) {
  ASSERT_NO_FATAL_FAILURE(startHelper(true, BluezSim::Options{.adapter = StartAdapter::none}));
  const nlohmann::json listening =
      eventMessage("listening", "RFCOMM service published on channel 1");
  EXPECT_EQ(nextMessage(), listening) << diagnostics();
  EXPECT_EQ(nextMessage(), eventMessage("ready", "stdio bridge ready on RFCOMM channel 1"))
      << diagnostics();
  EXPECT_EQ(nextMessage(), errorMessage("no powered Bluetooth adapter: waiting for one"))
      << diagnostics();

  const auto added = sim_->addAdapter();
  ASSERT_TRUE(added.ok()) << added.error().errorName << ": " << added.error().errorMessage;
  EXPECT_EQ(nextMessage(), listening) << diagnostics();
}

}  // namespace
}  // namespace harlo::test_support
