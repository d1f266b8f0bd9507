// The real helper in bridge mode stopped by a signal, as a desktop session
// ending, a parent's kill or Ctrl-C in a terminal stop it: the same orderly
// end as "shutdown", with the signal named.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge_process_fixture.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const nlohmann::json disconnected =
    eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1");

class StopSignal : public BridgeProcessTest {};

// SIGTERM, SIGINT and SIGHUP each end the helper with status 0 within a
// second, withdrawing the registration and closing the client; "stopping"
// names the signal and is the last line, whether the reader waits for input
// or for a client that reads nothing.
TEST_F(StopSignal, EndsTheModeAsShutdownDoes) {
  enum class Scene { idle, clientConnected, writeBlocked };
  struct Case {
    int signal;
    const char* name;
    Scene scene;
  };
  std::vector<Case> cases;
  for (const auto& [signal, name] :
       {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}, std::pair{SIGHUP, "SIGHUP"}}) {
    for (const Scene scene : {Scene::idle, Scene::clientConnected, Scene::writeBlocked}) {
      cases.push_back({signal, name, scene});
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " scene " + std::to_string(static_cast<int>(c.scene)));
    ASSERT_NO_FATAL_FAILURE(startReady());
    UniqueFd client;
    std::vector<nlohmann::json> expectedBefore;
    if (c.scene != Scene::idle) {
      client = connectClient();
      ASSERT_TRUE(client);
      expectedBefore.push_back(disconnected);
    }
    if (c.scene == Scene::writeBlocked) {
      send(protocolCommand(std::string(1'000'000, 'x')));
      std::this_thread::sleep_for(300ms);  // the write is under way, and stuck
      expectedBefore.push_back(errorMessage("failed to write to RFCOMM channel 1: status=-32"));
    }

    const auto signalled = Clock::now();
    ASSERT_TRUE(helper_->sendSignal(c.signal));
    // The helper takes far less than a second; the bound allows for a loaded
    // machine and the sanitizer builds.
    EXPECT_EQ(helper_->waitForExit(2s), ExitStatus::exitedWith(0)) << diagnostics();
    std::cout
        << c.name << " ended the helper in "
        << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count()
        << " ms\n";

    std::vector<nlohmann::json> lines;
    while (auto line = helper_->readLine(Subprocess::Stream::out, 1s)) {
      lines.push_back(nlohmann::json::parse(*line, nullptr, false));
    }
    ASSERT_FALSE(lines.empty()) << diagnostics();
    EXPECT_EQ(lines.back(), eventMessage("stopping", std::string("received ") + c.name));
    lines.pop_back();
    std::sort(lines.begin(), lines.end());
    std::sort(expectedBefore.begin(), expectedBefore.end());
    EXPECT_EQ(lines, expectedBefore) << diagnostics();

    const auto calls = sim_->unregisterCalls();
    ASSERT_TRUE(calls.ok()) << calls.error();
    EXPECT_EQ(calls.value().size(), 1u) << "no orderly withdrawal";
    if (client) {
      EXPECT_TRUE(waitForEndOfFile(client.get()));
    }
  }
}

// A second signal while the helper stops ends it at once, by that signal.
TEST_F(StopSignal, SecondSignalEndsTheProcessAtOnce) {
  ASSERT_NO_FATAL_FAILURE(startHelper(true, {.neverAnswerUnregister = true}));
  ASSERT_EQ(nextMessage().value("event", ""), "listening") << diagnostics();
  ASSERT_EQ(nextMessage().value("event", ""), "ready") << diagnostics();
  ASSERT_TRUE(helper_->sendSignal(SIGTERM));
  // The withdrawal now waits for a bluetoothd that never answers.
  ASSERT_TRUE(sim_->waitForLog("left unanswered"));
  ASSERT_TRUE(helper_->sendSignal(SIGTERM));
  EXPECT_EQ(helper_->waitForExit(1s), ExitStatus::killedBy(SIGTERM)) << diagnostics();
}

// A signal while the helper starts, with bluetoothd answering nothing, ends
// it within 3 s all the same, with status 0 and "stopping" as its last line.
TEST_F(StopSignal, ActsDuringTheStartWhateverHoldsIt) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  ASSERT_TRUE(sim_->process().sendSignal(SIGSTOP));
  auto starting = launchHelper(bus_->environment());
  ASSERT_TRUE(starting.ok()) << starting.error();
  helper_ = std::move(starting.value());
  std::this_thread::sleep_for(300ms);  // the start waits for bluetoothd
  const auto signalled = Clock::now();
  ASSERT_TRUE(helper_->sendSignal(SIGTERM));
  EXPECT_EQ(helper_->waitForExit(3s), ExitStatus::exitedWith(0)) << diagnostics();
  std::cout
      << "SIGTERM ended the start in "
      << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count()
      << " ms\n";
  std::string last;
  while (auto line = helper_->readLine(Subprocess::Stream::out, 1s)) last = *line;
  EXPECT_EQ(nlohmann::json::parse(last, nullptr, false),
            eventMessage("stopping", "received SIGTERM"));
  EXPECT_EQ(helper_->transcript(Subprocess::Stream::err), "");
}

}  // namespace
}  // namespace harlo::test_support
