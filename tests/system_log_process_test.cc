// What the real helper in bridge mode writes to the system log, read back
// through a SyslogCapture: each start failure names its own cause, a session
// names each client's device and why it went with the bytes each way, and
// traffic adds no line at all.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge_process_fixture.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// A line of the helper's: its ident, the user facility, `severity` and a
// message matching `message`.
Matcher<SyslogLine> logged(int severity, Matcher<const std::string&> message) {
  return AllOf(Field("ident", &SyslogLine::ident, "HarloCompanionHelper"),
               Field("facility", &SyslogLine::facility, LOG_USER),
               Field("severity", &SyslogLine::severity, severity),
               Field("message", &SyslogLine::message, message));
}

const Matcher<SyslogLine> started =
    logged(LOG_NOTICE, "HarloCompanionHelper " HARLO_PROJECT_VERSION " starting in bridge mode");
// bluez-sim's one adapter, as the helper logs it when it reads the adapters.
const Matcher<SyslogLine> hci0Powered =
    logged(LOG_NOTICE, "adapter /org/bluez/hci0 00:AA:BB:CC:DD:00 powered on");
const Matcher<SyslogLine> registered =
    logged(LOG_NOTICE,
           "registered the service d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10 with bluetoothd: RFCOMM "
           "channel 1 asked, 1 granted; authentication and authorization required");

Matcher<SyslogLine> ended(int status) {
  return logged(LOG_NOTICE, "bridge mode ended with exit status " + std::to_string(status));
}

Matcher<SyslogLine> clientConnected(int client) {
  return logged(LOG_INFO, "client 00:00:00:00:00:0" + std::to_string(client) +
                              " connected on RFCOMM channel 1");
}

const std::string startFailure =
    "RFCOMM server bridge failed: startup(\"failed to publish local SDP service record\")";
const nlohmann::json disconnected =
    eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1");

// `messages` in a fixed order, for comparing messages whose order the helper
// does not define.
std::vector<nlohmann::json> sorted(std::vector<nlohmann::json> messages) {
  std::sort(messages.begin(), messages.end());
  return messages;
}

class HelperSystemLog : public BridgeProcessTest {
 protected:
  void SetUp() override { captureSystemLog(); }

  // What `pid` has logged since the last call: at least `count` lines,
  // waited for with a bound (the helper's log thread sends a line a moment
  // after the event that the test has seen), and any others that came by then.
  std::vector<SyslogLine> loggedBy(pid_t pid, std::size_t count = 0) {
    std::vector<SyslogLine> lines;
    const auto deadline = std::chrono::steady_clock::now() + defaultWait;
    for (;;) {
      std::string problem;
      std::vector<SyslogLine> taken = syslog_->takeLines(&problem);
      EXPECT_EQ(problem, "");
      std::erase_if(taken, [pid](const SyslogLine& line) { return line.pid != pid; });
      lines.insert(lines.end(), taken.begin(), taken.end());
      if (lines.size() >= count || std::chrono::steady_clock::now() >= deadline) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // The next `count` messages, each within `bound`, sorted.
  std::vector<nlohmann::json> nextMessages(std::size_t count, std::chrono::milliseconds bound) {
    std::vector<nlohmann::json> messages;
    for (std::size_t i = 0; i < count; ++i) messages.push_back(nextMessage(bound));
    return sorted(std::move(messages));
  }
};

// The ways the start can fail, each with the cause the log names.
class StartFailures : public BridgeProcessTest {
 protected:
  struct Case {
    const char* scenario;
    std::function<void()> start;  // leaves the helper that must fail in helper_
    Matcher<const std::string&> cause;
    bool adapterRead;  // bluetoothd answered: its adapter is logged before the cause
  };

  // Starts each case in turn and, once its helper has ended with status 2,
  // nothing on standard output and the fixed line last on standard error,
  // has `check` look at it.
  void forEachStartFailure(const std::function<void(const Case&)>& check) {
    auto scratch = TempDir::create("harlo-nobus");
    ASSERT_TRUE(scratch.ok()) << scratch.error();
    // A socket file nobody listens on, as a system bus whose daemon is gone.
    const std::string deadBus = scratch.value()->file("bus");
    {
      UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::copy(deadBus.begin(), deadBus.end(), address.sun_path);
      ASSERT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
                0);
    }
    std::unique_ptr<Subprocess> firstInstance;
    const Case cases[] = {
        {"no system bus",
         [&] {
           auto helper = launchHelper({{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + deadBus}});
           ASSERT_TRUE(helper.ok()) << helper.error();
           helper_ = std::move(helper.value());
         },
         "cannot connect to the system bus: Connection refused", false},
        {"no bluetoothd", [&] { startHelper(false); },
         "cannot register the service: bluetoothd is not running (nothing owns org.bluez on the "
         "system bus)",
         false},
        {"bus policy denies org.bluez", [&] { startHelper(true, {}, BusPolicy::bluezDenied); },
         StartsWith("cannot register the service: RegisterProfile failed: "
                    "org.freedesktop.DBus.Error.AccessDenied: "),
         false},
        {"RegisterProfile fails", [&] { startHelper(true, {.failRegister = true}); },
         "cannot register the service: RegisterProfile failed: org.bluez.Error.Failed: simulated "
         "failure",
         true},
        // Last: the first instance stays until the end.
        {"a second instance",
         [&] {
           ASSERT_NO_FATAL_FAILURE(startReady());
           firstInstance = std::move(helper_);
           auto second = launchHelper(bus_->environment());
           ASSERT_TRUE(second.ok()) << second.error();
           helper_ = std::move(second.value());
         },
         "cannot register the service: RegisterProfile failed: org.bluez.Error.NotPermitted: "
         "UUID already registered",
         true},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.scenario);
      ASSERT_NO_FATAL_FAILURE(c.start());
      EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(2)) << diagnostics();
      EXPECT_EQ(helper_->transcript(Subprocess::Stream::out), "");
      check(c);
    }
    firstInstance->closeStdin();
    EXPECT_EQ(firstInstance->waitForExit(), ExitStatus::exitedWith(0));
  }
};

class StartFailureLog : public StartFailures {
 protected:
  void SetUp() override { captureSystemLog(); }
};

// Each way the start can fail gives the parent the same standard-error line,
// nothing on standard output and status 2, and the log one line that names
// the cause, different for each.
TEST_F(StartFailureLog, EachNamesItsCause) {
  std::set<std::string> causes;
  forEachStartFailure([&](const Case& c) {
    EXPECT_EQ(helper_->transcript(Subprocess::Stream::err), startFailure + "\n");
    std::string problem;
    auto lines = syslog_->takeLines(&problem);
    EXPECT_EQ(problem, "");
    std::erase_if(lines, [this](const SyslogLine& line) { return line.pid != helper_->pid(); });
    if (c.adapterRead && lines.size() > 1) {
      EXPECT_THAT(lines[1], hci0Powered);
      lines.erase(lines.begin() + 1);
    }
    EXPECT_THAT(lines, ElementsAre(started, logged(LOG_ERR, c.cause), logged(LOG_ERR, startFailure),
                                   ended(2)));
    if (lines.size() > 1) causes.insert(lines[1].message);
  });
  EXPECT_EQ(causes.size(), 5u) << "two failures read alike";
}

// With HARLO_LOG_STDERR=1 each log line is also on standard error, marked as
// such, the cause before the fixed line, which stays as it is; where there
// is no system log at all, that is where the parent reads the cause.
TEST_F(StartFailures, LogCopyOnStandardErrorNamesEachCause) {
  helperEnvironment_ = {{"HARLO_LOG_STDERR", "1"}};
  forEachStartFailure([&](const Case& c) {
    std::vector<std::string> lines;
    std::istringstream text(helper_->transcript(Subprocess::Stream::err));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    if (c.adapterRead && lines.size() > 1) lines.erase(lines.begin() + 1);
    EXPECT_THAT(lines, ElementsAre("log notice: HarloCompanionHelper " HARLO_PROJECT_VERSION
                                   " starting in bridge mode",
                                   AllOf(StartsWith("log err: "), ::testing::HasSubstr("cannot")),
                                   "log err: " + startFailure, startFailure,
                                   "log notice: bridge mode ended with exit status 2"));
    if (lines.size() > 1) {
      EXPECT_THAT(lines[1].substr(9), c.cause);
    }
  });
}

// A value of HARLO_LOG_STDERR or HARLO_BLE other than 1 or 0 is refused at
// start.
TEST_F(StartFailures, UnknownSwitchValueIsRefused) {
  for (const char* variable : {"HARLO_LOG_STDERR", "HARLO_BLE"}) {
    SCOPED_TRACE(variable);
    helperEnvironment_ = {{variable, "yes"}};
    ASSERT_NO_FATAL_FAILURE(startHelper());
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(2)) << diagnostics();
    EXPECT_EQ(
        helper_->transcript(Subprocess::Stream::err),
        std::string("RFCOMM server bridge failed: ") + variable + " must be 1 or 0, not \"yes\"\n");
    EXPECT_EQ(helper_->transcript(Subprocess::Stream::out), "");
  }
}

// One session in order: a client, a newer one replacing it, a bus peer that
// is not bluetoothd making bluetoothd's calls, a client whose write stalls,
// bluetoothd going away while a client is connected, then the parent's
// "shutdown", logged with its reason, and the exit status. Each
// client's end line names its device, its cause and the bytes each way. The
// stalled write takes its 10 s.
TEST_F(HelperSystemLog, SessionNamesEachClientAndWhyItWent) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  const pid_t pid = helper_->pid();
  EXPECT_THAT(loggedBy(pid, 3), ElementsAre(started, hci0Powered, registered));

  UniqueFd first = connectClient();
  ASSERT_TRUE(first);
  ASSERT_TRUE(writeWithin(first.get(), "from the first\n"));  // 15 bytes in
  EXPECT_EQ(nextMessage(), protocolMessage("from the first"));
  send(protocolCommand("to the first"));  // 13 bytes out
  EXPECT_EQ(readLineWithin(first.get()), "to the first");
  EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", "wrote 13 bytes to RFCOMM channel 1"));
  EXPECT_THAT(loggedBy(pid, 1), ElementsAre(clientConnected(1)));

  UniqueFd second = connectClient();
  ASSERT_TRUE(second);
  EXPECT_EQ(nextMessage(), disconnected);
  EXPECT_THAT(loggedBy(pid, 2),
              ElementsAre(clientConnected(2),
                          logged(LOG_INFO,
                                 "client 00:00:00:00:00:01 disconnected: replaced by a newer "
                                 "client; 15 bytes in, 13 bytes out")));

  // A bus peer that is not bluetoothd offers a connection, asks to
  // disconnect the second client and releases the profile: refused, refused
  // and ignored (the second client stays), each logged with the peer's name.
  const auto registration = helperRegistration();
  ASSERT_TRUE(registration) << diagnostics();
  auto intruder = BusClient::connect(bus_->address());
  ASSERT_TRUE(intruder.ok()) << intruder.error();
  const auto intruderCalls = [&](const char* member, const char* types, auto... arguments) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // Bounded by sd-bus's default reply time-out.
    sd_bus_call_method(intruder.value()->native(), registration->owner.c_str(),
                       registration->path.c_str(), "org.bluez.Profile1", member, &error, &reply,
                       types, arguments...);
    const std::string answer = error.name != nullptr ? error.name : "";
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return answer;
  };
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const UniqueFd ours(pair[0]);
  const UniqueFd offered(pair[1]);
  EXPECT_EQ(intruderCalls("NewConnection", "oha{sv}", "/org/bluez/hci0/dev_66_66_66_66_66_66",
                          offered.get(), 0),
            "org.bluez.Error.Rejected");
  EXPECT_EQ(intruderCalls("RequestDisconnection", "o", "/org/bluez/hci0/dev_00_00_00_00_00_02"),
            "org.bluez.Error.Rejected");
  EXPECT_EQ(intruderCalls("Release", ""), "");
  const std::string notBluetoothd =
      " " + intruder.value()->uniqueName() + ", which is not bluetoothd (the owner of org.bluez)";
  EXPECT_THAT(loggedBy(pid, 3),
              ElementsAre(logged(LOG_WARNING, "refused a connection offered by" + notBluetoothd),
                          logged(LOG_WARNING, "refused a disconnection asked by" + notBluetoothd),
                          logged(LOG_WARNING, "ignored a release asked by" + notBluetoothd)));

  // The second client reads nothing: the socket takes part of the payload,
  // then nothing more.
  send(protocolCommand(std::string(1'000'000, 'x')));
  EXPECT_EQ(
      nextMessages(2, 30s),
      sorted({errorMessage("failed to write to RFCOMM channel 1: status=-110"), disconnected}))
      << diagnostics();
  EXPECT_THAT(loggedBy(pid, 1),
              ElementsAre(logged(LOG_INFO, MatchesRegex("client 00:00:00:00:00:02 disconnected: a "
                                                        "write made no progress for 10 s; 0 bytes "
                                                        "in, [1-9][0-9]* bytes out"))));

  UniqueFd third = connectClient();
  ASSERT_TRUE(third);
  EXPECT_THAT(loggedBy(pid, 1), ElementsAre(clientConnected(3)));

  EXPECT_EQ(sim_->stop(), ExitStatus::exitedWith(0));
  EXPECT_EQ(
      nextMessages(2, defaultWait),
      sorted({errorMessage("bluetooth service stopped: waiting for it to return"), disconnected}))
      << diagnostics();
  EXPECT_THAT(loggedBy(pid, 2),
              ElementsAre(logged(LOG_WARNING, "bluetoothd went away"),
                          logged(LOG_INFO,
                                 "client 00:00:00:00:00:03 disconnected: the Bluetooth service was "
                                 "lost; 0 bytes in, 0 bytes out")));

  send(commandLine("shutdown"));
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  EXPECT_THAT(loggedBy(pid, 2),
              ElementsAre(logged(LOG_NOTICE, "shutdown requested; stopping"), ended(0)));
}

// 100,000 messages each way at once, parent payloads to the client and client
// lines to the parent, add no line to the log; at the stop that the end of
// the parent's input makes, the client's end line counts every byte each way.
TEST_F(HelperSystemLog, TrafficAddsNoLine) {
  constexpr std::size_t count = 100'000;
  constexpr std::size_t perBlock = 1'000;
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  const pid_t pid = helper_->pid();
  EXPECT_THAT(loggedBy(pid, 4), ElementsAre(started, hci0Powered, registered, clientConnected(1)));

  std::atomic<bool> parentWrote{true};
  std::thread parent([&] {
    for (std::size_t sent = 0; sent < count && parentWrote; sent += perBlock) {
      std::string block;
      for (std::size_t i = 0; i < perBlock; ++i) {
        block += protocolCommand("payload " + std::to_string(sent + i)) + "\n";
      }
      parentWrote = helper_->writeStdin(block);
    }
  });
  std::atomic<bool> clientWrote{true};
  std::thread clientWriter([&] {
    for (std::size_t sent = 0; sent < count && clientWrote; sent += perBlock) {
      std::string block;
      for (std::size_t i = 0; i < perBlock; ++i) block += "line " + std::to_string(sent + i) + "\n";
      clientWrote = writeWithin(client.get(), block);
    }
  });
  std::size_t clientBytes = 0;
  std::size_t helperBytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    clientBytes += ("payload " + std::to_string(i)).size() + 1;
    helperBytes += ("line " + std::to_string(i)).size() + 1;
  }
  std::optional<std::string> clientRead;
  std::thread clientReader([&] { clientRead = readExactlyWithin(client.get(), clientBytes, 60s); });

  std::size_t protocol = 0;
  std::size_t writes = 0;
  std::string unexpected;
  while (protocol + writes < 2 * count && unexpected.empty()) {
    const auto line = helper_->readLine(Subprocess::Stream::out);
    if (!line) {
      unexpected = "no message after " + std::to_string(protocol + writes);
    } else if (line->find(R"("kind":"protocol")") != std::string::npos) {
      ++protocol;
    } else if (line->find(R"("event":"rfcomm-write")") != std::string::npos) {
      ++writes;
    } else {
      unexpected = *line;
    }
  }
  // Unblocks the threads at once if the parent side gave up.
  if (!unexpected.empty()) ::shutdown(client.get(), SHUT_RDWR);
  parent.join();
  clientWriter.join();
  clientReader.join();
  ASSERT_EQ(unexpected, "") << diagnostics();
  EXPECT_TRUE(parentWrote);
  EXPECT_TRUE(clientWrote);
  EXPECT_TRUE(clientRead.has_value()) << "the client did not get every payload";
  EXPECT_EQ(protocol, count);
  EXPECT_EQ(writes, count);
  EXPECT_THAT(loggedBy(pid), IsEmpty());

  helper_->closeStdin();
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  EXPECT_THAT(loggedBy(pid, 3),
              ElementsAre(logged(LOG_NOTICE, "stdin closed; stopping"),
                          logged(LOG_INFO,
                                 "client 00:00:00:00:00:01 disconnected: the helper is "
                                 "stopping; " +
                                     std::to_string(helperBytes) + " bytes in, " +
                                     std::to_string(clientBytes) + " bytes out"),
                          ended(0)));
}

// A system log that stops reading holds nothing: 20 clients come and go,
// each reported to the parent within 2 s; once the log reads again, it is
// told how many lines it missed; and with the log stuck again SIGTERM ends
// the helper within 3 s with status 0.
TEST_F(HelperSystemLog, LogThatStopsReadingHoldsNothing) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  const pid_t pid = helper_->pid();
  EXPECT_THAT(loggedBy(pid, 3), ElementsAre(started, hci0Powered, registered));
  const auto clientsComeAndGo = [&](int count) {
    for (int i = 0; i < count; ++i) {
      auto client = sim_->connectClient();
      ASSERT_TRUE(client.ok()) << client.error();
      EXPECT_EQ(nextMessage(2s),
                eventMessage("client-connected", "Incoming RFCOMM client connected on channel 1"));
      client.value().reset();
      EXPECT_EQ(nextMessage(2s), disconnected) << diagnostics();
    }
  };

  syslog_->setReading(false);
  ASSERT_NO_FATAL_FAILURE(clientsComeAndGo(20));
  syslog_->setReading(true);
  std::vector<SyslogLine> lines;
  const auto dropped = logged(LOG_WARNING, MatchesRegex("[1-9][0-9]* log lines dropped"));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!::testing::Matches(::testing::Contains(dropped))(lines) &&
         std::chrono::steady_clock::now() < deadline) {
    const auto more = loggedBy(pid, 1);
    lines.insert(lines.end(), more.begin(), more.end());
  }
  EXPECT_THAT(lines, ::testing::Contains(dropped));

  syslog_->setReading(false);
  ASSERT_NO_FATAL_FAILURE(clientsComeAndGo(15));
  ASSERT_TRUE(helper_->sendSignal(SIGTERM));
  EXPECT_EQ(helper_->waitForExit(3s), ExitStatus::exitedWith(0)) << diagnostics();
  syslog_->setReading(true);
}

}  // namespace
}  // namespace harlo::test_support
