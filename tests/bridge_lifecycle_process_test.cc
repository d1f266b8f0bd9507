// The real helper in bridge mode against bluez-sim: what it registers, how it
// ends, how it fails to start, and whom it accepts channels from.
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "bridge_process_fixture.h"
#include "bus_client.h"
#include "harness_names.h"
#include "testing/companion_record.h"

namespace harlo::test_support {
namespace {

// True when process `pid` holds a descriptor of the socket `fd` refers to.
bool holdsSocketOf(pid_t pid, int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  const std::filesystem::path target = "socket:[" + std::to_string(info.st_ino) + "]";
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    if (std::filesystem::read_symlink(entry.path(), error) == target) return true;
  }
  return false;
}

// Polls `condition` until it holds or `bound` has passed; returns it.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds bound = defaultWait) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

using BridgeLifecycle = BridgeProcessTest;

// The profile registered at start carries the companion UUID in lower case,
// every option with its exact D-Bus type, and the record XML byte for byte.
TEST_F(BridgeLifecycle, StartRegistersTheCompanionProfile) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  const auto registration = helperRegistration();
  ASSERT_TRUE(registration) << diagnostics();
  EXPECT_EQ(registration->uuid, "d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10");
  EXPECT_EQ(registration->listening, "1");
  EXPECT_TRUE(sd_bus_object_path_is_valid(registration->path.c_str())) << registration->path;
  const std::vector<ProfileOption> expected = {
      {"Name", "s", "Harlo Unicode Companion"},
      {"Role", "s", "server"},
      {"Channel", "q", "1"},
      {"ServiceRecord", "s", std::string(companionRecordXML)},
      {"RequireAuthentication", "b", "true"},
      {"RequireAuthorization", "b", "true"},
      {"AutoConnect", "b", "false"},
  };
  EXPECT_EQ(registration->options, expected);
  EXPECT_EQ(registration->record, companionRecordXML);
  EXPECT_EQ(sim_->log().find("warning"), std::string::npos) << sim_->log();
}

// "shutdown" and end of input each stop the bridge: the connected client sees
// the end, "stopping" carries the reason, the profile is unregistered and the
// helper exits 0 with nothing on standard error.
TEST_F(BridgeLifecycle, ShutdownAndEndOfInputStopCleanly) {
  struct Case {
    const char* scenario;
    bool byCommand;  // else by closing standard input
    const char* detail;
  };
  const Case cases[] = {
      {"shutdown command", true, "shutdown requested"},
      {"end of input", false, "stdin closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    ASSERT_NO_FATAL_FAILURE(startReady());
    const auto registration = helperRegistration();
    ASSERT_TRUE(registration) << diagnostics();
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);

    if (c.byCommand) {
      send(commandLine("shutdown"));
    } else {
      helper_->closeStdin();
    }
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
    // The close of the client channel may be reported on either side of
    // "stopping", or not at all once the run loop has stopped.
    std::vector<nlohmann::json> rest;
    while (auto line = helper_->readLine(Subprocess::Stream::out)) {
      auto message = nlohmann::json::parse(*line, nullptr, false);
      if (message !=
          eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1")) {
        rest.push_back(message);
      }
    }
    EXPECT_EQ(rest, std::vector<nlohmann::json>{eventMessage("stopping", c.detail)});
    EXPECT_EQ(helper_->transcript(Subprocess::Stream::err), "");
    EXPECT_TRUE(waitForEndOfFile(client.get()));
    EXPECT_TRUE(
        sim_->waitForLog("unregistered " + registration->path + " for " + registration->owner))
        << sim_->log();
    EXPECT_FALSE(helperRegistration());
  }
}

// A refused registration and a bus without org.bluez each end the helper with
// the start failure on standard error, nothing on standard output, status 2.
TEST_F(BridgeLifecycle, StartFailuresEndWithStatus2) {
  struct Case {
    const char* scenario;
    bool withSim;
    BluezSim::Options options;
  };
  const Case cases[] = {
      {"RegisterProfile fails", true, {.failRegister = true}},
      {"no org.bluez on the bus", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    ASSERT_NO_FATAL_FAILURE(startHelper(c.withSim, c.options));
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(2));
    EXPECT_EQ(
        helper_->transcript(Subprocess::Stream::err),
        "RFCOMM server bridge failed: startup(\"failed to publish local SDP service record\")\n");
    EXPECT_EQ(helper_->transcript(Subprocess::Stream::out), "");
  }
}

// A NewConnection from a bus peer that is not org.bluez is refused with
// org.bluez.Error.Rejected; the helper keeps no copy of its fd, never reads
// it, and reports nothing, so the next real client is the only one it sees.
TEST_F(BridgeLifecycle, NewConnectionFromAnotherPeerIsRejected) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  const auto registration = helperRegistration();
  ASSERT_TRUE(registration) << diagnostics();
  auto intruder = BusClient::connect(bus_->address());
  ASSERT_TRUE(intruder.ok()) << intruder.error();

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd ours(pair[0]);
  UniqueFd offered(pair[1]);
  // Were the channel taken, this hello would be answered and reported.
  ASSERT_TRUE(writeWithin(ours.get(), "{\"type\":\"hello\"}\n"));

  sd_bus* bus = intruder.value()->native();
  sd_bus_message* call = nullptr;
  ASSERT_GE(sd_bus_message_new_method_call(bus, &call, registration->owner.c_str(),
                                           registration->path.c_str(), "org.bluez.Profile1",
                                           "NewConnection"),
            0);
  ASSERT_GE(sd_bus_message_append(call, "oha{sv}", "/org/bluez/hci0/dev_66_66_66_66_66_66",
                                  offered.get(), 0),
            0);
  sd_bus_error error{};
  sd_bus_message* reply = nullptr;
  const auto timeoutUsec = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(defaultWait).count());
  const int called = sd_bus_call(bus, call, timeoutUsec, &error, &reply);
  EXPECT_LT(called, 0);
  EXPECT_STREQ(error.name, "org.bluez.Error.Rejected") << (error.message ? error.message : "");
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);

  EXPECT_TRUE(eventually([&] { return !holdsSocketOf(helper_->pid(), offered.get()); }))
      << "the helper kept the refused fd";
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  ASSERT_TRUE(writeWithin(client.get(), "after\n"));
  EXPECT_EQ(nextMessage(), protocolMessage("after"));
  EXPECT_FALSE(hasPendingEvent(ours.get())) << "the refused channel was written to";
}

}  // namespace
}  // namespace harlo::test_support
