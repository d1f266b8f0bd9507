#include "rfcomm/rfcomm_bridge.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rfcomm/service_description.h"
#include "testing/rfcomm_bridge_harness.h"

namespace harlo {
namespace {

using Calls = std::vector<std::string>;
using Reports = std::vector<std::string>;

// start publishes the description for channel 1, registers on the channel the
// platform granted, and reports "listening" with it.
TEST(RFCOMMBridge, StartListensOnGrantedChannel) {
  for (const std::uint8_t granted : {std::uint8_t{1}, std::uint8_t{12}, std::uint8_t{255}}) {
    SCOPED_TRACE(unsigned{granted});
    BridgeHarness harness;
    harness.platform.grantChannel(granted);
    const auto started = harness.bridge.start();
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(started.value(), granted);
    EXPECT_EQ(harness.bridge.activeChannelID(), granted);
    const std::string id = std::to_string(unsigned{granted});
    EXPECT_EQ(harness.reports.take(),
              Reports{"event listening | RFCOMM service published on channel " + id});
    EXPECT_EQ(harness.platform.calls(), (Calls{"publish", "rfcommChannelID", "register " + id}));
    EXPECT_EQ(harness.platform.publishedDescription(), makeServiceDescription(1).value());
  }
}

// Each failing step of start gives its own error, reports nothing, and leaves
// behind exactly what stop() must withdraw.
TEST(RFCOMMBridge, StartFailuresAndTheStopThatFollows) {
  struct Case {
    const char* name;
    std::function<void(platform::FakePlatform&)> arrange;
    std::string message;
    Calls startCalls;
    Calls stopCalls;
  };
  const Case cases[] = {
      {"publication refused",
       [](auto& p) { p.refusePublication(true); },
       "failed to publish local SDP service record",
       {"publish"},
       {}},
      {"channel query fails with a negative status",
       [](auto& p) { p.failChannelQuery(-536870195); },
       "published service record did not expose an RFCOMM channel id: -536870195",
       {"publish", "rfcommChannelID"},
       {"remove"}},
      {"channel query fails with a positive status",
       [](auto& p) { p.failChannelQuery(268); },
       "published service record did not expose an RFCOMM channel id: 268",
       {"publish", "rfcommChannelID"},
       {"remove"}},
      {"registration refused",
       [](auto& p) {
         p.grantChannel(7);
         p.refuseRegistration(true);
       },
       "failed to register RFCOMM open notifications for channel 7",
       {"publish", "rfcommChannelID", "register 7"},
       {"remove"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness harness;
    c.arrange(harness.platform);
    const auto started = harness.bridge.start();
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error(), BridgeError{c.message});
    EXPECT_EQ(harness.bridge.activeChannelID(), 0);
    EXPECT_EQ(harness.reports.take(), Reports{});
    EXPECT_EQ(harness.platform.calls(), c.startCalls);

    harness.bridge.stop();
    Calls expected = c.startCalls;
    expected.insert(expected.end(), c.stopCalls.begin(), c.stopCalls.end());
    EXPECT_EQ(harness.platform.calls(), expected);
  }
}

// A second client replaces the first: the first is closed, the buffer starts
// afresh, and the first's later close leaves the second active.
TEST(RFCOMMBridge, NewerClientReplacesOlder) {
  BridgeHarness harness;
  harness.start();
  auto first = harness.connect(1);
  EXPECT_EQ(harness.send(first, "abc"), Reports{});

  auto second = harness.platform.makeChannel(2);
  harness.platform.openChannel(second);
  harness.platform.deliverData(second, "de");
  harness.platform.runPending();  // the open, the data, then the first's close
  EXPECT_TRUE(first->closed());
  EXPECT_FALSE(second->closed());
  EXPECT_EQ(harness.reports.take(),
            (Reports{"event client-connected | Incoming RFCOMM client connected on channel 2",
                     "event client-disconnected | RFCOMM client disconnected from channel 1"}));

  EXPECT_EQ(harness.send(second, "f\n"), Reports{"protocol def"});
  harness.write("x\n");
  EXPECT_EQ(second->written(), "x\n");
  EXPECT_EQ(first->written(), "");
  EXPECT_EQ(harness.reports.take(),
            Reports{"event rfcomm-write | wrote 2 bytes to RFCOMM channel 1"});
  EXPECT_EQ(harness.bridge.activeChannelID(), 1);
}

// The active channel opened again closes nothing but empties the buffer and
// reports "client-connected" again.
TEST(RFCOMMBridge, SameChannelOpenedTwice) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(3);
  EXPECT_EQ(harness.send(channel, "ab"), Reports{});
  harness.platform.openChannel(channel);
  harness.platform.runPending();
  EXPECT_EQ(harness.reports.take(),
            Reports{"event client-connected | Incoming RFCOMM client connected on channel 3"});
  EXPECT_FALSE(channel->closed());
  EXPECT_EQ(harness.send(channel, "c\n"), Reports{"protocol c"});
  EXPECT_EQ(harness.platform.calls(),
            (Calls{"publish", "rfcommChannelID", "register 1", "setDelegate 3", "setDelegate 3"}));
}

// A refused delegate is reported, then the client is still reported connected
// and stays the active channel.
TEST(RFCOMMBridge, RefusedDelegateReportsErrorThenConnected) {
  BridgeHarness harness;
  harness.start();
  harness.platform.setDelegateStatus(-536870212);
  auto channel = harness.platform.makeChannel(4);
  harness.platform.openChannel(channel);
  harness.platform.runPending();
  EXPECT_EQ(harness.reports.take(),
            (Reports{"error failed to set RFCOMM channel delegate: -536870212",
                     "event client-connected | Incoming RFCOMM client connected on channel 4"}));
  harness.write("hi\n");
  EXPECT_EQ(channel->written(), "hi\n");
}

// An open completion reports only a non-zero status and changes nothing.
TEST(RFCOMMBridge, OpenCompletionReportsOnlyFailures) {
  struct Case {
    platform::Status status;
    Reports expected;
  };
  const Case cases[] = {
      {0, {}},
      {-5, {"error RFCOMM channel open failed with status -5"}},
      {-536870212, {"error RFCOMM channel open failed with status -536870212"}},
      {7, {"error RFCOMM channel open failed with status 7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    BridgeHarness harness;
    harness.start();
    auto channel = harness.connect(1);
    harness.platform.completeOpen(channel, c.status);
    harness.platform.runPending();
    EXPECT_EQ(harness.reports.take(), c.expected);
    harness.write("k\n");
    EXPECT_EQ(channel->written(), "k\n");
  }
}

// The active channel's close is reported, drops the unfinished line, and
// leaves no client while the service channel number stays.
TEST(RFCOMMBridge, CloseOfActiveChannel) {
  BridgeHarness harness;
  harness.platform.grantChannel(9);
  harness.start();
  auto channel = harness.connect(9);
  EXPECT_EQ(harness.send(channel, "a\nbc"), Reports{"protocol a"});
  harness.platform.closeByPeer(channel);
  harness.platform.runPending();
  EXPECT_EQ(harness.reports.take(),
            Reports{"event client-disconnected | RFCOMM client disconnected from channel 9"});

  const std::string rest = "d\n";
  harness.bridge.rfcommChannelData(
      *channel, std::span(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size()));
  EXPECT_EQ(harness.reports.take(), Reports{"protocol d"});
  harness.write("x\n");
  EXPECT_EQ(harness.reports.take(), Reports{"error no active RFCOMM client channel is connected"});
  EXPECT_EQ(harness.bridge.activeChannelID(), 9);
}

// stop closes the client, unregisters, withdraws, drops the unfinished line
// and reports nothing; a second stop calls nothing.
TEST(RFCOMMBridge, StopTearsDownInOrderOnce) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(2);
  EXPECT_EQ(harness.send(channel, "partial"), Reports{});
  const Calls before = harness.platform.calls();

  harness.bridge.stop();
  Calls expected = before;
  expected.insert(expected.end(), {"close 2", "unregister", "remove"});
  EXPECT_EQ(harness.platform.calls(), expected);
  EXPECT_EQ(harness.reports.take(), Reports{});

  harness.bridge.stop();
  EXPECT_EQ(harness.platform.calls(), expected);
  EXPECT_EQ(harness.bridge.activeChannelID(), 1);

  harness.platform.runPending();  // the close that stop caused
  EXPECT_EQ(harness.reports.take(),
            Reports{"event client-disconnected | RFCOMM client disconnected from channel 2"});
  const std::string rest = "end\n";
  harness.bridge.rfcommChannelData(
      *channel, std::span(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size()));
  EXPECT_EQ(harness.reports.take(), Reports{"protocol end"});
}

// A bridge that was never started calls no platform operation on stop.
TEST(RFCOMMBridge, StopBeforeStartCallsNothing) {
  BridgeHarness harness;
  harness.bridge.stop();
  harness.bridge.stop();
  EXPECT_EQ(harness.platform.calls(), Calls{});
  EXPECT_EQ(harness.reports.take(), Reports{});
}

// BridgeError prints as startup("...") with quotes and backslashes escaped;
// its description is the message unchanged.
TEST(BridgeError, PrintedFormEscapesQuotesAndBackslashes) {
  struct Case {
    std::string message;
    std::string printed;
  };
  const Case cases[] = {
      {"failed to publish local SDP service record",
       R"(startup("failed to publish local SDP service record"))"},
      {"", R"(startup(""))"},
      {R"(a "quoted" word)", R"(startup("a \"quoted\" word"))"},
      {R"(C:\path\)", R"(startup("C:\\path\\"))"},
      {R"(\")", R"(startup("\\\""))"},
  };
  for (const Case& c : cases) {
    const BridgeError error{c.message};
    EXPECT_EQ(error.printedForm(), c.printed);
    EXPECT_EQ(error.description(), c.message);
  }
}

}  // namespace
}  // namespace harlo
