// The bluez-sim program, driven over a private bus from the test process,
// which registers profiles and plays the Profile1 receiver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bus_client.h"
#include "harness_names.h"
#include "object_signals.h"
#include "profile_endpoint.h"
#include "testing/companion_record.h"

namespace harlo::test_support {
namespace {

constexpr const char* companionUuid = "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10";
constexpr const char* otherUuid = "00001101-0000-1000-8000-00805f9b34fb";
constexpr const char* profilePath = "/test/profile";

using Outcome = UnregisterCall::Outcome;

// The options the helper registers its server profile with.
std::vector<ProfileOption> serverOptions() {
  return {{"Name", "s", "Harlo Unicode Companion"},
          {"Role", "s", "server"},
          {"Channel", "q", "1"},
          {"ServiceRecord", "s", std::string(companionRecordXML)},
          {"RequireAuthentication", "b", "true"},
          {"RequireAuthorization", "b", "true"},
          {"AutoConnect", "b", "false"}};
}

// True when process `pid` holds a descriptor of the socket with inode `inode`.
bool holdsSocket(pid_t pid, ino_t inode) {
  const std::filesystem::path target = "socket:[" + std::to_string(inode) + "]";
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    if (std::filesystem::read_symlink(entry.path(), error) == target) return true;
  }
  return false;
}

ino_t inodeOf(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? info.st_ino : 0;
}

// The entry `key` of `properties`, or nothing.
std::optional<ProfileOption> find(const PropertyList& properties, const std::string& key) {
  for (const auto& property : properties) {
    if (property.key == key) return property;
  }
  return std::nullopt;
}

class BluezSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bus = PrivateBus::start();
    ASSERT_TRUE(bus.ok()) << bus.error();
    bus_ = std::move(bus.value());
    ASSERT_NO_FATAL_FAILURE(startSim({}));
    client_ = connect();
    ASSERT_NE(client_, nullptr);
  }

  void startSim(BluezSim::Options options) {
    sim_.reset();
    auto sim = BluezSim::start(*bus_, options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim_ = std::move(sim.value());
  }

  std::unique_ptr<BusClient> connect() {
    auto client = BusClient::connect(bus_->address());
    EXPECT_TRUE(client.ok()) << client.error();
    return client.ok() ? std::move(client.value()) : nullptr;
  }

  std::unique_ptr<ProfileEndpoint> exportProfile(BusClient& client) {
    auto endpoint = ProfileEndpoint::exportOn(client, profilePath);
    EXPECT_TRUE(endpoint.ok()) << endpoint.error();
    return endpoint.ok() ? std::move(endpoint.value()) : nullptr;
  }

  std::vector<RecordedProfile> registrations() {
    auto registered = sim_->registrations();
    EXPECT_TRUE(registered.ok()) << registered.error();
    return registered.ok() ? registered.value() : std::vector<RecordedProfile>{};
  }

  std::vector<UnregisterCall> unregisterCalls() {
    auto calls = sim_->unregisterCalls();
    EXPECT_TRUE(calls.ok()) << calls.error();
    return calls.ok() ? calls.value() : std::vector<UnregisterCall>{};
  }

  // Registers the server profile on client_, connects one simulated client
  // and waits for the NewConnection it causes.
  void connectThroughProfile(ProfileEndpoint& profile, UniqueFd& peer) {
    ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
    auto connected = sim_->connectClient();
    ASSERT_TRUE(connected.ok()) << connected.error();
    peer = std::move(connected.value());
    ASSERT_TRUE(client_->processUntil([&] { return profile.connections().size() == 1; }))
        << sim_->log();
  }

  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BluezSim> sim_;
  std::unique_ptr<BusClient> client_;
};

// A registration succeeds and the record file shows it with every option and type as sent.
TEST_F(BluezSimTest, RecordsARegistrationAsSent) {
  CallOutcome outcome = client_->registerProfile(profilePath, companionUuid, serverOptions());
  ASSERT_TRUE(outcome.ok()) << outcome.errorName << ": " << outcome.errorMessage;
  auto registered = registrations();
  ASSERT_EQ(registered.size(), 1u);
  const RecordedProfile& p = registered[0];
  EXPECT_EQ(p.path, profilePath);
  EXPECT_EQ(p.owner, client_->uniqueName());
  EXPECT_EQ(p.uuid, companionUuid);
  EXPECT_EQ(p.listening, "1");
  EXPECT_EQ(p.options, serverOptions());
  EXPECT_EQ(p.record, companionRecordXML);
  EXPECT_TRUE(sim_->waitForLog("registered /test/profile")) << sim_->log();
}

// Unregistering removes the registration, is recorded as an orderly withdrawal, and frees the UUID.
TEST_F(BluezSimTest, UnregisterRemovesTheRegistration) {
  ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
  ASSERT_TRUE(client_->unregisterProfile(profilePath).ok());
  EXPECT_TRUE(registrations().empty());
  EXPECT_EQ(unregisterCalls(),
            (std::vector<UnregisterCall>{{profilePath, client_->uniqueName(), Outcome::removed}}));
  EXPECT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
}

// Each refusal carries bluetoothd's error name and leaves the registrations as they were.
TEST_F(BluezSimTest, RefusesWithBluetoothdErrors) {
  ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
  auto other = connect();
  ASSERT_NE(other, nullptr);
  struct Case {
    const char* scenario;
    BusClient* caller;
    const char* path;
    std::string uuid;
    std::vector<ProfileOption> options;
    const char* error;
  };
  const Case cases[] = {
      {"malformed UUID",
       other.get(),
       "/other",
       "d53f4e4c6c174d8ba1c74a7a3f6d9a10",
       {},
       "org.bluez.Error.InvalidArguments"},
      {"same path twice",
       client_.get(),
       profilePath,
       otherUuid,
       {},
       "org.bluez.Error.AlreadyExists"},
      {"UUID already registered",
       other.get(),
       "/other",
       companionUuid,
       {},
       "org.bluez.Error.NotPermitted"},
      {"malformed record",
       other.get(),
       "/other",
       otherUuid,
       {{"ServiceRecord", "s", "<record><attribute id=\"0x0001\"></record>"}},
       "org.bluez.Error.InvalidArguments"},
  };
  for (const auto& c : cases) {
    CallOutcome outcome = c.caller->registerProfile(c.path, c.uuid, c.options);
    EXPECT_EQ(outcome.errorName, c.error) << c.scenario << ": " << outcome.errorMessage;
  }
  EXPECT_EQ(client_->unregisterProfile("/nowhere").errorName, "org.bluez.Error.DoesNotExist");
  EXPECT_EQ(other->unregisterProfile(profilePath).errorName, "org.bluez.Error.DoesNotExist")
      << "another owner's profile must not be removable";
  auto registered = registrations();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0].owner, client_->uniqueName());
  EXPECT_EQ(unregisterCalls(),
            (std::vector<UnregisterCall>{{"/nowhere", client_->uniqueName(), Outcome::refused},
                                         {profilePath, other->uniqueName(), Outcome::refused}}));
}

// A malformed record is refused with the reason in the error message.
TEST_F(BluezSimTest, MalformedRecordErrorNamesTheProblem) {
  CallOutcome outcome =
      client_->registerProfile(profilePath, companionUuid,
                               {{"ServiceRecord", "s", "<record><uint8 value=\"1\"/></record>"}});
  EXPECT_EQ(outcome.errorName, "org.bluez.Error.InvalidArguments");
  EXPECT_NE(outcome.errorMessage.find("ServiceRecord: <uint8> directly in <record>"),
            std::string::npos)
      << outcome.errorMessage;
}

// With --fail-register every registration fails with org.bluez.Error.Failed.
TEST_F(BluezSimTest, FailRegisterSwitchFailsEveryRegistration) {
  ASSERT_TRUE(sim_->stop().has_value());
  ASSERT_NO_FATAL_FAILURE(startSim({.failRegister = true}));
  CallOutcome outcome = client_->registerProfile(profilePath, companionUuid, serverOptions());
  EXPECT_EQ(outcome.errorName, "org.bluez.Error.Failed");
  EXPECT_EQ(outcome.errorMessage, "simulated failure");
  EXPECT_TRUE(registrations().empty());
}

// A Channel of the wrong type is ignored with a warning, and the profile then listens nowhere.
TEST_F(BluezSimTest, WrongOptionTypeIsIgnoredWithAWarning) {
  auto options = serverOptions();
  options[2] = {"Channel", "y", "1"};
  ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, options).ok());
  EXPECT_TRUE(
      sim_->waitForLog("warning: Invalid value for profile option Channel: type y, expected q"))
      << sim_->log();
  auto registered = registrations();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0].options[2], (ProfileOption{"Channel", "y", "1"}));
  EXPECT_EQ(registered[0].listening, "none");

  auto peer = sim_->connectClient();
  ASSERT_TRUE(peer.ok()) << peer.error();
  EXPECT_TRUE(waitForEndOfFile(peer.value().get()));
  EXPECT_TRUE(sim_->waitForLog("client 1: no profile listens; closed")) << sim_->log();
}

// Option keys match in any case, as bluetoothd matches them.
TEST_F(BluezSimTest, OptionKeysMatchInAnyCase) {
  ASSERT_TRUE(client_
                  ->registerProfile(profilePath, companionUuid,
                                    {{"role", "s", "server"}, {"CHANNEL", "q", "7"}})
                  .ok());
  auto registered = registrations();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0].listening, "7");
}

// A client on the socket arrives as NewConnection from org.bluez with a non-blocking socket that
// carries bytes both ways.
TEST_F(BluezSimTest, ClientArrivesAsNewConnectionWithAUsableSocket) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  UniqueFd peer;
  ASSERT_NO_FATAL_FAILURE(connectThroughProfile(*profile, peer));
  ProfileEndpoint::Connection& connection = profile->connections()[0];
  EXPECT_EQ(connection.device, "/org/bluez/hci0/dev_00_00_00_00_00_01");
  EXPECT_EQ(client_->nameOwner("org.bluez"), std::optional<std::string>(connection.sender));
  EXPECT_TRUE(connection.properties.empty());
  EXPECT_NE(::fcntl(connection.fd.get(), F_GETFL) & O_NONBLOCK, 0);

  ASSERT_TRUE(writeWithin(peer.get(), "from the client\n"));
  EXPECT_EQ(readLineWithin(connection.fd.get()), "from the client");
  ASSERT_TRUE(writeWithin(connection.fd.get(), "from the receiver\n"));
  EXPECT_EQ(readLineWithin(peer.get()), "from the receiver");

  auto second = sim_->connectClient();
  ASSERT_TRUE(second.ok()) << second.error();
  ASSERT_TRUE(client_->processUntil([&] { return profile->connections().size() == 2; }))
      << sim_->log();
  EXPECT_EQ(profile->connections()[1].device, "/org/bluez/hci0/dev_00_00_00_00_00_02");
}

// Closing every copy the receiver has leaves the link up, because the simulator keeps its own; the
// client's hang-up ends it.
TEST_F(BluezSimTest, KeepsItsOwnCopyOfTheSocket) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  UniqueFd peer;
  ASSERT_NO_FATAL_FAILURE(connectThroughProfile(*profile, peer));
  ino_t socket = inodeOf(profile->connections()[0].fd.get());
  profile->connections().clear();
  // A round trip through the bus daemon: it has dropped its copies of the passed fd.
  ASSERT_TRUE(client_->nameOwner("org.bluez").has_value());
  ASSERT_FALSE(holdsSocket(::getpid(), socket));
  ASSERT_FALSE(holdsSocket(bus_->daemon().pid(), socket));

  EXPECT_TRUE(holdsSocket(sim_->process().pid(), socket));
  EXPECT_FALSE(hasPendingEvent(peer.get())) << "the client saw the link end";
  EXPECT_TRUE(writeWithin(peer.get(), "still connected\n"));

  peer.reset();
  ASSERT_TRUE(sim_->waitForLog("client 1: /org/bluez/hci0/dev_00_00_00_00_00_01 hung up; closed"))
      << sim_->log();
  EXPECT_FALSE(holdsSocket(sim_->process().pid(), socket));
}

// The receiver's shutdown() ends the link for the client, and the simulator then closes its copy.
TEST_F(BluezSimTest, ReceiverShutdownEndsTheLink) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  UniqueFd peer;
  ASSERT_NO_FATAL_FAILURE(connectThroughProfile(*profile, peer));
  ino_t socket = inodeOf(profile->connections()[0].fd.get());
  ASSERT_EQ(::shutdown(profile->connections()[0].fd.get(), SHUT_RDWR), 0);
  EXPECT_TRUE(waitForEndOfFile(peer.get()));
  ASSERT_TRUE(sim_->waitForLog("hung up; closed")) << sim_->log();
  EXPECT_FALSE(holdsSocket(sim_->process().pid(), socket));
}

// An error reply to NewConnection makes the simulator close its copy, logging the error.
TEST_F(BluezSimTest, ErrorReplyClosesTheConnection) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  profile->refuseNewConnections("org.bluez.Error.Rejected", "not now");
  UniqueFd peer;
  ASSERT_NO_FATAL_FAILURE(connectThroughProfile(*profile, peer));
  profile->connections().clear();
  EXPECT_TRUE(
      sim_->waitForLog("NewConnection(/org/bluez/hci0/dev_00_00_00_00_00_01) failed: "
                       "org.bluez.Error.Rejected: not now; closed"))
      << sim_->log();
  EXPECT_TRUE(waitForEndOfFile(peer.get()));
}

// With no profile registered a client is closed at once.
TEST_F(BluezSimTest, ClientWithoutAProfileIsClosed) {
  auto peer = sim_->connectClient();
  ASSERT_TRUE(peer.ok()) << peer.error();
  EXPECT_TRUE(waitForEndOfFile(peer.value().get()));
  EXPECT_TRUE(sim_->waitForLog("client 1: no profile listens; closed")) << sim_->log();
}

// When the owner leaves the bus its registration is dropped, its connections closed and its UUID
// freed.
TEST_F(BluezSimTest, OwnerLeavingDropsTheRegistration) {
  auto owner = connect();
  ASSERT_NE(owner, nullptr);
  auto profile = exportProfile(*owner);
  ASSERT_NE(profile, nullptr);
  std::string ownerName = owner->uniqueName();
  ASSERT_TRUE(owner->registerProfile(profilePath, companionUuid, serverOptions()).ok());
  auto peer = sim_->connectClient();
  ASSERT_TRUE(peer.ok()) << peer.error();
  ASSERT_TRUE(owner->processUntil([&] { return profile->connections().size() == 1; }))
      << sim_->log();

  profile.reset();
  owner.reset();
  ASSERT_TRUE(sim_->waitForLog(ownerName + " left the bus: dropped /test/profile")) << sim_->log();
  EXPECT_TRUE(
      sim_->waitForLog("client 1: /org/bluez/hci0/dev_00_00_00_00_00_01 closed with its profile"))
      << sim_->log();
  EXPECT_TRUE(registrations().empty());
  EXPECT_TRUE(unregisterCalls().empty()) << "a dropped registration is no withdrawal";
  EXPECT_TRUE(waitForEndOfFile(peer.value().get()));
  EXPECT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
}

// SIGTERM sends Release() to every profile and exits 0; a new simulator on the same bus then serves
// registrations.
TEST_F(BluezSimTest, TerminationReleasesProfilesAndExitsZero) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
  EXPECT_EQ(sim_->stop(), ExitStatus::exitedWith(0)) << sim_->log();
  EXPECT_TRUE(client_->processUntil([&] { return profile->releaseCalls() == 1; }));
  EXPECT_TRUE(registrations().empty());

  ASSERT_NO_FATAL_FAILURE(startSim({}));
  EXPECT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
}

// GetManagedObjects at "/" lists /org/bluez with ProfileManager1 and the adapter the simulator
// started with, and a client gets through only with an adapter powered.
TEST_F(BluezSimTest, ListsAndServesTheAdapterItStartsWith) {
  struct Case {
    const char* scenario;
    StartAdapter adapter;
    const char* powered;  // hci0's Powered, or nullptr for no hci0
    const char* client;   // what the simulator did with a client
  };
  const Case cases[] = {
      {"default", StartAdapter::powered, "true",
       "client 1: NewConnection(/org/bluez/hci0/dev_00_00_00_00_00_01) sent"},
      {"--adapter-off", StartAdapter::unpowered, "false", "client 1: no powered adapter; closed"},
      {"--no-adapter", StartAdapter::none, nullptr, "client 1: no powered adapter; closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    ASSERT_TRUE(sim_->stop().has_value());
    ASSERT_NO_FATAL_FAILURE(startSim({.adapter = c.adapter}));
    auto objects = client_->managedObjects("org.bluez");
    ASSERT_TRUE(objects.ok()) << objects.error().errorName << ": " << objects.error().errorMessage;
    EXPECT_TRUE(objects.value()["/org/bluez"].contains("org.bluez.ProfileManager1"));
    auto hci0 = objects.value().find("/org/bluez/hci0");
    if (c.powered == nullptr) {
      EXPECT_EQ(hci0, objects.value().end());
    } else {
      ASSERT_NE(hci0, objects.value().end());
      const PropertyList& adapter = hci0->second["org.bluez.Adapter1"];
      EXPECT_EQ(find(adapter, "Address"), (ProfileOption{"Address", "s", "00:AA:BB:CC:DD:00"}));
      EXPECT_EQ(find(adapter, "AddressType"), (ProfileOption{"AddressType", "s", "public"}));
      EXPECT_EQ(find(adapter, "Powered"), (ProfileOption{"Powered", "b", c.powered}));
    }

    ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
    auto peer = sim_->connectClient();
    ASSERT_TRUE(peer.ok()) << peer.error();
    EXPECT_TRUE(sim_->waitForLog(c.client)) << sim_->log();
  }
}

// Powering the adapter off as `bluetoothctl power off` does is answered and announced; the link of
// a connected client drops for both ends and the simulator lets go of its copy; new clients are
// refused until the adapter is powered again.
TEST_F(BluezSimTest, PoweringOffDropsLinksAndRefusesClients) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  UniqueFd peer;
  ASSERT_NO_FATAL_FAILURE(connectThroughProfile(*profile, peer));
  int receiverFd = profile->connections()[0].fd.get();
  ino_t socket = inodeOf(receiverFd);
  auto watched = ObjectSignals::watch(*client_, "org.bluez");
  ASSERT_TRUE(watched.ok()) << watched.error();
  const auto& signals = watched.value()->received();

  ASSERT_TRUE(sim_->setAdapterPowered("/org/bluez/hci0", false).ok());
  ASSERT_TRUE(client_->processUntil([&] { return signals.size() == 1; })) << sim_->log();
  EXPECT_EQ(signals[0].member, "PropertiesChanged");
  EXPECT_EQ(signals[0].path, "/org/bluez/hci0");
  EXPECT_EQ(signals[0].interfaces,
            (InterfaceMap{{"org.bluez.Adapter1", {{"Powered", "b", "false"}}}}));
  EXPECT_TRUE(waitForEndOfFile(peer.get()));
  EXPECT_TRUE(waitForEndOfFile(receiverFd));
  EXPECT_TRUE(sim_->waitForLog(
      "client 1: /org/bluez/hci0/dev_00_00_00_00_00_01 lost its link; shut down and closed"))
      << sim_->log();
  EXPECT_FALSE(holdsSocket(sim_->process().pid(), socket));

  auto refused = sim_->connectClient();
  ASSERT_TRUE(refused.ok()) << refused.error();
  EXPECT_TRUE(waitForEndOfFile(refused.value().get()));
  EXPECT_TRUE(sim_->waitForLog("client 2: no powered adapter; closed")) << sim_->log();

  ASSERT_TRUE(sim_->setAdapterPowered("/org/bluez/hci0", true).ok());
  auto welcome = sim_->connectClient();
  ASSERT_TRUE(welcome.ok()) << welcome.error();
  ASSERT_TRUE(client_->processUntil([&] { return profile->connections().size() == 2; }))
      << sim_->log();
  ASSERT_EQ(signals.size(), 2u);
  EXPECT_EQ(signals[1].interfaces,
            (InterfaceMap{{"org.bluez.Adapter1", {{"Powered", "b", "true"}}}}));
}

// Adapters come and go at run time through the simulator's control object: each is announced,
// takes the lowest free hciN, and removing one drops the links through it; a client arrives
// through the lowest-numbered powered adapter.
TEST_F(BluezSimTest, AddsAndRemovesAdaptersAtRunTime) {
  auto profile = exportProfile(*client_);
  ASSERT_NE(profile, nullptr);
  UniqueFd peer;
  ASSERT_NO_FATAL_FAILURE(connectThroughProfile(*profile, peer));
  auto watched = ObjectSignals::watch(*client_, "org.bluez");
  ASSERT_TRUE(watched.ok()) << watched.error();
  const auto& signals = watched.value()->received();

  auto hci1 = sim_->addAdapter();
  ASSERT_TRUE(hci1.ok()) << hci1.error().errorName << ": " << hci1.error().errorMessage;
  EXPECT_EQ(hci1.value(), "/org/bluez/hci1");
  ASSERT_TRUE(client_->processUntil([&] { return signals.size() == 1; })) << sim_->log();
  EXPECT_EQ(signals[0].member, "InterfacesAdded");
  EXPECT_EQ(signals[0].path, "/org/bluez/hci1");
  const PropertyList& added = signals[0].interfaces.at("org.bluez.Adapter1");
  EXPECT_EQ(find(added, "Address"), (ProfileOption{"Address", "s", "00:AA:BB:CC:DD:01"}));
  EXPECT_EQ(find(added, "Powered"), (ProfileOption{"Powered", "b", "true"}));

  ASSERT_TRUE(sim_->removeAdapter("/org/bluez/hci0").ok());
  ASSERT_TRUE(client_->processUntil([&] { return signals.size() == 2; })) << sim_->log();
  EXPECT_EQ(signals[1].member, "InterfacesRemoved");
  EXPECT_EQ(signals[1].path, "/org/bluez/hci0");
  EXPECT_TRUE(signals[1].interfaces.contains("org.bluez.Adapter1"));
  EXPECT_TRUE(waitForEndOfFile(peer.get()));

  auto second = sim_->connectClient();
  ASSERT_TRUE(second.ok()) << second.error();
  ASSERT_TRUE(client_->processUntil([&] { return profile->connections().size() == 2; }))
      << sim_->log();
  EXPECT_EQ(profile->connections()[1].device, "/org/bluez/hci1/dev_00_00_00_00_00_02");

  auto hci0 = sim_->addAdapter();
  ASSERT_TRUE(hci0.ok()) << hci0.error().errorName;
  EXPECT_EQ(hci0.value(), "/org/bluez/hci0");
  auto objects = client_->managedObjects("org.bluez");
  ASSERT_TRUE(objects.ok()) << objects.error().errorName;
  EXPECT_TRUE(objects.value().contains("/org/bluez/hci0"));
  EXPECT_TRUE(objects.value().contains("/org/bluez/hci1"));
  EXPECT_EQ(sim_->removeAdapter("/org/bluez/hci7").errorName,
            "org.harlo.BluezSim.Error.DoesNotExist");
}

// With --never-answer-unregister an UnregisterProfile call is recorded but never answered, and the
// profile stays registered: later calls are answered while it still waits, and only the
// simulator's exit ends it (the bus daemon then answers NoReply).
TEST_F(BluezSimTest, NeverAnswerUnregisterLeavesTheCallPending) {
  ASSERT_TRUE(sim_->stop().has_value());
  ASSERT_NO_FATAL_FAILURE(startSim({.neverAnswerUnregister = true}));
  ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());

  std::optional<std::string> answer;  // the reply's error name, "" for success
  auto onReply = [](sd_bus_message* reply, void* data, sd_bus_error*) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    *static_cast<std::optional<std::string>*>(data) = error ? error->name : "";
    return 0;
  };
  sd_bus_slot* pending = nullptr;
  ASSERT_GE(sd_bus_call_method_async(client_->native(), &pending, "org.bluez", "/org/bluez",
                                     "org.bluez.ProfileManager1", "UnregisterProfile", onReply,
                                     &answer, "o", profilePath),
            0);
  EXPECT_TRUE(sim_->waitForLog("UnregisterProfile /test/profile from " + client_->uniqueName() +
                               " left unanswered"))
      << sim_->log();

  // The simulator answers in arrival order: once a later call's reply is in, an answer to the
  // first would have been too.
  ASSERT_TRUE(client_->registerProfile("/other", otherUuid, {}).ok());
  client_->processUntil([&] { return answer.has_value(); }, std::chrono::milliseconds(0));
  EXPECT_FALSE(answer.has_value()) << "answered " << *answer;
  EXPECT_EQ(
      unregisterCalls(),
      (std::vector<UnregisterCall>{{profilePath, client_->uniqueName(), Outcome::unanswered}}));
  EXPECT_EQ(registrations().size(), 2u);

  EXPECT_EQ(sim_->stop(), ExitStatus::exitedWith(0)) << sim_->log();
  EXPECT_TRUE(client_->processUntil([&] { return answer.has_value(); }));
  EXPECT_EQ(answer, "org.freedesktop.DBus.Error.NoReply");
  sd_bus_slot_unref(pending);
}

}  // namespace
}  // namespace harlo::test_support
