// The real helper in bridge mode against bluez-sim: lines between the parent
// and Bluetooth clients, the hello exchange, and clients coming and going.
#include <string>
#include <vector>

#include "bridge_process_fixture.h"
#include "fixed_reports.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

constexpr const char* handshakeDetail = "Received hello, responding with hello_ack directly";
constexpr const char* disconnectedDetail = "RFCOMM client disconnected from channel 1";

std::string wroteDetail(std::size_t bytes) {
  return "wrote " + std::to_string(bytes) + " bytes to RFCOMM channel 1";
}

using BridgeTraffic = BridgeProcessTest;

// Each hello is answered with exactly the 53-byte hello_ack line, and the
// parent sees the handshake, the write and the hello line itself, in order.
TEST_F(BridgeTraffic, HelloIsAnsweredDirectly) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);

  const std::vector<std::string> hellos = {
      R"({"type":"hello"})",
      "{\"type\": \"hello\", \"version\": 1}\r",  // spaced, and ended by CR LF
  };
  for (const auto& hello : hellos) {
    SCOPED_TRACE(hello);
    ASSERT_TRUE(writeWithin(client.get(), hello + "\n"));
    EXPECT_EQ(readExactlyWithin(client.get(), helloAckLine.size()), helloAckLine);
    EXPECT_EQ(nextMessage(), eventMessage("handshake", handshakeDetail));
    EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", wroteDetail(53)));
    EXPECT_EQ(nextMessage(), protocolMessage(hello));
  }
  EXPECT_FALSE(hasPendingEvent(client.get())) << "the client got more than the replies";
}

// A parent payload reaches the client unchanged with one line feed added, and
// the write is reported with that byte count.
TEST_F(BridgeTraffic, ParentPayloadsReachTheClient) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  const std::vector<std::string> payloads = {
      "plain text",
      "slash / quote \" backslash \\ tab \t and \xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80",
      "",
      "two\nlines",
  };
  for (const auto& payload : payloads) {
    SCOPED_TRACE(payload);
    send(protocolCommand(payload));
    EXPECT_EQ(readExactlyWithin(client.get(), payload.size() + 1), payload + "\n");
    EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", wroteDetail(payload.size() + 1)));
  }
}

// Client lines reach the parent as protocol messages, in order: empty lines
// are dropped, ill-formed UTF-8 is repaired and a CR before the line feed
// stays.
TEST_F(BridgeTraffic, ClientLinesReachTheParent) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  ASSERT_TRUE(writeWithin(client.get(),
                          "first line\n\n"
                          "slash / and \xC3\xA9 \xF0\x9F\x98\x80\n"
                          "bad \xFF byte\n"
                          "ends in CR\r\n"
                          "split "));
  ASSERT_TRUE(writeWithin(client.get(), "across writes\n"));
  const std::vector<std::string> expected = {
      "first line",
      "slash / and \xC3\xA9 \xF0\x9F\x98\x80",
      "bad \xEF\xBF\xBD byte",
      "ends in CR\r",
      "split across writes",
  };
  for (const auto& payload : expected) EXPECT_EQ(nextMessage(), protocolMessage(payload));
}

// A second client replaces the first: the first sees end of file although
// bluez-sim keeps its own copy of that socket until it hangs up (so the helper
// shut the socket down rather than just closing its descriptor), its close is
// reported, and the second client works both ways.
TEST_F(BridgeTraffic, NewestClientWins) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd first = connectClient();
  ASSERT_TRUE(first);
  UniqueFd second = connectClient();
  ASSERT_TRUE(second);

  EXPECT_TRUE(waitForEndOfFile(first.get())) << "the replaced client is still connected";
  EXPECT_EQ(nextMessage(), eventMessage("client-disconnected", disconnectedDetail));
  EXPECT_TRUE(sim_->waitForLog("client 1: /org/bluez/hci0/dev_00_00_00_00_00_01 hung up; closed"))
      << sim_->log();

  send(protocolCommand("to the second"));
  EXPECT_EQ(readLineWithin(second.get()), "to the second");
  EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", wroteDetail(14)));
  ASSERT_TRUE(writeWithin(second.get(), "from the second\n"));
  EXPECT_EQ(nextMessage(), protocolMessage("from the second"));
}

// A client that leaves is reported once, its unfinished line is dropped, a
// payload then finds no client, and the next client starts afresh.
TEST_F(BridgeTraffic, DisconnectedClientLeavesNoChannel) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd first = connectClient();
  ASSERT_TRUE(first);
  ASSERT_TRUE(writeWithin(first.get(), "unfinished"));
  first.reset();
  EXPECT_EQ(nextMessage(), eventMessage("client-disconnected", disconnectedDetail));

  send(protocolCommand("nobody listens"));
  EXPECT_EQ(nextMessage(), errorMessage("no active RFCOMM client channel is connected"));

  UniqueFd second = connectClient();
  ASSERT_TRUE(second);
  ASSERT_TRUE(writeWithin(second.get(), "fresh\n"));
  EXPECT_EQ(nextMessage(), protocolMessage("fresh"));
}

// Ping is answered with pong while a client is connected, with or without a
// detail, and the client stays usable.
TEST_F(BridgeTraffic, PingWhileConnected) {
  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);
  send(R"({"kind":"command","command":"ping","detail":"are you there","version":1})");
  EXPECT_EQ(nextMessage(), eventMessage("pong", "are you there"));
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping"));
  ASSERT_TRUE(writeWithin(client.get(), "still here\n"));
  EXPECT_EQ(nextMessage(), protocolMessage("still here"));
}

// A parent's id, a string or an integer, comes back on every report that
// answers its message (a payload's write or error, pong, a decode or command
// error, stopping) and on nothing else: not on the hello_ack's write, a
// client's line or an event of the helper's own.
TEST_F(BridgeTraffic, ReportsCarryTheIdOfTheMessageTheyAnswer) {
  for (const nlohmann::json& id : {nlohmann::json("req/1 \u00e9"), nlohmann::json(-42)}) {
    SCOPED_TRACE(id.dump());
    const auto with = [&id](nlohmann::json message) {
      message["id"] = id;
      return message;
    };
    ASSERT_NO_FATAL_FAILURE(startReady());
    UniqueFd client = connectClient();
    ASSERT_TRUE(client);
    send(with(nlohmann::json::parse(protocolCommand("to the client"))).dump());
    EXPECT_EQ(readLineWithin(client.get()), "to the client");
    EXPECT_EQ(nextMessage(), with(eventMessage("rfcomm-write", wroteDetail(14))));
    send(with(nlohmann::json::parse(commandLine("ping"))).dump());
    EXPECT_EQ(nextMessage(), with(eventMessage("pong", "ping")));
    send(nlohmann::json{{"kind", "command"}, {"id", id}}.dump());
    EXPECT_EQ(nextMessage(), with(errorMessage("failed to decode helper command: key not found: "
                                               "\"version\": no value for this key")));
    send(with(nlohmann::json::parse(commandLine("reboot"))).dump());
    EXPECT_EQ(nextMessage(), with(errorMessage("unsupported helper command: reboot")));

    ASSERT_TRUE(writeWithin(client.get(), "{\"type\":\"hello\"}\n"));
    EXPECT_EQ(readExactlyWithin(client.get(), helloAckLine.size()), helloAckLine);
    EXPECT_EQ(nextMessage(), eventMessage("handshake", handshakeDetail));
    EXPECT_EQ(nextMessage(), eventMessage("rfcomm-write", wroteDetail(53)));
    EXPECT_EQ(nextMessage(), protocolMessage("{\"type\":\"hello\"}"));
    client.reset();
    EXPECT_EQ(nextMessage(), eventMessage("client-disconnected", disconnectedDetail));

    send(with(nlohmann::json::parse(protocolCommand("nobody"))).dump());
    EXPECT_EQ(nextMessage(), with(errorMessage("no active RFCOMM client channel is connected")));
    send(with(nlohmann::json::parse(commandLine("shutdown"))).dump());
    EXPECT_EQ(nextMessage(), with(eventMessage("stopping", "shutdown requested")));
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  }
}

}  // namespace
}  // namespace harlo::test_support
