// The real helper in bridge mode with HARLO_BLE=1 against bluez-sim: the GATT
// service and advertisement it registers, LE clients with small and large
// MTUs, newest wins across the two transports, a stalled LE client, and
// bluetoothd and its adapter coming and going.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "bridge_process_fixture.h"
#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

using namespace std::chrono_literals;

const nlohmann::json bleConnected =
    eventMessage("client-connected", "Incoming BLE client connected");
const nlohmann::json bleGone = eventMessage("client-disconnected", "BLE client disconnected");
const nlohmann::json rfcommGone =
    eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1");
const nlohmann::json handshake =
    eventMessage("handshake", "Received hello, responding with hello_ack directly");
const nlohmann::json listening = eventMessage("listening", "RFCOMM service published on channel 1");

nlohmann::json wroteToBle(std::size_t bytes) {
  return eventMessage("rfcomm-write", "wrote " + std::to_string(bytes) + " bytes to BLE client");
}

const std::string companionUUID = "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10";

class LowEnergy : public BridgeProcessTest {
 protected:
  void SetUp() override { helperEnvironment_.emplace_back("HARLO_BLE", "1"); }

  // startReady(), then waits until bluez-sim holds the helper's GATT
  // application and advertisement.
  void startWithLowEnergy(BluezSim::Options options = {}) {
    ASSERT_NO_FATAL_FAILURE(startHelper(true, options));
    EXPECT_EQ(nextMessage(), listening) << diagnostics();
    EXPECT_EQ(nextMessage(), eventMessage("ready", "stdio bridge ready on RFCOMM channel 1"));
    ASSERT_TRUE(sim_->waitForLog("bluez-sim: registered advertisement")) << diagnostics();
  }

  // The LE client's hello is answered with the hello_ack line in
  // notifications, and the parent sees the same reports as for RFCOMM.
  void expectHelloAnswered(const std::string& device, std::uint16_t mtu) {
    writeLowEnergy(device, "{\"type\":\"hello\"}\n", mtu);
    EXPECT_EQ(readLowEnergyLine(device, mtu).value_or("") + "\n", helloAckLine);
    EXPECT_EQ(nextMessage(), handshake);
    EXPECT_EQ(nextMessage(), wroteToBle(helloAckLine.size()));
    EXPECT_EQ(nextMessage(), protocolMessage("{\"type\":\"hello\"}"));
  }
};

// What bluetoothd is given: one primary service under the companion UUID
// with its two characteristics, flags and acquired-socket properties, and a
// connectable advertisement of that UUID and the service's name. Without
// HARLO_BLE nothing of it is registered.
TEST_F(LowEnergy, RegistersTheDocumentedServiceAndAdvertisement) {
  helperEnvironment_.emplace_back("HARLO_LOG_STDERR", "1");
  ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
  auto applications = sim_->gattApplications();
  ASSERT_TRUE(applications.ok()) << applications.error();
  ASSERT_EQ(applications.value().size(), 1u);
  const RecordedGattApplication& application = applications.value().front();
  EXPECT_EQ(application.root, "/org/harlo/companion/le");
  EXPECT_EQ(application.adapter, "/org/bluez/hci0");
  const std::string service = "/org/harlo/companion/le/service0";
  EXPECT_EQ(application.services,
            (std::vector<bluez_sim::RecordedGattService>{{service, companionUUID, true}}));
  auto characteristics = application.characteristics;  // in bluetoothd's handle order
  std::sort(characteristics.begin(), characteristics.end(),
            [](const auto& a, const auto& b) { return a.path < b.path; });
  EXPECT_EQ(characteristics, (std::vector<bluez_sim::RecordedGattCharacteristic>{
                                 {service + "/char0",
                                  "d53f4e4d-6c17-4d8b-a1c7-4a7a3f6d9a10",
                                  service,
                                  {"encrypt-write", "write-without-response"},
                                  {"WriteAcquired"}},
                                 {service + "/char1",
                                  "d53f4e4e-6c17-4d8b-a1c7-4a7a3f6d9a10",
                                  service,
                                  {"encrypt-notify"},
                                  {"NotifyAcquired"}}}));
  EXPECT_TRUE(application.descriptors.empty());

  auto advertisements = sim_->advertisements();
  ASSERT_TRUE(advertisements.ok()) << advertisements.error();
  ASSERT_EQ(advertisements.value().size(), 1u);
  EXPECT_EQ(advertisements.value().front().path, "/org/harlo/companion/advertisement");
  EXPECT_EQ(advertisements.value().front().properties,
            (std::vector<ProfileOption>{{"Type", "s", "peripheral"},
                                        {"ServiceUUIDs", "as", "[" + companionUUID + "]"},
                                        {"LocalName", "s", "Harlo Unicode Companion"},
                                        {"Discoverable", "b", "true"}}));

  // Withdrawn at the stop, not only dropped with the helper's connection
  // (once the helper has the answers: a registration still on its way at the
  // stop goes with the connection).
  EXPECT_TRUE(helper_->waitForLineContaining(Subprocess::Stream::err,
                                             "log notice: advertising the service over BLE"))
      << diagnostics();
  send(commandLine("shutdown"));
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  EXPECT_TRUE(
      sim_->waitForLog("bluez-sim: unregistered advertisement /org/harlo/companion/advertisement"))
      << diagnostics();
  EXPECT_TRUE(sim_->waitForLog("bluez-sim: unregistered GATT application /org/harlo/companion/le"))
      << diagnostics();

  helperEnvironment_.clear();
  ASSERT_NO_FATAL_FAILURE(startReady());
  auto none = sim_->gattApplications();
  ASSERT_TRUE(none.ok()) << none.error();
  EXPECT_TRUE(none.value().empty());
  EXPECT_TRUE(sim_->advertisements().value().empty());
}

// The hello is answered in notifications of at most MTU - 3 bytes, with the
// smallest MTU and a common large one; lines then pass both ways: a 100 KiB
// line each way, and a multi-byte character split across two writes.
TEST_F(LowEnergy, LinesBothWaysAtAnyMtu) {
  for (const std::uint16_t mtu : {std::uint16_t{23}, std::uint16_t{247}}) {
    SCOPED_TRACE(mtu);
    ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
    const std::string device = connectLowEnergyClient(mtu);
    ASSERT_FALSE(device.empty());
    expectHelloAnswered(device, mtu);

    const std::string large(100 * 1024, 'x');
    send(protocolCommand(large));
    EXPECT_EQ(readLowEnergyLine(device, mtu, 60s), large);
    EXPECT_EQ(nextMessage(60s), wroteToBle(large.size() + 1));
    writeLowEnergy(device, large + "\n", mtu);
    EXPECT_EQ(nextMessage(60s), protocolMessage(large));

    EXPECT_TRUE(sim_->writeLowEnergy(device, "caf\xC3").ok());
    EXPECT_TRUE(sim_->writeLowEnergy(device, "\xA9 \xF0\x9F\x98", true).ok());
    EXPECT_TRUE(sim_->writeLowEnergy(device, "\x80\n").ok());
    EXPECT_EQ(nextMessage(), protocolMessage("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  }
}

// Newest wins across transports, in both orders: the older client's close
// is reported, a replaced LE client is disconnected, and the newer client
// works both ways.
TEST_F(LowEnergy, NewestClientWinsAcrossTransports) {
  constexpr std::uint16_t mtu = 185;
  {
    SCOPED_TRACE("RFCOMM, then LE");
    ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
    UniqueFd rfcomm = connectClient();
    ASSERT_TRUE(rfcomm);
    const std::string device = connectLowEnergyClient(mtu);
    ASSERT_FALSE(device.empty());
    EXPECT_EQ(nextMessage(), rfcommGone);
    EXPECT_TRUE(waitForEndOfFile(rfcomm.get())) << "the replaced client is still connected";
    expectHelloAnswered(device, mtu);
    send(protocolCommand("to the LE client"));
    EXPECT_EQ(readLowEnergyLine(device, mtu), "to the LE client");
    EXPECT_EQ(nextMessage(), wroteToBle(17));
  }
  {
    SCOPED_TRACE("LE, then RFCOMM");
    ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
    const std::string device = connectLowEnergyClient(mtu);
    ASSERT_FALSE(device.empty());
    UniqueFd rfcomm = connectClient();
    ASSERT_TRUE(rfcomm);
    EXPECT_EQ(nextMessage(), bleGone);
    EXPECT_TRUE(sim_->waitForLog(device + " disconnected")) << diagnostics();
    EXPECT_FALSE(sim_->writeLowEnergy(device, "late\n").ok()) << "the replaced LE link is up";
    ASSERT_TRUE(writeWithin(rfcomm.get(), "from RFCOMM\n"));
    EXPECT_EQ(nextMessage(), protocolMessage("from RFCOMM"));
  }
}

// Who may be a client: a device that is not bonded, or not trusted, is
// refused its writes and its subscription, logged with its address, and the
// parent hears nothing. Once trusted, the same device connecting again is a
// client: the helper had bluetoothd forget the refused subscription, which
// it took as made, once the device had gone. A client that unsubscribes has
// left.
TEST_F(LowEnergy, OnlyABondedTrustedSubscriberIsAClient) {
  helperEnvironment_.emplace_back("HARLO_LOG_STDERR", "1");
  ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
  const auto helperLogged = [&](const std::string& fragment) {
    return helper_->waitForLineContaining(Subprocess::Stream::err, fragment).has_value();
  };

  auto unbonded = sim_->connectLowEnergy(23, false, true);
  ASSERT_TRUE(unbonded.ok());
  EXPECT_EQ(sim_->writeLowEnergy(unbonded.value(), "hello\n", true).errorName,
            "org.harlo.BluezSim.Error.InsufficientEncryption");
  EXPECT_EQ(sim_->subscribe(unbonded.value()).errorName,
            "org.harlo.BluezSim.Error.InsufficientEncryption");

  auto untrusted = sim_->connectLowEnergy(23, true, false);
  ASSERT_TRUE(untrusted.ok());
  EXPECT_TRUE(sim_->subscribe(untrusted.value()).ok());
  EXPECT_TRUE(helperLogged("refused a BLE subscription from 00:00:01:00:00:02: it is not trusted"))
      << diagnostics();
  EXPECT_FALSE(sim_->writeLowEnergy(untrusted.value(), "hello\n", true).ok());
  EXPECT_TRUE(helperLogged("refused a BLE write from 00:00:01:00:00:02")) << diagnostics();
  EXPECT_TRUE(helperLogged("renewed the GATT service on hci0")) << diagnostics();
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping")) << "the parent heard of a refused client";

  EXPECT_TRUE(sim_->setTrusted(untrusted.value(), true).ok());
  EXPECT_TRUE(sim_->disconnectLowEnergy(untrusted.value()).ok());
  EXPECT_TRUE(helperLogged("renewed the GATT service on hci0")) << diagnostics();
  EXPECT_TRUE(sim_->reconnectLowEnergy(untrusted.value()).ok());
  EXPECT_TRUE(sim_->subscribe(untrusted.value()).ok());
  EXPECT_EQ(nextMessage(), bleConnected) << diagnostics();
  expectHelloAnswered(untrusted.value(), 23);
  EXPECT_TRUE(sim_->unsubscribe(untrusted.value()).ok());
  EXPECT_EQ(nextMessage(), bleGone);
}

// A bonded client that leaves and comes back, as a phone does, is a client
// again when it subscribes, whether it dropped its link or the helper
// replaced it: bluetoothd kept its old subscription, and the helper has it
// forget that once no client is served.
TEST_F(LowEnergy, BondedClientReconnects) {
  constexpr std::uint16_t mtu = 100;
  helperEnvironment_.emplace_back("HARLO_LOG_STDERR", "1");
  ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
  const std::string device = connectLowEnergyClient(mtu);
  ASSERT_FALSE(device.empty());
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced by an RFCOMM client" : "dropped its link");
    UniqueFd rfcomm;
    if (replaced) {
      rfcomm = connectClient();
      ASSERT_TRUE(rfcomm);
      EXPECT_TRUE(sim_->waitForLog(device + " disconnected: Device1.Disconnect")) << diagnostics();
    } else {
      EXPECT_TRUE(sim_->disconnectLowEnergy(device).ok());
    }
    EXPECT_EQ(nextMessage(), bleGone);
    EXPECT_TRUE(
        helper_->waitForLineContaining(Subprocess::Stream::err, "renewed the GATT service on hci0"))
        << diagnostics();
    EXPECT_TRUE(sim_->reconnectLowEnergy(device).ok());
    EXPECT_TRUE(sim_->subscribe(device).ok());
    EXPECT_EQ(nextMessage(), bleConnected) << diagnostics();
    if (replaced) {
      EXPECT_EQ(nextMessage(), rfcommGone);
    }
    expectHelloAnswered(device, mtu);
  }
}

// An LE client that takes no notifications fails the parent's write with
// -110 once nothing has moved for the no-progress bound (10 s), not the
// total one (30 s), and its close is reported.
TEST_F(LowEnergy, StalledClientFailsTheWriteWithinTheBound) {
  ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
  const std::string device = connectLowEnergyClient(23);
  ASSERT_FALSE(device.empty());
  ASSERT_TRUE(sim_->setNotificationsStalled(true).ok());
  const auto start = std::chrono::steady_clock::now();
  send(protocolCommand(std::string(512 * 1024, 'z')));
  std::vector<nlohmann::json> reports = {nextMessage(25s), nextMessage(5s)};
  EXPECT_LT(std::chrono::steady_clock::now() - start, 25s);
  std::erase(reports, bleGone);
  EXPECT_EQ(reports, std::vector<nlohmann::json>{
                         errorMessage("failed to write to BLE client: status=-110")});
}

// bluetoothd lost and back, and the adapter powered off and on, with an LE
// client connected: its close is reported, the service and advertisement
// are registered again, and a new LE client is served. An adapter that
// cannot advertise gives one error, and RFCOMM clients are still served.
TEST_F(LowEnergy, FollowsBluetoothdAndTheAdapter) {
  constexpr std::uint16_t mtu = 64;
  ASSERT_NO_FATAL_FAILURE(startWithLowEnergy());
  std::string device = connectLowEnergyClient(mtu);
  ASSERT_FALSE(device.empty());
  ASSERT_EQ(sim_->process().kill(), ExitStatus::killedBy(SIGKILL));
  // The notify socket's end and bluetoothd's leaving the bus race.
  std::vector<nlohmann::json> loss = {nextMessage(), nextMessage()};
  std::sort(loss.begin(), loss.end());
  std::vector<nlohmann::json> expectedLoss = {
      errorMessage("bluetooth service stopped: waiting for it to return"), bleGone};
  std::sort(expectedLoss.begin(), expectedLoss.end());
  EXPECT_EQ(loss, expectedLoss);
  auto sim = BluezSim::start(*bus_);
  ASSERT_TRUE(sim.ok()) << sim.error();
  sim_ = std::move(sim.value());
  EXPECT_EQ(nextMessage(), listening) << diagnostics();
  ASSERT_TRUE(sim_->waitForLog("bluez-sim: registered advertisement")) << diagnostics();
  device = connectLowEnergyClient(mtu);
  ASSERT_FALSE(device.empty());
  expectHelloAnswered(device, mtu);

  EXPECT_TRUE(sim_->setAdapterPowered("/org/bluez/hci0", false).ok());
  EXPECT_EQ(nextMessage(), errorMessage("no powered Bluetooth adapter: waiting for one"));
  EXPECT_EQ(nextMessage(), bleGone);
  // Renewed once the client ended (BondedClientReconnects).
  EXPECT_TRUE(sim_->waitForLog("bluez-sim: registered GATT application")) << diagnostics();
  EXPECT_TRUE(sim_->setAdapterPowered("/org/bluez/hci0", true).ok());
  EXPECT_EQ(nextMessage(), listening) << diagnostics();
  device = connectLowEnergyClient(mtu);
  ASSERT_FALSE(device.empty()) << diagnostics();
  expectHelloAnswered(device, mtu);

  ASSERT_NO_FATAL_FAILURE(startHelper(true, BluezSim::Options{.noAdvertising = true}));
  std::vector<nlohmann::json> start = {nextMessage(), nextMessage(), nextMessage()};
  EXPECT_EQ(std::count(start.begin(), start.end(),
                       errorMessage("cannot advertise over BLE on hci0: "
                                    "org.bluez.Error.NotPermitted: Maximum advertisements reached; "
                                    "RFCOMM clients are not affected")),
            1)
      << diagnostics();
  UniqueFd rfcomm = connectClient();
  ASSERT_TRUE(rfcomm);
  ASSERT_TRUE(writeWithin(rfcomm.get(), "still served\n"));
  EXPECT_EQ(nextMessage(), protocolMessage("still served"));
}

}  // namespace
}  // namespace harlo::test_support
