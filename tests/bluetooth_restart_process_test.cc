// The real helper in bridge mode while bluez-sim, standing in for bluetoothd,
// stops and starts again on the same bus: the helper reports the loss, drops
// the client, keeps serving the parent, and registers with the new
// bluetoothd without being restarted.
#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "bridge_process_fixture.h"
#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

const nlohmann::json lost = errorMessage("bluetooth service stopped: waiting for it to return");
const nlohmann::json listening = eventMessage("listening", "RFCOMM service published on channel 1");
const nlohmann::json clientGone =
    eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1");
const nlohmann::json pong = eventMessage("pong", "ping");
const nlohmann::json noAdapter = errorMessage("no powered Bluetooth adapter: waiting for one");

class BluetoothRestart : public BridgeProcessTest {
 protected:
  enum class Ending { terminated, killed };

  // Ends the running simulator as `ending` says; fatal failure if it does not
  // end that way. Its log is checked for sanitizer reports first, as the
  // fixture only sees the last simulator.
  void endSim(Ending ending) {
    if (ending == Ending::terminated) {
      ASSERT_EQ(sim_->stop(), ExitStatus::exitedWith(0)) << diagnostics();
    } else {
      ASSERT_EQ(sim_->process().kill(), ExitStatus::killedBy(SIGKILL)) << diagnostics();
    }
    EXPECT_EQ(sim_->log().find("Sanitizer"), std::string::npos) << sim_->log();
  }

  // Starts a new simulator on the same bus; fatal failure if it cannot.
  void startSim(BluezSim::Options options = {}) {
    auto sim = BluezSim::start(*bus_, options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim_ = std::move(sim.value());
  }

  void expectPong() {
    send(commandLine("ping"));
    EXPECT_EQ(nextMessage(), pong) << diagnostics();
  }

  // A new client connects, its hello is answered, and a parent payload
  // reaches it. The client, still connected; empty after a failure.
  UniqueFd expectWorkingClient() {
    UniqueFd client = connectClient();
    if (!client) return client;
    EXPECT_TRUE(writeWithin(client.get(), "{\"type\":\"hello\"}\n"));
    EXPECT_EQ(readExactlyWithin(client.get(), helloAckLine.size()), helloAckLine);
    EXPECT_EQ(nextMessage(),
              eventMessage("handshake", "Received hello, responding with hello_ack directly"));
    EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", "wrote 53 bytes to RFCOMM channel 1"));
    EXPECT_EQ(nextMessage(), protocolMessage("{\"type\":\"hello\"}"));
    send(protocolCommand("after the restart"));
    EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", "wrote 18 bytes to RFCOMM channel 1"));
    EXPECT_EQ(readLineWithin(client.get()), "after the restart");
    return client;
  }

  // "shutdown" ends the helper with 0 and "stopping" is its last word, but
  // for the close of a client channel, which may come on either side of it
  // or not at all once the run loop has stopped.
  void expectShutdown() {
    send(commandLine("shutdown"));
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
    std::vector<nlohmann::json> rest;
    while (auto line = helper_->readLine(Subprocess::Stream::out)) {
      auto message = nlohmann::json::parse(*line, nullptr, false);
      if (message != clientGone) rest.push_back(message);
    }
    EXPECT_EQ(rest, std::vector<nlohmann::json>{eventMessage("stopping", "shutdown requested")});
    EXPECT_EQ(helper_->transcript(Subprocess::Stream::err), "");
  }
};

// bluetoothd stopped cleanly (Release(), then leaving the bus) or killed,
// with a client connected: one loss report, the client's close, commands
// still served, a payload finding no client; once bluetoothd is back the
// profile is registered again, a new client is served, and "shutdown" ends
// the helper with 0.
TEST_F(BluetoothRestart, ServiceStopsAndReturns) {
  const std::pair<const char*, Ending> cases[] = {
      {"SIGTERM", Ending::terminated},
      {"SIGKILL", Ending::killed},
  };
  for (const auto& [name, ending] : cases) {
    SCOPED_TRACE(name);
    ASSERT_NO_FATAL_FAILURE(startReady());
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);
    expectPong();

    ASSERT_NO_FATAL_FAILURE(endSim(ending));
    EXPECT_EQ(nextMessage(), lost);
    EXPECT_EQ(nextMessage(), clientGone);
    EXPECT_TRUE(waitForEndOfFile(client.get())) << "the client is still connected";
    expectPong();
    send(protocolCommand("nobody there"));
    EXPECT_EQ(nextMessage(), errorMessage("no active RFCOMM client channel is connected"));

    ASSERT_NO_FATAL_FAILURE(startSim());
    EXPECT_EQ(nextMessage(), listening) << diagnostics();
    const auto registration = helperRegistration();
    ASSERT_TRUE(registration) << diagnostics();
    EXPECT_EQ(registration->path, "/org/harlo/companion/profile");
    expectPong();
    const UniqueFd next = expectWorkingClient();
    ASSERT_TRUE(next);
    expectPong();
    expectShutdown();
  }
}

// A bluetoothd that comes back but refuses the registration gives the
// publication error and leaves the helper waiting (its own exit is no new
// loss); the next one that accepts gives "listening" and serves clients.
TEST_F(BluetoothRestart, RefusedRegistrationWaitsForTheNextService) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  ASSERT_NO_FATAL_FAILURE(endSim(Ending::terminated));
  EXPECT_EQ(nextMessage(), lost);

  ASSERT_NO_FATAL_FAILURE(startSim(BluezSim::Options{.failRegister = true}));
  EXPECT_EQ(nextMessage(), errorMessage("failed to publish local SDP service record"))
      << diagnostics();
  EXPECT_TRUE(sim_->waitForLog("refused: org.bluez.Error.Failed")) << sim_->log();
  expectPong();

  ASSERT_NO_FATAL_FAILURE(endSim(Ending::killed));
  expectPong();

  ASSERT_NO_FATAL_FAILURE(startSim());
  EXPECT_EQ(nextMessage(), listening) << diagnostics();
  EXPECT_TRUE(helperRegistration()) << diagnostics();
  const UniqueFd client = expectWorkingClient();
  ASSERT_TRUE(client);
  expectShutdown();
}

// bluetoothd comes back with its adapter off: the helper registers again but
// says that no adapter is powered, and "listening" only once one is.
TEST_F(BluetoothRestart, ServiceReturnsWithoutAPoweredAdapter) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  ASSERT_NO_FATAL_FAILURE(endSim(Ending::killed));
  EXPECT_EQ(nextMessage(), lost);
  ASSERT_NO_FATAL_FAILURE(startSim(BluezSim::Options{.adapter = StartAdapter::unpowered}));
  EXPECT_EQ(nextMessage(), noAdapter) << diagnostics();
  expectPong();
  EXPECT_TRUE(sim_->setAdapterPowered("/org/bluez/hci0", true).ok());
  EXPECT_EQ(nextMessage(), listening) << diagnostics();
  const UniqueFd client = expectWorkingClient();
  ASSERT_TRUE(client);
  expectShutdown();
}

// Restart after restart, each with a client connected, works like the
// first: the helper follows bluetoothd through any number of them.
TEST_F(BluetoothRestart, RepeatedRestarts) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  for (int restart = 1; restart <= 3; ++restart) {
    SCOPED_TRACE(restart);
    ASSERT_NO_FATAL_FAILURE(endSim(restart % 2 == 0 ? Ending::killed : Ending::terminated));
    EXPECT_EQ(nextMessage(), lost);
    EXPECT_EQ(nextMessage(), clientGone);
    EXPECT_TRUE(waitForEndOfFile(client.get()));
    ASSERT_NO_FATAL_FAILURE(startSim());
    EXPECT_EQ(nextMessage(), listening) << diagnostics();
    client = expectWorkingClient();
    ASSERT_TRUE(client);
  }
  expectShutdown();
}

}  // namespace
}  // namespace harlo::test_support
