#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "rfcomm/companion_service.h"
#include "rfcomm/rfcomm_bridge.h"
#include "testing/rfcomm_bridge_harness.h"

namespace harlo {
namespace {

using Calls = std::vector<std::string>;
using Reports = std::vector<std::string>;

const std::string lostReport = "error bluetooth service stopped: waiting for it to return";
const std::string noClientReport = "error no active RFCOMM client channel is connected";

std::string listeningReport(unsigned channel) {
  return "event listening | RFCOMM service published on channel " + std::to_string(channel);
}

// The platform calls made since `before` calls had been logged.
Calls callsSince(const platform::FakePlatform& platform, std::size_t before) {
  const Calls calls = platform.calls();
  return Calls(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end());
}

void stopService(BridgeHarness& harness) {
  harness.platform.stopService();
  harness.platform.runPending();
}

void returnService(BridgeHarness& harness) {
  harness.platform.returnService();
  harness.platform.runPending();
}

// Losing the service with a client connected reports the loss, then the
// client's close; the dead handles are not withdrawn, later writes find no
// client, and an open fired after the loss reaches no one.
TEST(RFCOMMBridgeService, LossClosesTheClientAndKeepsRunning) {
  BridgeHarness harness;
  harness.start();
  const auto client = harness.connect(5);
  const std::size_t before = harness.platform.calls().size();

  stopService(harness);
  EXPECT_EQ(harness.reports.take(),
            (Reports{lostReport,
                     "event client-disconnected | RFCOMM client disconnected from channel 5"}));
  EXPECT_TRUE(client->closed());
  EXPECT_EQ(callsSince(harness.platform, before), Calls{"close 5"});

  harness.write("after the loss\n");
  EXPECT_EQ(harness.reports.take(), Reports{noClientReport});

  harness.platform.openChannel(harness.platform.makeChannel(6));
  harness.platform.runPending();
  EXPECT_EQ(harness.reports.take(), Reports{});
  EXPECT_EQ(harness.bridge.activeChannelID(), 1);
}

// A loss without a client reports the loss alone.
TEST(RFCOMMBridgeService, LossWithoutClientReportsOnlyTheLoss) {
  BridgeHarness harness;
  harness.start();
  stopService(harness);
  EXPECT_EQ(harness.reports.take(), Reports{lostReport});
}

// When the service returns the bridge publishes and registers as start()
// does, on whatever channel is granted now, reports "listening" with it, and
// serves a new client: hello answered, payloads written and labelled with
// the new channel.
TEST(RFCOMMBridgeService, ReturnPublishesAgainAndServesClients) {
  for (const unsigned granted : {1u, 9u}) {
    SCOPED_TRACE(granted);
    BridgeHarness harness;
    harness.start();
    harness.connect(3);
    stopService(harness);
    harness.reports.take();
    harness.platform.grantChannel(static_cast<std::uint8_t>(granted));
    const std::size_t before = harness.platform.calls().size();

    returnService(harness);
    EXPECT_EQ(harness.reports.take(), Reports{listeningReport(granted)});
    EXPECT_EQ(callsSince(harness.platform, before),
              (Calls{"publish", "rfcommChannelID", "register " + std::to_string(granted)}));
    EXPECT_EQ(harness.bridge.activeChannelID(), granted);
    EXPECT_EQ(harness.platform.liveRecords(), 1u);
    EXPECT_EQ(harness.platform.liveRegistrations(), 1u);

    auto client = harness.platform.makeChannel(4);
    harness.platform.openChannel(client);
    harness.platform.runPending();
    EXPECT_EQ(harness.reports.take(),
              Reports{"event client-connected | Incoming RFCOMM client connected on channel 4"});
    harness.send(client, "{\"type\":\"hello\"}\n");
    EXPECT_EQ(client->written(), std::string(helloAckPayload));
    harness.write("x\n");
    EXPECT_EQ(
        harness.reports.take(),
        Reports{"event rfcomm-write | wrote 2 bytes to RFCOMM channel " + std::to_string(granted)});
  }
}

// A return whose publication fails at any step reports that step's error and
// keeps waiting: a further loss of that service is not reported again, and a
// later return that works reports "listening".
TEST(RFCOMMBridgeService, FailedReturnWaitsForTheNextOne) {
  struct Case {
    const char* name;
    std::function<void(platform::FakePlatform&, bool)> failing;
    std::string message;
  };
  const Case cases[] = {
      {"publication refused", [](auto& p, bool on) { p.refusePublication(on); },
       "error failed to publish local SDP service record"},
      {"channel query fails",
       [](auto& p, bool on) {
         p.failChannelQuery(on ? std::optional<platform::Status>(-5) : std::nullopt);
       },
       "error published service record did not expose an RFCOMM channel id: -5"},
      {"registration refused", [](auto& p, bool on) { p.refuseRegistration(on); },
       "error failed to register RFCOMM open notifications for channel 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness harness;
    harness.start();
    stopService(harness);
    harness.reports.take();

    c.failing(harness.platform, true);
    returnService(harness);
    EXPECT_EQ(harness.reports.take(), Reports{c.message});
    harness.write("y\n");
    EXPECT_EQ(harness.reports.take(), Reports{noClientReport});

    stopService(harness);
    EXPECT_EQ(harness.reports.take(), Reports{});

    c.failing(harness.platform, false);
    returnService(harness);
    EXPECT_EQ(harness.reports.take(), Reports{listeningReport(1)});
    EXPECT_EQ(harness.platform.liveRecords(), 1u);
  }
}

// One loss delivered twice (the profile released, then the service leaving
// the bus) is reported once; a return while listening does nothing; the next
// loss is reported again.
TEST(RFCOMMBridgeService, EachLossIsReportedOnce) {
  BridgeHarness harness;
  harness.start();
  harness.platform.stopService();
  harness.platform.stopService();
  harness.platform.runPending();
  EXPECT_EQ(harness.reports.take(), Reports{lostReport});

  returnService(harness);
  const std::size_t before = harness.platform.calls().size();
  returnService(harness);
  EXPECT_EQ(callsSince(harness.platform, before), Calls{});
  EXPECT_EQ(harness.reports.take(), Reports{listeningReport(1)});

  stopService(harness);
  EXPECT_EQ(harness.reports.take(), Reports{lostReport});
}

// stop() after a loss withdraws nothing that died with the service, but does
// withdraw a record the returned service kept from a failed re-publication;
// after stop() neither a loss nor a return does anything.
TEST(RFCOMMBridgeService, StopAfterLoss) {
  {
    SCOPED_TRACE("dead handles only");
    BridgeHarness harness;
    harness.start();
    stopService(harness);
    const std::size_t before = harness.platform.calls().size();
    harness.bridge.stop();
    EXPECT_EQ(callsSince(harness.platform, before), Calls{});
  }
  {
    SCOPED_TRACE("record of a failed return");
    BridgeHarness harness;
    harness.start();
    stopService(harness);
    harness.platform.refuseRegistration(true);
    returnService(harness);
    ASSERT_EQ(harness.platform.liveRecords(), 1u);
    const std::size_t before = harness.platform.calls().size();
    harness.bridge.stop();
    EXPECT_EQ(callsSince(harness.platform, before), Calls{"remove"});
    EXPECT_EQ(harness.platform.liveRecords(), 0u);
  }
  {
    SCOPED_TRACE("loss and return after stop");
    BridgeHarness harness;
    harness.start();
    harness.bridge.stop();
    harness.reports.take();
    const std::size_t before = harness.platform.calls().size();
    stopService(harness);
    returnService(harness);
    EXPECT_EQ(callsSince(harness.platform, before), Calls{});
    EXPECT_EQ(harness.reports.take(), Reports{});
  }
}

// Whether a powered adapter is present: one error per outage, "listening"
// when an adapter is back, nothing while the service is lost. The state told
// before the service's return decides what the return says: with none
// powered, the error and no "listening" until one is.
TEST(RFCOMMBridgeService, AdapterOutagesAreReportedOnceEach) {
  const std::string noAdapter = "error no powered Bluetooth adapter: waiting for one";
  enum class Step { adapterOff, adapterOn, serviceStops, serviceReturns };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Reports expected;
  };
  const Case cases[] = {
      {"an adapter from the start", {Step::adapterOn}, {}},
      {"none at start, then one",
       {Step::adapterOff, Step::adapterOn},
       {noAdapter, listeningReport(1)}},
      {"the same outage told twice", {Step::adapterOff, Step::adapterOff}, {noAdapter}},
      {"two outages",
       {Step::adapterOff, Step::adapterOn, Step::adapterOff},
       {noAdapter, listeningReport(1), noAdapter}},
      {"the service returns with none powered",
       {Step::serviceStops, Step::adapterOff, Step::serviceReturns, Step::adapterOn},
       {lostReport, noAdapter, listeningReport(1)}},
      {"an outage that outlasts a loss is told again at the return",
       {Step::adapterOff, Step::serviceStops, Step::adapterOff, Step::serviceReturns,
        Step::adapterOn},
       {noAdapter, lostReport, noAdapter, listeningReport(1)}},
      {"the service returns powered",
       {Step::adapterOff, Step::serviceStops, Step::adapterOn, Step::serviceReturns},
       {noAdapter, lostReport, listeningReport(1)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness harness;
    harness.start();
    for (const Step step : c.steps) {
      switch (step) {
        case Step::adapterOff:
          harness.platform.setPoweredAdapter(false);
          break;
        case Step::adapterOn:
          harness.platform.setPoweredAdapter(true);
          break;
        case Step::serviceStops:
          harness.platform.stopService();
          break;
        case Step::serviceReturns:
          harness.platform.returnService();
          break;
      }
      harness.platform.runPending();
    }
    EXPECT_EQ(harness.reports.take(), c.expected);
  }
}

}  // namespace
}  // namespace harlo
