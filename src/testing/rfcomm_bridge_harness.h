// Test support for RFCOMMBridge: a bridge on a queued FakePlatform whose
// reports are collected as text by BridgeReports (bridge_reports.h). Used by
// tests only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rfcomm/rfcomm_bridge.h"
#include "testing/bridge_reports.h"
#include "testing/fake_platform.h"

namespace harlo {

// A bridge on a fake platform without a run loop: every callback the fake
// fires runs when the harness (or the test) calls platform.runPending().
struct BridgeHarness {
  platform::FakePlatform platform;
  BridgeReports reports;
  RFCOMMBridge bridge{platform, reports.eventCallback(), reports.errorCallback(),
                      reports.protocolCallback()};

  // Starts the bridge and drops the "listening" report.
  void start() {
    const auto started = bridge.start();
    EXPECT_TRUE(started.ok());
    reports.take();
  }

  // Opens a client channel and delivers the open; drops the reports.
  std::shared_ptr<platform::FakeChannel> connect(std::uint8_t id) {
    auto channel = platform.makeChannel(id);
    platform.openChannel(channel);
    platform.runPending();
    reports.take();
    return channel;
  }

  // Delivers `bytes` from `channel` and returns the reports they caused.
  std::vector<std::string> send(const std::shared_ptr<platform::FakeChannel>& channel,
                                std::string_view bytes) {
    platform.deliverData(channel, bytes);
    platform.runPending();
    return reports.take();
  }

  void write(std::string_view bytes) {
    bridge.writeToChannel(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
};

}  // namespace harlo
