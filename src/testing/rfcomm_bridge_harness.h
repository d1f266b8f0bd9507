// Test support for RFCOMMBridge: a bridge on a queued FakePlatform whose
// reports are collected as text.
//
// Reports read "event <name> | <detail>", "error <message>" and
// "protocol <payload>". Used by tests only.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/fake_platform.h"
#include "rfcomm/rfcomm_bridge.h"

namespace harlo {

// Collects the bridge's reports; its callbacks may be called from any thread.
class BridgeReports final {
 public:
  RFCOMMBridge::EventCallback eventCallback() {
    return [this](std::string_view event, std::optional<std::string_view> detail) {
      add("event " + std::string(event) + " | " + std::string(detail.value_or("<none>")));
    };
  }
  RFCOMMBridge::ErrorCallback errorCallback() {
    return [this](std::string_view message) { add("error " + std::string(message)); };
  }
  RFCOMMBridge::ProtocolCallback protocolCallback() {
    return [this](std::string_view payload) { add("protocol " + std::string(payload)); };
  }

  // The reports since the last take(), which it clears.
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(reports_, {});
  }

 private:
  void add(std::string report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
  }

  std::mutex mutex_;
  std::vector<std::string> reports_;  // guarded by mutex_
};

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
