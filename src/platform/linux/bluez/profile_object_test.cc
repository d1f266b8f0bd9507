#include "platform/linux/bluez/profile_object.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/linux/bluez/bluez_names.h"
#include "testing/private_bus_fixture.h"
#include "testing/recording_log.h"
#include "testing/test_recorders.h"
#include "testing/test_watchdog.h"

namespace harlo::platform {
namespace {

using std::chrono::seconds;

// One end of a client link: the other end goes to NewConnection.
struct Link {
  Link() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
  ~Link() {
    for (const int fd : fds) ::close(fd);
  }
  int client() const { return fds[0]; }
  int daemonCopy() const { return fds[1]; }
  // Reads from the client end until a byte or end of file; the byte, or -1.
  int clientReadByte() const {
    const TestWatchdog watchdog("client end reads", seconds(5));
    char c;
    return ::read(client(), &c, 1) == 1 ? c : -1;
  }
  int fds[2] = {-1, -1};
};

class ProfileObjectTest : public PrivateBusFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateBusFixture::SetUp());
    bluez_ = connect();
    stranger_ = connect();
    ASSERT_TRUE(bluez_ && stranger_);
    ASSERT_GE(sd_bus_request_name(bluez_, bluezService, 0), 0);

    auto opened = BusConnection::open(*loop_);
    ASSERT_TRUE(opened.ok());
    connection_ = std::move(opened).value();
    const char* name = nullptr;
    ASSERT_GE(sd_bus_get_unique_name(connection_->bus(), &name), 0);
    uniqueName_ = name;
    auto exported =
        ProfileObject::exportAt(connection_, *loop_, log_, profileObjectPath, 1, observer_);
    ASSERT_TRUE(exported.ok());
    profile_ = std::move(exported).value();
    runLoopThread();
  }

  void releaseOnLoop() override {
    observer_.clear();
    profile_.reset();
    connection_.reset();
  }

  void TearDown() override {
    PrivateBusFixture::TearDown();
    sd_bus_flush_close_unref(bluez_);
    sd_bus_flush_close_unref(stranger_);
  }

  static sd_bus* connect() {
    sd_bus* bus = nullptr;
    return sd_bus_open_system(&bus) >= 0 ? bus : nullptr;
  }

  // Calls `method` of our Profile1 object from `caller`; the D-Bus error
  // name, or "" when the call succeeded.
  template <typename... Args>
  std::string call(sd_bus* caller, const char* method, const char* types, Args... args) {
    BusError error;
    sd_bus_message* reply = nullptr;
    const int called =
        sd_bus_call_method(caller, uniqueName_.c_str(), profileObjectPath, profileInterface, method,
                           error.get(), &reply, types, args...);
    const BusMessagePtr replyOwner(reply);
    if (called >= 0) return "";
    return error.get()->name ? error.get()->name : "failed";
  }
  std::string newConnection(sd_bus* caller, const char* device, const Link& link) {
    return call(caller, "NewConnection", "oha{sv}", device, link.daemonCopy(), 0);
  }

  sd_bus* bluez_ = nullptr;     // owns org.bluez, as bluetoothd does
  sd_bus* stranger_ = nullptr;  // any other client of the bus
  RecordingLog log_;
  RecordingObserver observer_;
  std::shared_ptr<BusConnection> connection_;
  std::string uniqueName_;
  std::shared_ptr<ProfileObject> profile_;
};

constexpr const char* deviceA = "/org/bluez/hci0/dev_00_11_22_33_44_55";
constexpr const char* deviceB = "/org/bluez/hci0/dev_66_77_88_99_AA_BB";

// BlueZ's NewConnection yields a working channel on our own copy of the fd.
TEST_F(ProfileObjectTest, AcceptsChannelFromBluez) {
  Link link;
  EXPECT_EQ(newConnection(bluez_, deviceA, link), "");
  const auto channel = observer_.waitForChannel(0);
  EXPECT_EQ(channel->names(), rfcommChannelNames(1, 1));
  ::close(link.fds[1]);
  link.fds[1] = -1;  // the message's copy is gone too: only ours is left
  const std::uint8_t reply[] = {'o', 'k'};
  EXPECT_EQ(channel->write(reply, {}), statusOK);
  EXPECT_EQ(link.clientReadByte(), 'o');
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"client 00:11:22:33:44:55 connected on RFCOMM channel 1"});
}

// Anyone but the owner of org.bluez is rejected, and its fd is not kept; its
// Release changes nothing. Each is logged with the caller's name.
TEST_F(ProfileObjectTest, RejectsOtherSenders) {
  int releases = 0;
  loop_->postAndWait([&] { profile_->onRelease([&releases] { ++releases; }); });
  Link link;
  EXPECT_EQ(newConnection(stranger_, deviceA, link), rejectedError);
  EXPECT_EQ(call(stranger_, "RequestDisconnection", "o", deviceA), rejectedError);
  EXPECT_EQ(call(stranger_, "Release", ""), "");
  ::close(link.fds[1]);
  link.fds[1] = -1;
  EXPECT_EQ(link.clientReadByte(), -1);  // end of file: no copy of the fd survived
  thread_->drain();
  EXPECT_EQ(observer_.count(), 0u);
  EXPECT_EQ(releases, 0);
  const char* name = nullptr;
  ASSERT_GE(sd_bus_get_unique_name(stranger_, &name), 0);
  const std::string stranger =
      std::string(" ") + name + ", which is not bluetoothd (the owner of org.bluez)";
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"refused a connection offered by" + stranger,
                                                    "refused a disconnection asked by" + stranger,
                                                    "ignored a release asked by" + stranger}));
}

// When org.bluez changes hands, only the new owner is trusted.
TEST_F(ProfileObjectTest, FollowsOwnerOfBluezName) {
  ASSERT_GE(sd_bus_release_name(bluez_, bluezService), 0);
  ASSERT_GE(sd_bus_request_name(stranger_, bluezService, 0), 0);
  Link first;
  Link second;
  EXPECT_EQ(newConnection(bluez_, deviceA, first), rejectedError);
  EXPECT_EQ(newConnection(stranger_, deviceA, second), "");
  observer_.waitForChannel(0);
  thread_->drain();
  EXPECT_EQ(observer_.count(), 1u);
}

// RequestDisconnection shuts the device's channels although BlueZ keeps its
// copies open; another device's channel goes on working.
TEST_F(ProfileObjectTest, RequestDisconnectionClosesThatDevice) {
  Link linkA;
  Link linkB;
  ASSERT_EQ(newConnection(bluez_, deviceA, linkA), "");
  ASSERT_EQ(newConnection(bluez_, deviceB, linkB), "");
  observer_.waitForChannel(1);
  EXPECT_EQ(call(bluez_, "RequestDisconnection", "o", deviceA), "");
  EXPECT_EQ(linkA.clientReadByte(), -1);
  const std::uint8_t byte[] = {'b'};
  EXPECT_EQ(observer_.waitForChannel(1)->write(byte, {}), statusOK);
  EXPECT_EQ(linkB.clientReadByte(), 'b');
}

// After unregister() the object is gone from the bus and nothing is delivered.
TEST_F(ProfileObjectTest, UnregisterRemovesTheObject) {
  profile_->unregister();
  profile_->unregister();
  Link link;
  EXPECT_EQ(newConnection(bluez_, deviceA, link), "org.freedesktop.DBus.Error.UnknownObject");
  thread_->drain();
  EXPECT_EQ(observer_.count(), 0u);
}

}  // namespace
}  // namespace harlo::platform
