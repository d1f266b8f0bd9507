// The real helper in bridge mode when something outside it stops answering: a
// client that reads slowly or not at all, a bluetoothd that never answers, a
// bus daemon that goes away, standard descriptors the parent closed. Nothing
// of that may hold the parent's commands for long, or the main loop at all.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge_process_fixture.h"
#include "harness_names.h"
#include "rfcomm/companion_service.h"

namespace harlo::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const nlohmann::json disconnected =
    eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1");
const nlohmann::json connected =
    eventMessage("client-connected", "Incoming RFCOMM client connected on channel 1");
const nlohmann::json pong = eventMessage("pong", "ping");
const nlohmann::json handshake =
    eventMessage("handshake", "Received hello, responding with hello_ack directly");
const nlohmann::json lost = errorMessage("bluetooth service stopped: waiting for it to return");
const nlohmann::json listening = eventMessage("listening", "RFCOMM service published on channel 1");
const std::string hello = "{\"type\":\"hello\"}\n";
// As large a payload as a parent line can carry.
const std::string largestPayload(1'048'000, 'x');

nlohmann::json writeFailed(int status) {
  return errorMessage("failed to write to RFCOMM channel 1: status=" + std::to_string(status));
}

// Reads from `client` a little at a time, `chunk` bytes a second, until the
// link ends or `stop` is set.
std::thread trickleReader(int client, std::size_t chunk, const std::atomic<bool>& stop) {
  return std::thread([client, chunk, &stop] {
    std::string buffer(chunk, '\0');
    while (!stop) {
      std::size_t taken = 0;
      while (taken < chunk && !stop) {
        const ssize_t got = ::recv(client, buffer.data(), chunk - taken, MSG_DONTWAIT);
        if (got == 0) return;
        if (got < 0) break;
        taken += static_cast<std::size_t>(got);
      }
      std::this_thread::sleep_for(1s);
    }
  });
}

class UnresponsivePeer : public BridgeProcessTest {};

// A client that keeps taking a little holds a 400 kB payload no longer than
// the 30 s a write of that size may last: the write fails with -110, the
// channel goes, and the parent's next command is answered right after.
TEST_F(UnresponsivePeer, TricklingClientCannotHoldTheParentPast30Seconds) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  std::atomic<bool> stop{false};
  std::thread reader = trickleReader(client.get(), 4 * 1024, stop);

  const auto sent = Clock::now();
  send(protocolCommand(std::string(400'000, 'x')));
  send(commandLine("ping"));
  std::vector<nlohmann::json> before;
  const bool failed = awaitMessage(writeFailed(-110), 60s, &before);
  const auto waited = Clock::now() - sent;
  stop = true;
  reader.join();
  ASSERT_TRUE(failed) << nlohmann::json(before).dump() << diagnostics();
  EXPECT_GE(waited, 25s);
  EXPECT_LE(waited, 40s);
  // Then the "pong", and the channel's close on either side of the failure.
  EXPECT_EQ(std::count(before.begin(), before.end(), pong), 0)
      << "ping answered before the payload";
  std::vector<nlohmann::json> rest = before;
  while (rest.size() < 2) rest.push_back(nextMessage());
  std::sort(rest.begin(), rest.end());
  std::vector<nlohmann::json> expected{disconnected, pong};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(rest, expected) << diagnostics();
}

// While a write to a client that reads nothing waits, and that client's hello
// reply waits behind it, the main loop goes on: a new client is accepted at
// once, and both writes end as their client is replaced.
TEST_F(UnresponsivePeer, NewClientIsAcceptedWhileWritesWait) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd stuck = connectClient();
  ASSERT_TRUE(stuck);
  send(protocolCommand(largestPayload));
  std::this_thread::sleep_for(500ms);  // the payload is under way, and stuck
  ASSERT_TRUE(writeWithin(stuck.get(), hello));
  EXPECT_EQ(nextMessage(), handshake) << diagnostics();

  auto next = sim_->connectClient();
  ASSERT_TRUE(next.ok()) << next.error();
  std::vector<nlohmann::json> seen;
  EXPECT_TRUE(awaitMessage(connected, 2s, &seen)) << diagnostics();
  seen.push_back(connected);
  while (seen.size() < 5) seen.push_back(nextMessage(5s));
  std::multiset<std::string> got;
  for (const auto& message : seen) got.insert(message.dump());
  const std::multiset<std::string> expected{writeFailed(-32).dump(), writeFailed(-32).dump(),
                                            protocolMessage("{\"type\":\"hello\"}").dump(),
                                            disconnected.dump(), connected.dump()};
  EXPECT_EQ(got, expected) << diagnostics();
}

// A client that sends hellos and never reads, until a reply must wait: when
// a newer client comes, or the parent shuts down, what the helper owes it for
// that hello (the reply's failure, then the hello line) comes first, and
// nothing more of it follows: the rest of its input is dropped.
TEST_F(UnresponsivePeer, ClientOwesNothingOnceReplacedOrStopped) {
  enum class End { replaced, shutdown };
  for (const End end : {End::replaced, End::shutdown}) {
    SCOPED_TRACE(end == End::replaced ? "replaced" : "shutdown");
    ASSERT_NO_FATAL_FAILURE(startReady());
    UniqueFd greedy = connectClient();
    ASSERT_TRUE(greedy);
    std::string hellos;
    for (int i = 0; i < 20'000; ++i) hellos += hello;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
      for (std::size_t offset = 0; offset < hellos.size() && !stop;) {
        const ssize_t sent = ::send(greedy.get(), hellos.data() + offset, hellos.size() - offset,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
          offset += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EAGAIN) {
          std::this_thread::sleep_for(10ms);
        } else {
          return;
        }
      }
    });
    // The helper goes quiet once a reply waits, its hello's handshake last.
    std::string last;
    while (auto line = helper_->readLine(Subprocess::Stream::out, 500ms)) last = *line;
    EXPECT_EQ(nlohmann::json::parse(last, nullptr, false), handshake) << diagnostics();

    std::vector<nlohmann::json> expected{writeFailed(-32), protocolMessage("{\"type\":\"hello\"}")};
    UniqueFd next;
    if (end == End::replaced) {
      auto connection = sim_->connectClient();
      ASSERT_TRUE(connection.ok()) << connection.error();
      next = std::move(connection.value());
      expected.insert(expected.end(), {connected, disconnected});
    } else {
      send(commandLine("shutdown"));
      expected.insert(expected.end(),
                      {disconnected, eventMessage("stopping", "shutdown requested")});
    }
    std::vector<nlohmann::json> after;
    while (after.size() < expected.size()) after.push_back(nextMessage());
    EXPECT_EQ(after, expected) << diagnostics();
    if (end == End::replaced) {
      send(commandLine("ping"));
      EXPECT_EQ(nextMessage(), pong) << "more of the replaced client came";
    } else {
      EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
      EXPECT_EQ(helper_->readLine(Subprocess::Stream::out), std::nullopt);
    }
    stop = true;
    flood.join();
  }
}

// A client that floods hellos and never reads the replies holds neither the
// parent's commands nor the main loop: a ping is answered and a new client
// accepted, each within its bound.
TEST_F(UnresponsivePeer, HelloFloodHoldsNeitherParentNorLoop) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd flooder = connectClient();
  ASSERT_TRUE(flooder);
  std::string hellos;
  for (int i = 0; i < 10'000; ++i) hellos += hello;
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::size_t offset = 0;
    while (offset < hellos.size() && !stop) {
      const ssize_t sent = ::send(flooder.get(), hellos.data() + offset, hellos.size() - offset,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        offset += static_cast<std::size_t>(sent);
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
  });
  // Meanwhile the replies fill the flooder's socket, and the helper stops
  // reading it.
  std::this_thread::sleep_for(2s);

  send(commandLine("ping"));
  EXPECT_TRUE(awaitMessage(pong, 1s)) << diagnostics();
  auto next = sim_->connectClient();
  ASSERT_TRUE(next.ok()) << next.error();
  EXPECT_TRUE(awaitMessage(connected, 2s)) << diagnostics();
  stop = true;
  flood.join();
}

// A bluetoothd that never answers UnregisterProfile cannot hold the stop: the
// helper waits for it briefly, logs that, then exits 0.
TEST_F(UnresponsivePeer, ShutdownEndsAlthoughBluetoothdNeverAnswers) {
  helperEnvironment_ = {{"HARLO_LOG_STDERR", "1"}};
  ASSERT_NO_FATAL_FAILURE(startHelper(true, {.neverAnswerUnregister = true}));
  ASSERT_EQ(nextMessage(), listening) << diagnostics();
  ASSERT_EQ(nextMessage().value("event", ""), "ready") << diagnostics();
  const auto asked = Clock::now();
  send(commandLine("shutdown"));
  EXPECT_EQ(helper_->waitForExit(3s), ExitStatus::exitedWith(0)) << diagnostics();
  EXPECT_LE(Clock::now() - asked, 3s);
  const auto calls = sim_->unregisterCalls();
  ASSERT_TRUE(calls.ok()) << calls.error();
  EXPECT_EQ(calls.value().size(), 1u) << "the withdrawal never reached bluetoothd";
  EXPECT_NE(helper_->transcript(Subprocess::Stream::err)
                .find("log warning: bluetoothd did not answer UnregisterProfile within 2 s; the "
                      "registration ends with the helper's bus connection\n"),
            std::string::npos)
      << diagnostics();
}

// The bus daemon dies and comes back on the same address, then bluetoothd:
// the helper reports the loss, connects again, registers with the new
// bluetoothd and serves a client.
TEST_F(UnresponsivePeer, LostBusIsALostServiceUntilItReturns) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  ASSERT_TRUE(bus_->restart().ok());
  std::vector<nlohmann::json> skipped;
  EXPECT_TRUE(awaitMessage(lost, 5s, &skipped)) << diagnostics();
  EXPECT_TRUE(waitForEndOfFile(client.get())) << "the client outlived the service";
  sim_->process().kill();  // it lost the bus too
  auto sim = BluezSim::start(*bus_);
  ASSERT_TRUE(sim.ok()) << sim.error();
  sim_ = std::move(sim.value());
  EXPECT_TRUE(awaitMessage(listening, 15s, &skipped)) << diagnostics();
  EXPECT_EQ(skipped, std::vector<nlohmann::json>{disconnected}) << diagnostics();

  UniqueFd next = connectClient();
  ASSERT_TRUE(next);
  ASSERT_TRUE(writeWithin(next.get(), hello));
  EXPECT_EQ(readExactlyWithin(next.get(), helloAckPayload.size()), helloAckPayload);
}

// Standard descriptors the parent closed: a closed input reads as end of
// input; a closed output ends the mode with status 2 and its error line.
TEST_F(UnresponsivePeer, ClosedStandardDescriptors) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  helper_->closeStdin();
  ASSERT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  auto noInput = Subprocess::start({"/bin/sh", "-c", "exec \"$0\" --stdio <&-", HARLO_HELPER_PATH},
                                   bus_->environment());
  ASSERT_TRUE(noInput.ok()) << noInput.error();
  helper_ = std::move(noInput.value());
  EXPECT_EQ(nextMessage(), listening);
  EXPECT_EQ(nextMessage().value("event", ""), "ready");
  EXPECT_EQ(nextMessage(), eventMessage("stopping", "stdin closed")) << diagnostics();
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();

  auto noOutput = Subprocess::start({"/bin/sh", "-c", "exec \"$0\" --stdio >&-", HARLO_HELPER_PATH},
                                    bus_->environment());
  ASSERT_TRUE(noOutput.ok()) << noOutput.error();
  helper_ = std::move(noOutput.value());
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(2));
  EXPECT_EQ(helper_->readLine(Subprocess::Stream::err),
            "RFCOMM server bridge failed: write failed: Bad file descriptor");
}

}  // namespace
}  // namespace harlo::test_support
