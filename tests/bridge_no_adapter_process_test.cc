// The real helper in bridge mode while bluetoothd has no powered adapter: at
// start, or when Bluetooth is turned off or the adapter goes while a client
// is connected. It says once that it waits for a powered adapter, and
// "listening" again once one is back; a client's hello is answered then.
#include <algorithm>
#include <string>
#include <vector>

#include "bridge_process_fixture.h"
#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

using BridgeWithoutAdapter = BridgeProcessTest;

const nlohmann::json noAdapter = errorMessage("no powered Bluetooth adapter: waiting for one");

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

// With a client connected, the adapter is powered off or removed: the client
// is reported gone and the outage told once; powered on or added again, the
// helper listens again and serves a new client.
TEST_F(BridgeWithoutAdapter, OutageWithAClientConnected) {
  struct Case {
    const char* name;
    bool remove;  // remove and add the adapter, rather than power it off and on
  };
  for (const Case& c : {Case{"powered off and on", false}, Case{"removed and added", true}}) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(startReady());
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);

    const auto off = c.remove ? sim_->removeAdapter("/org/bluez/hci0")
                              : sim_->setAdapterPowered("/org/bluez/hci0", false);
    ASSERT_TRUE(off.ok()) << off.errorName << ": " << off.errorMessage;
    EXPECT_TRUE(waitForEndOfFile(client.get())) << "the client's link outlived the adapter";
    std::vector<nlohmann::json> seen{nextMessage(), nextMessage()};
    std::sort(seen.begin(), seen.end());
    std::vector<nlohmann::json> expected{
        eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1"),
        noAdapter};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected) << diagnostics();

    if (c.remove) {
      const auto added = sim_->addAdapter();
      ASSERT_TRUE(added.ok()) << added.error().errorName;
    } else {
      const auto on = sim_->setAdapterPowered("/org/bluez/hci0", true);
      ASSERT_TRUE(on.ok()) << on.errorName;
    }
    EXPECT_EQ(nextMessage(), eventMessage("listening", "RFCOMM service published on channel 1"))
        << diagnostics();
    UniqueFd next = connectClient();
    ASSERT_TRUE(next);
    ASSERT_TRUE(writeWithin(next.get(), "{\"type\":\"hello\"}\n"));
    EXPECT_EQ(readExactlyWithin(next.get(), helloAckLine.size()), std::string(helloAckLine))
        << diagnostics();
  }
}

}  // namespace
}  // namespace harlo::test_support
