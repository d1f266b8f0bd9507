#include "platform/linux/bluez/bluez_platform.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "line_reader.h"
#include "platform/linux/bluez/sdp_xml.h"
#include "rfcomm/service_record.h"
#include "testing/private_bus_fixture.h"
#include "testing/recording_log.h"
#include "testing/test_recorders.h"

namespace harlo::platform {
namespace {

using harness::BluezSim;
using harness::ExitStatus;
using harness::ProfileOption;

// Counts the service's losses and returns; waits are bounded by a watchdog.
class ServiceRecorder final : public BluetoothServiceObserver {
 public:
  void bluetoothServiceStopped() override { bump(stopped_); }
  void bluetoothServiceReturned() override { bump(returned_); }
  // Adapters are not followed yet.
  void poweredAdapterPresent(bool) override {}

  // Waits until at least `stopped` losses and `returned` returns were heard.
  void waitFor(int stopped, int returned) {
    const TestWatchdog watchdog("service change reaches the observer", std::chrono::seconds(10));
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ >= stopped && returned_ >= returned; });
  }
  int returned() {
    std::lock_guard lock(mutex_);
    return returned_;
  }

 private:
  void bump(int& counter) {
    std::lock_guard lock(mutex_);
    ++counter;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int stopped_ = 0;   // guarded by mutex_
  int returned_ = 0;  // guarded by mutex_
};

class BluezPlatformTest : public PrivateBusFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateBusFixture::SetUp());
    platform_ = makeBluezPlatform(*loop_, log_);
    auto description = makeServiceDictionary(1);
    ASSERT_TRUE(description.ok());
    description_ = std::move(description).value();
  }

  // Everything from the platform goes on the loop thread, the platform last.
  void releaseOnLoop() override {
    observer_.clear();
    registration_.reset();
    staleRecord_.reset();
    record_.reset();
    platform_.reset();
  }

  // Publishes and registers on the loop thread; true if both worked.
  bool publishAndRegister() {
    bool ok = false;
    loop_->postAndWait([&] {
      record_ = platform_->publishServiceRecord(description_);
      if (record_) registration_ = platform_->registerForChannelOpenNotifications(1, observer_);
      ok = record_ && registration_;
    });
    return ok;
  }

  RecordingObserver observer_;
  ServiceRecorder service_;
  RecordingLog log_;  // outlives the platform
  ServiceDictionary description_;
  std::unique_ptr<BluetoothPlatform> platform_;
  std::shared_ptr<ServiceRecord> record_;
  std::shared_ptr<ServiceRecord> staleRecord_;
  std::shared_ptr<ChannelOpenRegistration> registration_;
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
  runLoopThread();

  auto client = sim_->connectClient();
  ASSERT_TRUE(client.ok()) << client.error();
  const auto channel = observer_.waitForChannel(0);
  EXPECT_EQ(channel->channelID(), 1);
  const std::string hello = "hello\n";
  EXPECT_EQ(channel->write({reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()}, {}),
            statusOK);
  EXPECT_EQ(harness::readLineWithin(client.value().get()), "hello");

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

// bluetoothd ending cleanly (Release(), then leaving) or killed reaches the
// observer as a loss, and its successor as a return; the profile can then be
// registered again at the same path on the same connection, a record of the
// old bluetoothd withdrawn afterwards leaves the new registration alone, and
// the new bluetoothd's clients get through.
TEST_F(BluezPlatformTest, LossReturnAndRegisteringAgain) {
  startSim();
  platform_->observeBluetoothService(&service_);
  runLoopThread();
  ASSERT_TRUE(publishAndRegister());

  const std::pair<const char*, bool> endings[] = {{"SIGTERM", true}, {"SIGKILL", false}};
  int losses = 0;
  for (const auto& [name, terminated] : endings) {
    SCOPED_TRACE(name);
    if (terminated) {
      ASSERT_EQ(sim_->stop(), ExitStatus::exitedWith(0)) << sim_->log();
      EXPECT_TRUE(sim_->waitForLog("sent Release()")) << sim_->log();
    } else {
      ASSERT_EQ(sim_->process().kill(), ExitStatus::killedBy(SIGKILL));
    }
    ++losses;
    service_.waitFor(losses, losses - 1);
    EXPECT_EQ(service_.returned(), losses - 1);

    startSim();
    service_.waitFor(losses, losses);
    loop_->postAndWait([&] { staleRecord_ = std::move(record_); });
    ASSERT_TRUE(publishAndRegister()) << sim_->log();
    loop_->postAndWait([&] {
      staleRecord_->remove();
      // Were the new registration gone, registering again would succeed.
      EXPECT_FALSE(platform_->publishServiceRecord(description_));
    });
    const auto registered = sim_->registrations();
    ASSERT_TRUE(registered.ok()) << registered.error();
    EXPECT_EQ(registered.value().size(), 1u) << sim_->log();

    const std::size_t before = observer_.count();
    auto client = sim_->connectClient();
    ASSERT_TRUE(client.ok()) << client.error();
    EXPECT_EQ(observer_.waitForChannel(before)->channelID(), 1);
  }
}

}  // namespace
}  // namespace harlo::platform
