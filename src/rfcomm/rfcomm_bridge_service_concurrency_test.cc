#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/run_loop.h"
#include "rfcomm/rfcomm_bridge.h"
#include "testing/bridge_reports.h"
#include "testing/fake_platform.h"
#include "testing/test_watchdog.h"

namespace harlo {
namespace {

using platform::FakeChannel;
using platform::FakePlatform;
using platform::RunLoop;
using platform::TestWatchdog;

constexpr std::chrono::seconds bound{60};

// The service goes away and comes back while clients open and the reader
// thread writes and finally stops the bridge, racing the last return: no
// deadlock; once everything has run, the service keeps no record or
// registration of ours, every accepted client is closed, and no "listening"
// follows the end of stop().
TEST(RFCOMMBridgeServiceConcurrency, LossAndReturnRacingStop) {
  constexpr int rounds = 40;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    auto created = RunLoop::create();
    ASSERT_TRUE(created.ok());
    RunLoop& loop = *created.value();
    FakePlatform platform(loop);
    BridgeReports reports;
    RFCOMMBridge bridge(platform, reports.eventCallback(), reports.errorCallback(),
                        reports.protocolCallback());
    ASSERT_TRUE(bridge.start().ok());

    const int cycles = 1 + round % 4;
    std::vector<std::shared_ptr<FakeChannel>> channels;
    for (int c = 0; c <= cycles; ++c) channels.push_back(platform.makeChannel(c + 1));

    std::promise<void> lastReturnFired;
    std::thread service([&] {
      for (int c = 0; c < cycles; ++c) {
        platform.openChannel(channels[c]);
        platform.deliverData(channels[c], "line\n");
        platform.stopService();
        if (c % 2 == 1) platform.stopService();  // released, then gone: one loss
        platform.returnService();
      }
      platform.openChannel(channels[cycles]);
      lastReturnFired.set_value();
    });

    std::size_t reportsAtStop = 0;
    std::thread reader([&] {
      const std::string payload = "payload\n";
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
      for (int i = 0; i < 20; ++i) bridge.writeToChannel(std::span(bytes, payload.size()));
      lastReturnFired.get_future().wait();
      bridge.stop();
      reportsAtStop = reports.count();
      service.join();
      // Whatever is still queued runs before the loop stops.
      loop.post([&] { loop.stop(); });
    });

    {
      TestWatchdog watchdog("service loss and return racing stop", bound);
      EXPECT_EQ(loop.run(), platform::statusOK);
      reader.join();
      // Closes posted by the last callbacks run too.
      loop.post([&] { loop.stop(); });
      EXPECT_EQ(loop.run(), platform::statusOK);
    }

    EXPECT_EQ(platform.liveRecords(), 0u);
    EXPECT_EQ(platform.liveRegistrations(), 0u);
    const auto calls = platform.calls();
    for (const auto& channel : channels) {
      const bool accepted =
          std::find(calls.begin(), calls.end(),
                    "setDelegate " + std::to_string(channel->channelID())) != calls.end();
      if (accepted) {
        EXPECT_TRUE(channel->closed()) << "channel " << unsigned{channel->channelID()};
      }
    }
    const auto texts = reports.all();
    ASSERT_GE(texts.size(), reportsAtStop);
    EXPECT_EQ(std::count_if(
                  texts.begin() + static_cast<std::ptrdiff_t>(reportsAtStop), texts.end(),
                  [](const std::string& text) { return text.starts_with("event listening |"); }),
              0);
    EXPECT_LE(std::count(texts.begin(), texts.end(),
                         "error bluetooth service stopped: waiting for it to return"),
              cycles);
  }
}

}  // namespace
}  // namespace harlo
