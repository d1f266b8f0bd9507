#include "platform/linux/bluez/bluez_platform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "bus_client.h"
#include "line_reader.h"
#include "platform/linux/bluez/sdp_xml.h"
#include "testing/private_bus_fixture.h"
#include "testing/recording_log.h"
#include "testing/test_recorders.h"

namespace harlo::platform {
namespace {

using harness::BluezSim;
using harness::ExitStatus;
using harness::ProfileOption;
using harness::StartAdapter;

// What the service observer hears, in order.
const std::string serviceStopped = "stopped";
const std::string serviceReturned = "returned";
const std::string adapterPowered = "powered adapter";
const std::string noAdapterPowered = "no powered adapter";

// Records what the service observer hears, in order; waits are bounded by a
// watchdog.
class ServiceRecorder final : public BluetoothServiceObserver {
 public:
  void bluetoothServiceStopped() override { record(serviceStopped); }
  void bluetoothServiceReturned() override { record(serviceReturned); }
  void poweredAdapterPresent(bool present) override {
    record(present ? adapterPowered : noAdapterPowered);
  }
  void lowEnergyUnavailable(std::string_view why) override { record(std::string(why)); }

  // Waits until at least `stops` losses and `returns` returns were heard.
  void waitFor(int stops, int returns) {
    const TestWatchdog watchdog("service change reaches the observer", std::chrono::seconds(10));
    std::unique_lock lock(mutex_);
    changed_.wait(
        lock, [&] { return count(serviceStopped) >= stops && count(serviceReturned) >= returns; });
  }
  int returned() {
    std::lock_guard lock(mutex_);
    return count(serviceReturned);
  }

  // Waits until at least `count` things were heard; all of them.
  std::vector<std::string> waitForHeard(std::size_t count) {
    const TestWatchdog watchdog("the observer hears " + std::to_string(count) + " things",
                                std::chrono::seconds(10));
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return heard_.size() >= count; });
    return heard_;
  }

 private:
  void record(const std::string& what) {
    std::lock_guard lock(mutex_);
    heard_.push_back(what);
    changed_.notify_all();
  }
  int count(const std::string& what) const {  // with mutex_ held
    return static_cast<int>(std::count(heard_.begin(), heard_.end(), what));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> heard_;  // guarded by mutex_
};

class BluezPlatformTest : public PrivateBusFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateBusFixture::SetUp());
    platform_ = makeBluezPlatform(*loop_, log_);
  }

  // Everything from the platform goes on the loop thread, the platform last.
  void releaseOnLoop() override {
    observer_.clear();
    registration_.reset();
    staleRecord_.reset();
    record_.reset();
    platform_.reset();
  }

  // Publishes and registers as the bridge starts, then observes the service
  // and runs the loop on a thread of its own; true if publishing and
  // registering worked.
  bool startAsTheBridgeDoes() {
    const bool published = publishAndRegister();
    platform_->observeBluetoothService(&service_);
    thread_ = std::make_unique<TestLoopThread>(*loop_);
    return published;
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
  // The companion service as the bridge describes it.
  const ServiceDescription description_{.uuid = {0xd5, 0x3f, 0x4e, 0x4c, 0x6c, 0x17, 0x4d, 0x8b,
                                                 0xa1, 0xc7, 0x4a, 0x7a, 0x3f, 0x6d, 0x9a, 0x10},
                                        .name = "Harlo Unicode Companion",
                                        .preferredChannel = 1,
                                        .requireAuthentication = true,
                                        .requireAuthorization = true,
                                        .lowEnergy = {}};
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
  const std::string xml = sdpRecordXml(description_, 1);
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
  EXPECT_EQ(channel->names(), rfcommChannelNames(1, 1));
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
    EXPECT_EQ(observer_.waitForChannel(before)->names(), rfcommChannelNames(1, 1));
  }
}

// The state of the adapters is told once, soon after the observer is set.
struct InitialAdapters {
  const char* scenario;
  StartAdapter adapter;
  const std::string& told;
};

void PrintTo(const InitialAdapters& adapters, std::ostream* out) { *out << adapters.scenario; }

class BluezPlatformInitialAdapters : public BluezPlatformTest,
                                     public testing::WithParamInterface<InitialAdapters> {};

TEST_P(BluezPlatformInitialAdapters, AreToldOnce) {
  startSim(BluezSim::Options{.adapter = GetParam().adapter});
  ASSERT_TRUE(startAsTheBridgeDoes()) << sim_->log();
  EXPECT_EQ(service_.waitForHeard(1), std::vector{GetParam().told});
  thread_->drain();
  EXPECT_EQ(service_.waitForHeard(1), std::vector{GetParam().told});
}

INSTANTIATE_TEST_SUITE_P(
    States, BluezPlatformInitialAdapters,
    testing::Values(InitialAdapters{"powered", StartAdapter::powered, adapterPowered},
                    InitialAdapters{"unpowered", StartAdapter::unpowered, noAdapterPowered},
                    InitialAdapters{"none", StartAdapter::none, noAdapterPowered}),
    [](const testing::TestParamInfo<InitialAdapters>& info) { return info.param.scenario; });

// Every change of "some adapter present and powered" is told, and nothing
// else: adapters powered off and on, removed and added. A stranger on the
// bus that speaks as bluetoothd is not heard: had its word been taken, hci0
// would be gone, and the changes after it would be told differently.
TEST_F(BluezPlatformTest, AdapterChangesAreTold) {
  startSim();
  ASSERT_TRUE(startAsTheBridgeDoes()) << sim_->log();
  auto stranger = harness::BusClient::connect(bus_->address());
  ASSERT_TRUE(stranger.ok()) << stranger.error();
  const std::string hci0 = "/org/bluez/hci0";
  std::string hci1;
  const auto addHci1 = [&] {
    auto added = sim_->addAdapter();
    if (added) hci1 = added.value();
    return added.ok();
  };
  struct Step {
    const char* change;
    std::function<bool()> make;
    const std::string* told;  // nothing when the state stays as it was
  };
  const Step steps[] = {
      {"hci1 added, powered", addHci1, nullptr},
      {"a stranger says hci0 went off, then away",
       [&] {
         sd_bus* bus = stranger.value()->native();
         return sd_bus_emit_signal(bus, hci0.c_str(), "org.freedesktop.DBus.Properties",
                                   "PropertiesChanged", "sa{sv}as", "org.bluez.Adapter1", 1,
                                   "Powered", "b", 0, 0) >= 0 &&
                sd_bus_emit_signal(bus, "/", "org.freedesktop.DBus.ObjectManager",
                                   "InterfacesRemoved", "oas", hci0.c_str(), 1,
                                   "org.bluez.Adapter1") >= 0 &&
                sd_bus_flush(bus) >= 0;
       },
       nullptr},
      {"hci1 removed, hci0 still on", [&] { return sim_->removeAdapter(hci1).ok(); }, nullptr},
      {"hci0 powered off", [&] { return sim_->setAdapterPowered(hci0, false).ok(); },
       &noAdapterPowered},
      {"hci0 powered on", [&] { return sim_->setAdapterPowered(hci0, true).ok(); },
       &adapterPowered},
      {"hci1 added again, powered", addHci1, nullptr},
      {"hci0 powered off, hci1 still on", [&] { return sim_->setAdapterPowered(hci0, false).ok(); },
       nullptr},
      {"hci1 removed", [&] { return sim_->removeAdapter(hci1).ok(); }, &noAdapterPowered},
      {"hci0 removed, unpowered", [&] { return sim_->removeAdapter(hci0).ok(); }, nullptr},
      {"an adapter added, powered", [&] { return sim_->addAdapter().ok(); }, &adapterPowered},
  };
  std::vector<std::string> expected = {adapterPowered};
  EXPECT_EQ(service_.waitForHeard(expected.size()), expected);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.change);
    ASSERT_TRUE(step.make()) << sim_->log();
    if (step.told == nullptr) continue;
    expected.push_back(*step.told);
    EXPECT_EQ(service_.waitForHeard(expected.size()), expected);
  }
  thread_->drain();
  EXPECT_EQ(service_.waitForHeard(expected.size()), expected);
}

// While the service is lost nothing is told; when it returns the adapters
// are read again and their state is told just before the return, even when
// it did not change.
TEST_F(BluezPlatformTest, AdapterStateIsToldAgainAfterTheReturn) {
  startSim();
  ASSERT_TRUE(startAsTheBridgeDoes()) << sim_->log();
  std::vector<std::string> expected = {adapterPowered};
  EXPECT_EQ(service_.waitForHeard(expected.size()), expected);

  const InitialAdapters returns[] = {
      {"returns powered, as before", StartAdapter::powered, adapterPowered},
      {"returns with none", StartAdapter::none, noAdapterPowered},
      {"returns with none again", StartAdapter::none, noAdapterPowered},
      {"returns unpowered", StartAdapter::unpowered, noAdapterPowered},
  };
  for (const InitialAdapters& next : returns) {
    SCOPED_TRACE(next.scenario);
    ASSERT_EQ(sim_->process().kill(), ExitStatus::killedBy(SIGKILL));
    expected.push_back(serviceStopped);
    EXPECT_EQ(service_.waitForHeard(expected.size()), expected);
    startSim(BluezSim::Options{.adapter = next.adapter});
    expected.insert(expected.end(), {next.told, serviceReturned});
    EXPECT_EQ(service_.waitForHeard(expected.size()), expected);
  }
  thread_->drain();
  EXPECT_EQ(service_.waitForHeard(expected.size()), expected);
}

}  // namespace
}  // namespace harlo::platform
