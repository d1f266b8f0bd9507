#include "rfcomm/platform/bluez/bluez_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bluez_sim.h"
#include "fd_io.h"
#include "private_bus.h"
#include "rfcomm/platform/bluez/sdp_xml.h"
#include "rfcomm/platform/bluez/test_loop_thread.h"
#include "rfcomm/platform/bluez/test_recorders.h"
#include "rfcomm/service_record.h"

namespace harlo::platform {
namespace {

using test_support::BluezSim;
using test_support::ProfileOption;

class BluezPlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    auto bus = test_support::PrivateBus::start();
    ASSERT_TRUE(bus.ok()) << bus.error();
    bus_ = std::move(bus).value();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
    auto loop = RunLoop::create();
    ASSERT_TRUE(loop.ok());
    loop_ = std::move(loop).value();
    platform_ = makeBluezPlatform(*loop_);
    auto description = makeServiceDictionary(1);
    ASSERT_TRUE(description.ok());
    description_ = std::move(description).value();
  }

  // Everything from the platform goes on the loop thread, the platform last.
  void TearDown() override {
    loop_->postAndWait([&] {
      observer_.clear();
      registration_.reset();
      record_.reset();
      platform_.reset();
    });
    thread_.reset();
  }

  void startSim(BluezSim::Options options = {}) {
    auto sim = BluezSim::start(*bus_, options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim_ = std::move(sim).value();
  }

  std::unique_ptr<test_support::PrivateBus> bus_;
  std::unique_ptr<BluezSim> sim_;
  std::unique_ptr<RunLoop> loop_;
  RecordingObserver observer_;
  ServiceDictionary description_;
  std::unique_ptr<BluetoothPlatform> platform_;
  std::shared_ptr<ServiceRecord> record_;
  std::shared_ptr<ChannelOpenRegistration> registration_;
  std::unique_ptr<TestLoopThread> thread_;
};

// Publishing registers a server profile with BlueZ's exact option types and the record XML.
TEST_F(BluezPlatformTest, PublishRegistersServerProfile) {
  startSim();
  record_ = platform_->publishServiceRecord(description_);
  ASSERT_TRUE(record_);
  const auto channel = record_->rfcommChannelID();
  ASSERT_TRUE(channel.ok());
  EXPECT_EQ(channel.value(), 1);

  const auto registered = sim_->registrations();
  ASSERT_TRUE(registered.ok()) << registered.error();
  ASSERT_EQ(registered.value().size(), 1u) << sim_->log();
  const auto& profile = registered.value()[0];
  EXPECT_EQ(profile.path, "/org/harlo/companion/profile");
  EXPECT_EQ(profile.uuid, "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");
  EXPECT_EQ(profile.listening, "1");
  const std::string xml = sdpRecordXml(description_).value();
  EXPECT_EQ(profile.record, xml);
  const std::vector<ProfileOption> options = {{"Name", "s", "Harlo Unicode Companion"},
                                              {"Role", "s", "server"},
                                              {"Channel", "q", "1"},
                                              {"ServiceRecord", "s", xml},
                                              {"RequireAuthentication", "b", "true"},
                                              {"RequireAuthorization", "b", "true"},
                                              {"AutoConnect", "b", "false"}};
  EXPECT_EQ(profile.options, options);
  EXPECT_EQ(sim_->log().find("warning"), std::string::npos) << sim_->log();
}

// A client of the profile reaches the observer as a working channel; withdrawal
// and unregistering reach BlueZ.
TEST_F(BluezPlatformTest, ClientReachesObserverThenWithdraw) {
  startSim();
  record_ = platform_->publishServiceRecord(description_);
  ASSERT_TRUE(record_);
  registration_ = platform_->registerForChannelOpenNotifications(1, observer_);
  ASSERT_TRUE(registration_);
  thread_ = std::make_unique<TestLoopThread>(*loop_);

  auto client = sim_->connectClient();
  ASSERT_TRUE(client.ok()) << client.error();
  const auto channel = observer_.waitForChannel(0);
  EXPECT_EQ(channel->channelID(), 1);
  const std::string hello = "hello\n";
  EXPECT_EQ(channel->writeSync({reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()}),
            statusOK);
  EXPECT_EQ(test_support::readLine(client.value().get()), "hello");

  registration_->unregister();
  record_->remove();
  record_->remove();
  EXPECT_TRUE(sim_->waitForLog("unregistered /org/harlo/companion/profile")) << sim_->log();
  const auto registered = sim_->registrations();
  ASSERT_TRUE(registered.ok()) << registered.error();
  EXPECT_TRUE(registered.value().empty());
}

// With no BlueZ on the bus nothing is published, and nothing can be registered.
TEST_F(BluezPlatformTest, PublishFailsWithoutBluez) {
  EXPECT_FALSE(platform_->registerForChannelOpenNotifications(1, observer_));
  EXPECT_FALSE(platform_->publishServiceRecord(description_));
}

// BlueZ refusing the registration fails the publication.
TEST_F(BluezPlatformTest, PublishFailsWhenRefused) {
  startSim(BluezSim::Options{.failRegister = true});
  EXPECT_FALSE(platform_->publishServiceRecord(description_));
  EXPECT_TRUE(sim_->waitForLog("refused")) << sim_->log();
}

}  // namespace
}  // namespace harlo::platform
