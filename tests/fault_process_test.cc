// The real helper in bridge mode when one side misbehaves: a parent that
// stops reading or goes away, a client that stops reading or leaves in the
// middle of a write. The helper must neither hang, nor buffer without bound,
// nor lose or reorder what it does deliver.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge_process_fixture.h"
#include "fixed_reports.h"
#include "harness_names.h"
#include "peak_memory_check.h"

namespace harlo::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const nlohmann::json disconnected =
    eventMessage("client-disconnected", "RFCOMM client disconnected from channel 1");
const nlohmann::json handshake =
    eventMessage("handshake", "Received hello, responding with hello_ack directly");
const nlohmann::json noClient = errorMessage("no active RFCOMM client channel is connected");

nlohmann::json writeFailed(int status) {
  return errorMessage("failed to write to RFCOMM channel 1: status=" + std::to_string(status));
}

nlohmann::json wrote(std::size_t bytes) {
  return eventMessage("rfcomm-write",
                      "wrote " + std::to_string(bytes) + " bytes to RFCOMM channel 1");
}

// Client line `sequence` of a flood: its number and a two-byte character.
std::string shortLine(std::size_t sequence) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu ", sequence);
  return std::string(digits) + "\xC3\xA9";
}

// A payload of `bytes` ASCII bytes, far more than a socket buffer holds.
std::string bulkPayload(std::size_t bytes) {
  std::string payload(bytes, 'x');
  for (std::size_t i = 0; i < bytes; i += 1000) payload[i] = static_cast<char>('0' + i / 1000 % 10);
  return payload;
}

class FaultProcess : public BridgeProcessTest {
 protected:
  // Reads the next `expected.size()` messages and checks they are exactly
  // `expected` in some order: for events of the two threads, which race.
  void expectInAnyOrder(const std::vector<nlohmann::json>& expected,
                        std::chrono::milliseconds bound = defaultWait) {
    std::multiset<std::string> want;
    std::multiset<std::string> got;
    for (const auto& message : expected) want.insert(message.dump());
    for (std::size_t i = 0; i < expected.size(); ++i) got.insert(nextMessage(bound).dump());
    EXPECT_EQ(got, want) << diagnostics();
  }

  // A new client is served both ways; it is returned still connected (empty
  // if it could not connect).
  UniqueFd expectNextClientServed() {
    UniqueFd client = connectClient();
    if (!client) return client;
    send(protocolCommand("welcome"));
    EXPECT_EQ(readLineWithin(client.get()), "welcome");
    EXPECT_EQ(nextMessage(), wrote(8));
    EXPECT_TRUE(writeWithin(client.get(), "thanks\n"));
    EXPECT_EQ(nextMessage(), protocolMessage("thanks"));
    return client;
  }
};

// Writes the short lines 0 to `count` - 1 to `client` as fast as its socket
// takes them, from a thread of its own, until they are all out, the link
// ends or `stop` is set; `sent` counts the bytes the socket took.
std::thread floodInBackground(int client, std::size_t count, const std::atomic<bool>& stop,
                              std::atomic<std::size_t>& sent) {
  return std::thread([client, count, &stop, &sent] {
    std::string pending;
    for (std::size_t next = 0; !stop && (next < count || !pending.empty());) {
      while (pending.size() < 64 * 1024 && next < count) pending += shortLine(next++) + "\n";
      const ssize_t n = ::send(client, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        pending.erase(0, static_cast<std::size_t>(n));
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd writable{client, POLLOUT, 0};
        ::poll(&writable, 1, 100);
      } else {
        return;
      }
    }
  });
}

// The parent reads nothing for 5 s while the client floods 200,000 lines:
// the helper stops taking the client's bytes instead of buffering them, and
// once the parent reads again every line arrives once, whole and in order.
TEST_F(FaultProcess, StalledParentHoldsTheClientBack) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  constexpr std::size_t lines = 200'000;
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> sent{0};
  std::thread flood = floodInBackground(client.get(), lines, stop, sent);
  std::this_thread::sleep_for(5s);
  expectPeakMemoryUnderBound(helper_->pid(), "stalled parent");
  const std::size_t floodBytes = lines * (shortLine(0).size() + 1);
  std::cout << "client held back after " << sent / 1024 << " KiB of " << floodBytes / 1024
            << " KiB\n";
  EXPECT_LT(sent, floodBytes) << "the helper took every line while the parent read nothing";

  for (std::size_t i = 0; i < lines; ++i) {
    const std::optional<std::string> line = helper_->readLine(Subprocess::Stream::out);
    if (line != protocolMessage(shortLine(i)).dump()) {
      ADD_FAILURE() << "line " << i << " of " << lines << " arrived as "
                    << line.value_or("nothing").substr(0, 200);
      break;
    }
  }
  stop = true;
  flood.join();
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping")) << "more than the client's lines came";
}

// A parent that reads nothing holds nothing else: while a client floods (a
// line of 1 MiB of control characters, 6 MiB as JSON, then short lines) and
// the parent's ping waits for room, the helper's memory stays under the
// bound, a second client's connection is answered within a second, and
// SIGTERM ends the helper within 3 s with status 0, the registration
// withdrawn.
TEST_F(FaultProcess, StalledParentHoldsNothingElse) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  ASSERT_TRUE(writeWithin(client.get(), std::string(1024 * 1024, '\x01') + "\n"));
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> sent{0};
  std::thread flood = floodInBackground(client.get(), 10'000'000, stop, sent);
  std::this_thread::sleep_for(1s);
  send(commandLine("ping"));
  std::this_thread::sleep_for(1s);
  // Under instrumentation the 6 MiB line costs several times itself.
  expectPeakMemoryUnderBound(helper_->pid(), "parent reading nothing", 96 * mebibytes);

  auto second = sim_->connectClient();
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_TRUE(sim_->waitForLog(
      "client 2: NewConnection(/org/bluez/hci0/dev_00_00_00_00_00_02) answered", 1s))
      << diagnostics();

  const auto signalled = Clock::now();
  ASSERT_TRUE(helper_->sendSignal(SIGTERM));
  EXPECT_EQ(helper_->waitForExit(3s), ExitStatus::exitedWith(0)) << diagnostics();
  std::cout
      << "SIGTERM ended the helper in "
      << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count()
      << " ms\n";
  const auto calls = sim_->unregisterCalls();
  ASSERT_TRUE(calls.ok()) << calls.error();
  EXPECT_EQ(calls.value().size(), 1u) << "no orderly withdrawal";
  stop = true;
  flood.join();
}

// The parent closes its end of the helper's standard output: the client is
// still served (what would go to the parent is dropped), and the reader's
// next report ends the helper with status 2 and one line on standard error,
// whatever that report is.
TEST_F(FaultProcess, ClosedParentOutputEndsTheHelper) {
  struct Case {
    const char* name;
    const char* trigger;  // the parent's last line; nullptr closes input instead
  };
  const Case cases[] = {
      {"ping", R"({"kind":"command","command":"ping","version":1})"},
      {"shutdown", R"({"kind":"command","command":"shutdown","version":1})"},
      {"end of input", nullptr},
      {"undecodable line", "not json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(startReady());
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);
    helper_->closeStdout();

    ASSERT_TRUE(writeWithin(client.get(), "first\n{\"type\":\"hello\"}\nlast\n"));
    EXPECT_EQ(readExactlyWithin(client.get(), helloAckLine.size()), helloAckLine) << diagnostics();

    if (c.trigger) {
      send(c.trigger);
    } else {
      helper_->closeStdin();
    }
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(2)) << diagnostics();
    EXPECT_EQ(helper_->readLine(Subprocess::Stream::err),
              "stdin reader failed: write failed: Broken pipe")
        << diagnostics();
    EXPECT_EQ(helper_->readLine(Subprocess::Stream::err, std::chrono::milliseconds(0)),
              std::nullopt)
        << diagnostics();
    EXPECT_TRUE(waitForEndOfFile(client.get())) << "the client's link outlived the helper";
  }
}

// A client that stops reading loses its channel once a write has made no
// progress for the limit; later payloads find no client at once, the next
// client is served, and shutdown still ends the helper cleanly.
TEST_F(FaultProcess, ClientThatStopsReadingIsDropped) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd stuck = connectClient();
  ASSERT_TRUE(stuck);

  const auto sent = Clock::now();
  send(protocolCommand(bulkPayload(1'000'000)));
  // The limit is ten seconds without progress, well before any limit on the
  // write's whole time; the wait allows for a loaded machine.
  expectInAnyOrder({writeFailed(-110), disconnected}, 40s);
  const auto dropped = Clock::now() - sent;
  EXPECT_GE(dropped, 9s);
  EXPECT_LE(dropped, 20s) << "the client went only after "
                          << std::chrono::duration_cast<std::chrono::seconds>(dropped).count()
                          << " s";
  EXPECT_TRUE(waitForEndOfFile(stuck.get())) << "the stuck client's channel was not shut down";

  send(protocolCommand("later"));
  EXPECT_EQ(nextMessage(), noClient);
  UniqueFd next = expectNextClientServed();
  ASSERT_TRUE(next);

  send(commandLine("shutdown"));
  EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  // The close of the served client may be reported on either side of
  // "stopping"; nothing else may follow.
  std::vector<nlohmann::json> rest;
  while (auto line = helper_->readLine(Subprocess::Stream::out)) {
    if (nlohmann::json::parse(*line, nullptr, false) != disconnected) {
      rest.push_back(nlohmann::json::parse(*line, nullptr, false));
    }
  }
  EXPECT_EQ(rest, std::vector<nlohmann::json>{eventMessage("stopping", "shutdown requested")});
  EXPECT_TRUE(waitForEndOfFile(next.get()));
}

// A client that leaves while a large payload is being written to it: the
// write fails with the socket's error, the close is reported, and the helper
// goes on to serve the next client.
TEST_F(FaultProcess, ClientLeavingDuringAWriteIsReported) {
  const std::size_t readBeforeLeaving[] = {4096, 300'000};
  ASSERT_NO_FATAL_FAILURE(startReady());
  for (std::size_t taken : readBeforeLeaving) {
    SCOPED_TRACE(taken);
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);
    const std::string payload = bulkPayload(1'000'000);
    send(protocolCommand(payload));
    EXPECT_EQ(readExactlyWithin(client.get(), taken), payload.substr(0, taken));
    client.reset();

    const auto first = nextMessage();
    const auto second = nextMessage();
    const auto& failure = first == disconnected ? second : first;
    EXPECT_TRUE(first == disconnected || second == disconnected) << first << " " << second;
    EXPECT_TRUE(failure == writeFailed(-32) || failure == writeFailed(-104)) << failure;
  }
  EXPECT_TRUE(expectNextClientServed());
}

// Clients that leave right after their hello, while the helper answers it:
// each gets the handshake, the reply's outcome, the hello line and the close,
// in that order, and the helper stays up for the next client.
TEST_F(FaultProcess, ClientLeavingDuringTheHelloReply) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  std::size_t replyFailed = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);
    ASSERT_TRUE(writeWithin(client.get(), "{\"type\":\"hello\"}\n"));
    client.reset();

    EXPECT_EQ(nextMessage(), handshake);
    const auto reply = nextMessage();
    if (reply != wrote(helloAckLine.size())) {
      ++replyFailed;
      EXPECT_TRUE(reply == writeFailed(-32) || reply == writeFailed(-104)) << reply;
    }
    EXPECT_EQ(nextMessage(), protocolMessage("{\"type\":\"hello\"}"));
    EXPECT_EQ(nextMessage(), disconnected);
  }
  std::cout << "hello replies that failed: " << replyFailed << " of 20\n";
  EXPECT_TRUE(expectNextClientServed());
}

}  // namespace
}  // namespace harlo::test_support
