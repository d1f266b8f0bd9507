#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/rfcomm_bridge_harness.h"

namespace harlo {
namespace {

using Reports = std::vector<std::string>;

// With no client, a write reports only the no-client error.
TEST(RFCOMMBridgeOutput, NoClientReportsError) {
  BridgeHarness harness;
  harness.start();
  harness.write("abc\n");
  EXPECT_EQ(harness.reports.take(), Reports{"error no active RFCOMM client channel is connected"});
  EXPECT_EQ(harness.platform.calls(),
            (std::vector<std::string>{"publish", "rfcommChannelID", "register 1"}));
}

// Buffers of any length go out whole in one platform write and are reported
// with their byte count and the service channel number.
TEST(RFCOMMBridgeOutput, WritesWholeBufferOnce) {
  for (const std::size_t size :
       {std::size_t{4}, std::size_t{65535}, std::size_t{65536}, std::size_t{200000}}) {
    SCOPED_TRACE(size);
    BridgeHarness harness;
    harness.start();
    auto channel = harness.connect(1);
    std::string data(size - 1, 'p');
    data += '\n';
    harness.write(data);
    EXPECT_EQ(channel->writeSizes(), std::vector<std::size_t>{size});
    EXPECT_EQ(channel->written(), data);
    EXPECT_EQ(harness.reports.take(), Reports{"event rfcomm-write | wrote " + std::to_string(size) +
                                              " bytes to RFCOMM channel 1"});
  }
}

// The report names the service's channel number, not the client channel's.
TEST(RFCOMMBridgeOutput, ReportNamesServiceChannel) {
  BridgeHarness harness;
  harness.platform.grantChannel(12);
  harness.start();
  harness.connect(3);
  harness.write("abc\n");
  EXPECT_EQ(harness.reports.take(),
            Reports{"event rfcomm-write | wrote 4 bytes to RFCOMM channel 12"});
}

// A failed write reports the signed status and keeps the channel active.
TEST(RFCOMMBridgeOutput, FailedWriteReportsStatusAndKeepsChannel) {
  struct Case {
    platform::Status status;
    std::string report;
  };
  const Case cases[] = {
      {-110, "error failed to write to RFCOMM channel 1: status=-110"},
      {-536870212, "error failed to write to RFCOMM channel 1: status=-536870212"},
      {5, "error failed to write to RFCOMM channel 1: status=5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    BridgeHarness harness;
    harness.start();
    auto channel = harness.connect(1);
    harness.platform.failWrites(c.status);
    harness.write("lost\n");
    EXPECT_EQ(harness.reports.take(), Reports{c.report});
    EXPECT_FALSE(channel->closed());

    harness.platform.failWrites(platform::statusOK);
    harness.write("ok\n");
    EXPECT_EQ(channel->written(), "ok\n");
    EXPECT_EQ(harness.reports.take(),
              Reports{"event rfcomm-write | wrote 3 bytes to RFCOMM channel 1"});
  }
}

}  // namespace
}  // namespace harlo
