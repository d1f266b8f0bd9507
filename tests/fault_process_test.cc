// The real helper in bridge mode when one side misbehaves: a parent that
// stops reading or goes away, a client that stops reading or leaves in the
// middle of a write. The helper must neither hang, nor buffer without bound,
// nor lose or reorder what it does deliver.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
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

constexpr std::size_t mebibyte = 1024 * 1024;

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

// Client line `sequence`: its number, a two-byte character, and filler up to
// 1,000 bytes.
std::string floodLine(std::size_t sequence) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu ", sequence);
  std::string line = digits;
  line += "\xC3\xA9";
  line.append(1000 - line.size(), static_cast<char>('a' + sequence % 26));
  return line;
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

// The parent stops reading while the client floods lines: the helper stops
// taking the client's bytes instead of buffering them, and once the parent
// reads again every line arrives, whole and in order.
TEST_F(FaultProcess, StalledParentHoldsTheClientBack) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);

  // The client writes without waiting until the socket takes nothing more
  // for a while; a helper that kept reading would let it reach the limit.
  constexpr std::size_t floodLimit = 64 * mebibyte;
  constexpr int quietMs = 2000;
  std::size_t lines = 0;
  std::size_t written = 0;
  std::string unsent;
  bool heldBack = false;
  while (!heldBack && written < floodLimit) {
    if (unsent.empty()) unsent = floodLine(lines++) + "\n";
    const ssize_t n =
        ::send(client.get(), unsent.data(), unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      unsent.erase(0, static_cast<std::size_t>(n));
      written += static_cast<std::size_t>(n);
      continue;
    }
    ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EINTR)) << "send: " << errno;
    pollfd writable{client.get(), POLLOUT, 0};
    heldBack = ::poll(&writable, 1, quietMs) == 0;
  }
  std::cout << "client held back after " << written / 1024 << " KiB (" << lines << " lines)\n";
  EXPECT_TRUE(heldBack) << "the helper took " << written << " bytes from the client while the "
                        << "parent read nothing";
  expectPeakMemoryUnderBound(helper_->pid(), "stalled parent");

  // The rest of the last line goes out while the parent reads.
  bool restWritten = false;
  std::thread rest([&] { restWritten = writeWithin(client.get(), unsent); });
  for (std::size_t i = 0; i < lines; ++i) {
    const auto message = nextMessage();
    if (message != protocolMessage(floodLine(i))) {
      ADD_FAILURE() << "line " << i << " of " << lines << " arrived as "
                    << message.dump().substr(0, 200);
      break;
    }
  }
  rest.join();
  EXPECT_TRUE(restWritten);
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping")) << "more than the client's lines came";
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

  send(protocolCommand(bulkPayload(1'000'000)));
  // The limit is ten seconds without progress; the wait only guards a hang.
  expectInAnyOrder({writeFailed(-110), disconnected}, std::chrono::milliseconds(40000));
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
