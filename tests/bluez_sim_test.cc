// The bluez-sim program, driven over a private bus from the test process,
// which registers profiles and plays the Profile1 receiver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bus_client.h"
#include "companion_record.h"
#include "harness_names.h"
#include "profile_endpoint.h"

namespace harlo::test_support {
namespace {

constexpr const char* companionUuid = "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10";
constexpr const char* otherUuid = "00001101-0000-1000-8000-00805f9b34fb";
constexpr const char* profilePath = "/test/profile";

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

// Unregistering removes the registration and frees its UUID.
TEST_F(BluezSimTest, UnregisterRemovesTheRegistration) {
  ASSERT_TRUE(client_->registerProfile(profilePath, companionUuid, serverOptions()).ok());
  ASSERT_TRUE(client_->unregisterProfile(profilePath).ok());
  EXPECT_TRUE(registrations().empty());
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

}  // namespace
}  // namespace harlo::test_support
