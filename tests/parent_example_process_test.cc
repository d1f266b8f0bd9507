// examples/harlo_parent.py, the example parent, run with python3 against the
// real helper on a private bus, with bluez-sim standing in for bluetoothd.
// The test types on the example's standard input, reads what it prints, and
// plays the Bluetooth client on the simulator's socket. The bus and bluez-sim
// are the harness's, or those of scripts/sim, as a parent developer runs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

constexpr char clientGone[] =
    "event client-disconnected: RFCOMM client disconnected from channel 1";

// The command line of every process whose command line holds `fragment`.
std::vector<std::string> processesNaming(const std::string& fragment) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::ifstream file(entry.path() / "cmdline");
    std::string line(std::istreambuf_iterator<char>(file), {});
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(fragment) != std::string::npos) found.push_back(line);
  }
  return found;
}

// What scripts/sim prints once its bus and bluez-sim are up, as a person
// would copy it.
struct SimScriptSession {
  std::string busAddress;    // the value of its export line
  std::string helper;        // "# helper: PATH"
  std::string clientSocket;  // "# client socket: PATH"
};

class ParentExample : public ::testing::Test {
 protected:
  // A scripts/sim still running when a test fails would leave its bus and
  // bluez-sim behind: they run in sessions of their own, out of reach of the
  // SIGKILL that ends a Subprocess.
  void TearDown() override {
    if (simScript_ && simScript_->sendSignal(SIGTERM)) simScript_->waitForExit();
  }

  // Starts a private bus, bluez-sim with `options`, and then the example with
  // `arguments` after its script, its environment being the bus's plus
  // `environment`. Fatal failure if any cannot be started.
  void start(const std::vector<std::string>& arguments, Subprocess::Environment environment = {},
             BluezSim::Options options = {}) {
    auto bus = PrivateBus::start();
    ASSERT_TRUE(bus.ok()) << bus.error();
    bus_ = std::move(bus.value());
    auto sim = BluezSim::start(*bus_, options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim_ = std::move(sim.value());

    Subprocess::Environment variables = bus_->environment();
    variables.insert(variables.end(), environment.begin(), environment.end());
    ASSERT_NO_FATAL_FAILURE(startExample(arguments, variables));
  }

  // Starts scripts/sim with `options` on the programs of this build tree and
  // reads what it prints up to its export line. Fatal failure if it does not
  // get there.
  SimScriptSession startSimScript(std::vector<std::string> options) {
    options.insert(options.begin(), HARLO_SIM_SCRIPT_PATH);
    auto script = Subprocess::start(options, {{"HARLO_BUILD_DIR", HARLO_BUILD_TREE}});
    EXPECT_TRUE(script.ok()) << script.error();
    if (!script.ok()) return {};
    simScript_ = std::move(script.value());
    SimScriptSession session;
    const std::pair<std::string_view, std::string*> printed[] = {
        {"# helper: ", &session.helper},
        {"# client socket: ", &session.clientSocket},
        {"export DBUS_SYSTEM_BUS_ADDRESS=", &session.busAddress},
    };
    while (session.busAddress.empty()) {
      auto line = simScript_->readLine(Subprocess::Stream::out);
      if (!line) {
        ADD_FAILURE() << "scripts/sim printed no export line:\n"
                      << simScript_->transcript(Subprocess::Stream::out)
                      << simScript_->transcript(Subprocess::Stream::err);
        return {};
      }
      for (const auto& [prefix, field] : printed) {
        if (line->starts_with(prefix)) *field = line->substr(prefix.size());
      }
    }
    EXPECT_FALSE(session.helper.empty() || session.clientSocket.empty())
        << simScript_->transcript(Subprocess::Stream::out);
    return session;
  }

  // Sends `signal` to scripts/sim and expects it to exit 0, its temporary
  // folder (which held the bus's and the client's sockets) removed and no
  // process left that names it (dbus-daemon, bluez-sim).
  void expectSimScriptStopsCleanly(int signal, const SimScriptSession& session) {
    const std::string folder = std::filesystem::path(session.clientSocket).parent_path();
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(simScript_->sendSignal(signal));
    EXPECT_EQ(simScript_->waitForExit(), ExitStatus::exitedWith(0))
        << simScript_->transcript(Subprocess::Stream::err);
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_EQ(processesNaming(folder), std::vector<std::string>{});
  }

  // Starts the example with `arguments` after its script and `environment`
  // added to the test's. Fatal failure if it cannot be started.
  void startExample(const std::vector<std::string>& arguments,
                    const Subprocess::Environment& environment) {
    std::vector<std::string> argv = {HARLO_PYTHON3_PATH, HARLO_PARENT_EXAMPLE_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto example = Subprocess::start(argv, environment);
    ASSERT_TRUE(example.ok()) << example.error();
    example_ = std::move(example.value());
  }

  // The example has started the helper and pinged it.
  void expectStarted() {
    expectPrinted("event listening: RFCOMM service published on channel 1");
    expectPrinted("event ready: stdio bridge ready on RFCOMM channel 1");
    expectPrinted("event pong: harlo_parent.py is here (answers #1)");
  }

  void startSession() {
    ASSERT_NO_FATAL_FAILURE(start({HARLO_HELPER_PATH}));
    expectStarted();
  }

  // Expects `line` as the next line the example prints on standard output.
  void expectPrinted(std::string_view line) {
    EXPECT_EQ(example_->readLine(Subprocess::Stream::out), std::optional<std::string>(line))
        << diagnostics();
  }

  void type(std::string_view line) {
    EXPECT_TRUE(example_->writeStdin(std::string(line) + "\n")) << diagnostics();
  }

  // Connects a Bluetooth client and expects the example to print it.
  UniqueFd connectClient() {
    auto client = sim_->connectClient();
    if (!client.ok()) {
      ADD_FAILURE() << client.error();
      return UniqueFd();
    }
    expectPrinted("event client-connected: Incoming RFCOMM client connected on channel 1");
    expectPrinted("(a client is connected)");
    return std::move(client.value());
  }

  std::string diagnostics() {
    return "example stdout:\n" + example_->transcript(Subprocess::Stream::out) +
           "example stderr:\n" + example_->transcript(Subprocess::Stream::err) +
           "bluez-sim log:\n" +
           (sim_ ? sim_->log() : simScript_->transcript(Subprocess::Stream::err));
  }

  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BluezSim> sim_;
  std::unique_ptr<Subprocess> simScript_;  // scripts/sim, in place of bus_ and sim_
  std::unique_ptr<Subprocess> example_;    // declared last: ended first
};

// Typed lines reach the client and client lines are printed, each report
// with the number of the message it answers; the client's hello is answered
// by the helper, not the example; the end of the example's input shuts the
// helper down and the example exits with its status, 0.
TEST_F(ParentExample, SessionEndToEnd) {
  ASSERT_NO_FATAL_FAILURE(startSession());
  type("nobody there yet");
  expectPrinted("error: no active RFCOMM client channel is connected (answers #2)");

  const UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  // Quotation marks, a backslash, a solidus and non-ASCII text must all
  // arrive as typed: the example escapes them for JSON and sends UTF-8.
  const std::string typedLines[] = {
      "hello client",
      R"(say "hi" \o/)",
      "gr\u00fc\u00dfe \u2713",
  };
  int id = 3;
  for (const std::string& line : typedLines) {
    SCOPED_TRACE(line);
    type(line);
    EXPECT_EQ(readLineWithin(client.get()), line);
    expectPrinted("event rfcomm-write: wrote " + std::to_string(line.size() + 1) +
                  " bytes to RFCOMM channel 1 (answers #" + std::to_string(id++) + ")");
  }

  ASSERT_TRUE(writeWithin(client.get(), "hi parent\n"));
  expectPrinted("client: hi parent");

  ASSERT_TRUE(writeWithin(client.get(), "{\"type\":\"hello\"}\n"));
  EXPECT_EQ(readExactlyWithin(client.get(), helloAckLine.size()), helloAckLine);
  expectPrinted("event handshake: Received hello, responding with hello_ack directly");
  expectPrinted("event rfcomm-write: wrote 53 bytes to RFCOMM channel 1");
  expectPrinted("client: {\"type\":\"hello\"}");

  example_->closeStdin();
  EXPECT_EQ(example_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  std::vector<std::string> rest;
  while (auto line = example_->readLine(Subprocess::Stream::out)) rest.push_back(*line);
  const std::vector<std::string> ending = {
      clientGone, "(no client is connected)",
      "event stopping: shutdown requested (answers #" + std::to_string(id) + ")",
      "helper exited with status 0"};
  EXPECT_EQ(rest, ending);
  EXPECT_EQ(example_->transcript(Subprocess::Stream::err), "");
  EXPECT_TRUE(waitForEndOfFile(client.get())) << "the client is still connected";
}

// A helper that cannot start (bluetoothd refuses the registration), found
// through HARLO_HELPER: the example prints its standard-error line and exits
// with its status, 2, without waiting for its own input to end.
TEST_F(ParentExample, HelperThatCannotStart) {
  ASSERT_NO_FATAL_FAILURE(
      start({}, {{"HARLO_HELPER", HARLO_HELPER_PATH}}, BluezSim::Options{.failRegister = true}));
  EXPECT_EQ(example_->waitForExit(), ExitStatus::exitedWith(2)) << diagnostics();
  EXPECT_EQ(example_->transcript(Subprocess::Stream::err),
            "helper stderr: RFCOMM server bridge failed: "
            "startup(\"failed to publish local SDP service record\")\n");
  EXPECT_EQ(example_->transcript(Subprocess::Stream::out), "helper exited with status 2\n");
}

// The parent developer's session: scripts/sim, then the example with the
// helper and the bus it printed, then harlo-rfcomm-client on its client
// socket; a line each way, the example ended, then scripts/sim ended by
// SIGTERM without leaving its bus or bluez-sim behind.
TEST_F(ParentExample, SessionAgainstSimScript) {
  const SimScriptSession session = startSimScript({});
  ASSERT_FALSE(session.busAddress.empty());
  ASSERT_NO_FATAL_FAILURE(
      startExample({session.helper}, {{"DBUS_SYSTEM_BUS_ADDRESS", session.busAddress}}));
  expectStarted();

  auto connected = Subprocess::start(
      {HARLO_RFCOMM_CLIENT_PATH, "--unix", session.clientSocket, "--idle-ms", "100"});
  ASSERT_TRUE(connected.ok()) << connected.error();
  Subprocess& client = *connected.value();
  expectPrinted("event client-connected: Incoming RFCOMM client connected on channel 1");
  expectPrinted("(a client is connected)");
  ASSERT_TRUE(client.writeStdin("hi parent\n"));
  expectPrinted("client: hi parent");
  type("hello client");
  EXPECT_EQ(client.readLine(Subprocess::Stream::out), "hello client")
      << client.transcript(Subprocess::Stream::err);
  expectPrinted("event rfcomm-write: wrote 13 bytes to RFCOMM channel 1 (answers #2)");

  example_->closeStdin();
  EXPECT_EQ(example_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  EXPECT_EQ(client.waitForExit(), ExitStatus::exitedWith(0));
  expectSimScriptStopsCleanly(SIGTERM, session);
}

// Options reach bluez-sim through scripts/sim (here: every registration
// fails, so the helper cannot start), and Ctrl-C's SIGINT ends scripts/sim
// as SIGTERM does.
TEST_F(ParentExample, SimScriptPassesOptionsAndStopsOnSigint) {
  const SimScriptSession session = startSimScript({"--fail-register"});
  ASSERT_FALSE(session.busAddress.empty());
  ASSERT_NO_FATAL_FAILURE(
      startExample({session.helper}, {{"DBUS_SYSTEM_BUS_ADDRESS", session.busAddress}}));
  EXPECT_EQ(example_->waitForExit(), ExitStatus::exitedWith(2)) << diagnostics();
  EXPECT_EQ(example_->transcript(Subprocess::Stream::out), "helper exited with status 2\n");
  expectSimScriptStopsCleanly(SIGINT, session);
}

}  // namespace
}  // namespace harlo::test_support
