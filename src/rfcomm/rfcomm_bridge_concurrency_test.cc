#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/run_loop.h"
#include "rfcomm/companion_service.h"
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

std::unique_ptr<RunLoop> makeLoop() {
  auto loop = RunLoop::create();
  EXPECT_TRUE(loop.ok());
  return std::move(loop).value();
}

void write(RFCOMMBridge& bridge, const std::string& bytes) {
  bridge.writeToChannel(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// Payload i has a length of its own, so its report names it.
std::string payload(int i) { return "p" + std::to_string(i) + std::string(i % 7, '.') + "\n"; }

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// A reader-like thread writes payloads and finally stops the bridge while the
// run loop delivers opens, data with hellos, and closes: no report is torn or
// out of order on either thread, no write interleaves another, and stop
// leaves every channel closed.
TEST(RFCOMMBridgeConcurrency, WritesAndStopBesideLoopCallbacks) {
  auto loop = makeLoop();
  FakePlatform platform(*loop);
  BridgeReports reports;
  RFCOMMBridge bridge(platform, reports.eventCallback(), reports.errorCallback(),
                      reports.protocolCallback());
  ASSERT_TRUE(bridge.start().ok());
  const std::thread::id loopThread = std::this_thread::get_id();

  constexpr int clients = 60;
  constexpr int payloads = 400;
  std::vector<std::shared_ptr<FakeChannel>> channels;
  for (int r = 0; r < clients; ++r) channels.push_back(platform.makeChannel(r + 1));

  std::promise<void> scriptDone;
  std::thread client([&] {
    for (int r = 0; r < clients; ++r) {
      platform.openChannel(channels[r]);
      platform.deliverData(channels[r], "{\"type\":\"hel");
      platform.deliverData(channels[r], "lo\"}\nline " + std::to_string(r) + "\n");
      // Even clients leave by themselves; odd ones are replaced by the next.
      if (r % 2 == 0) platform.closeByPeer(channels[r]);
    }
    loop->post([&] { scriptDone.set_value(); });
  });

  std::thread::id writerThread;
  std::thread writer([&] {
    writerThread = std::this_thread::get_id();
    for (int i = 0; i < payloads; ++i) write(bridge, payload(i));
    scriptDone.get_future().wait();
    bridge.stop();
    loop->stop();
  });

  {
    TestWatchdog watchdog("writes and stop beside loop callbacks", bound);
    EXPECT_EQ(loop->run(), platform::statusOK);
    client.join();
    writer.join();
  }

  // The writer's reports: one per payload, in order, each whole.
  const std::vector<std::string> written = reports.on(writerThread);
  ASSERT_EQ(written.size(), static_cast<std::size_t>(payloads));
  int delivered = 0;
  for (int i = 0; i < payloads; ++i) {
    const std::string wrote = "event rfcomm-write | wrote " + std::to_string(payload(i).size()) +
                              " bytes to RFCOMM channel 1";
    if (written[i] == wrote) {
      ++delivered;
      continue;
    }
    EXPECT_TRUE(written[i] == "error no active RFCOMM client channel is connected" ||
                written[i] == "error failed to write to RFCOMM channel 1: status=-32")
        << i << ": " << written[i];
  }

  // The loop's reports: "listening" from start, then each client's script in
  // order; each client's disconnection once, after its connection.
  std::vector<std::string> expected = {"event listening | RFCOMM service published on channel 1"};
  for (int r = 0; r < clients; ++r) {
    expected.push_back("event client-connected | Incoming RFCOMM client connected on channel " +
                       std::to_string(r + 1));
    expected.push_back("event handshake | Received hello, responding with hello_ack directly");
    expected.push_back("event rfcomm-write | wrote 53 bytes to RFCOMM channel 1");
    expected.push_back("protocol {\"type\":\"hello\"}");
    expected.push_back("protocol line " + std::to_string(r));
  }
  std::vector<std::string> connectionReports;
  std::vector<int> disconnectedAt(clients, -1);
  std::vector<int> connectedAt(clients, -1);
  int connections = 0;
  for (const std::string& text : reports.on(loopThread)) {
    const std::string prefix =
        "event client-disconnected | RFCOMM client disconnected from channel ";
    if (text.rfind(prefix, 0) == 0) {
      const int r = std::stoi(text.substr(prefix.size())) - 1;
      ASSERT_TRUE(r >= 0 && r < clients) << text;
      EXPECT_EQ(disconnectedAt[r], -1) << "second close of channel " << r + 1;
      disconnectedAt[r] = static_cast<int>(connectionReports.size());
      continue;
    }
    if (text.rfind("event client-connected", 0) == 0 && connections < clients) {
      connectedAt[connections++] = static_cast<int>(connectionReports.size());
    }
    connectionReports.push_back(text);
  }
  EXPECT_EQ(connectionReports, expected);
  for (int r = 0; r < clients; ++r) {
    EXPECT_GT(disconnectedAt[r], connectedAt[r]) << "channel " << r + 1;
  }
  EXPECT_EQ(reports.count(), written.size() + expected.size() + clients);

  // What reached the channels: whole lines, one hello_ack each, payloads in
  // order, as many as were reported written.
  const std::string ack(helloAckPayload.substr(0, helloAckPayload.size() - 1));
  int payloadLines = 0;
  for (const auto& channel : channels) {
    EXPECT_TRUE(channel->closed());
    int acks = 0;
    int lastPayload = -1;
    for (const std::string& line : splitLines(channel->written())) {
      if (line == ack) {
        ++acks;
        continue;
      }
      ASSERT_EQ(line.front(), 'p') << line;
      const int i = std::stoi(line.substr(1));
      EXPECT_EQ(line + "\n", payload(i));
      EXPECT_GT(i, lastPayload);
      lastPayload = i;
      ++payloadLines;
    }
    EXPECT_EQ(acks, 1);
  }
  EXPECT_EQ(payloadLines, delivered);

  const auto calls = platform.calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "unregister");
  EXPECT_EQ(calls.back(), "remove");
}

// stop() from another thread while clients keep opening: no deadlock, and
// every client the bridge accepted is closed once stop has returned.
TEST(RFCOMMBridgeConcurrency, StopWhileClientsOpen) {
  auto loop = makeLoop();
  FakePlatform platform(*loop);
  BridgeReports reports;
  std::promise<void> firstClient;
  std::once_flag firstClientOnce;
  auto onEvent = reports.eventCallback();
  RFCOMMBridge bridge(
      platform,
      [&](std::string_view event, std::optional<std::string_view> detail) {
        onEvent(event, detail);
        if (event == "client-connected")
          std::call_once(firstClientOnce, [&] { firstClient.set_value(); });
      },
      reports.errorCallback(), reports.protocolCallback());
  ASSERT_TRUE(bridge.start().ok());

  constexpr int clients = 250;
  std::vector<std::shared_ptr<FakeChannel>> channels;
  for (int r = 0; r < clients; ++r) channels.push_back(platform.makeChannel(r + 1));

  std::thread client([&] {
    for (int r = 0; r < clients; ++r) {
      platform.openChannel(channels[r]);
      platform.deliverData(channels[r], "{\"type\":\"hello\"}\n");
    }
  });
  std::size_t callsAtStop = 0;
  std::thread stopper([&] {
    firstClient.get_future().wait();
    write(bridge, "x\n");
    bridge.stop();
    callsAtStop = platform.calls().size();
    loop->stop();
  });

  {
    TestWatchdog watchdog("stop while clients open", bound);
    EXPECT_EQ(loop->run(), platform::statusOK);
    client.join();
    stopper.join();
  }

  const auto calls = platform.calls();
  ASSERT_GE(calls.size(), callsAtStop);
  EXPECT_EQ(calls.size(), callsAtStop) << "a platform call after stop returned: " << calls.back();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "unregister"), calls.end());
  for (int r = 0; r < clients; ++r) {
    const bool accepted = std::find(calls.begin(), calls.end(),
                                    "setDelegate " + std::to_string(r + 1)) != calls.end();
    if (accepted) {
      EXPECT_TRUE(channels[r]->closed()) << "channel " << r + 1 << " left open";
    }
  }
}

}  // namespace
}  // namespace harlo
