#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rfcomm/companion_service.h"
#include "testing/rfcomm_bridge_harness.h"
#include "text/line_limit.h"

namespace harlo {
namespace {

using Reports = std::vector<std::string>;

const std::string handshake =
    "event handshake | Received hello, responding with hello_ack directly";
const std::string wroteAck = "event rfcomm-write | wrote 53 bytes to RFCOMM channel 1";

std::string line(std::string_view text) { return std::string(text) + "\n"; }

// What a client's deliveries produce: reports, in order, and the bytes the
// bridge wrote back to the client.
TEST(RFCOMMBridgeInput, DeliveriesBecomeLinesAndHellosAreAnswered) {
  struct Case {
    const char* name;
    std::vector<std::string> deliveries;
    Reports expected;
    int acks;  // hello_ack lines written back
  };
  const Case cases[] = {
      {"hello split over two deliveries",
       {R"({"type":"hel)", "lo\"}\n"},
       {handshake, wroteAck, R"(protocol {"type":"hello"})"},
       1},
      {"three lines in one delivery",
       {"one\ntwo\nthree\n"},
       {"protocol one", "protocol two", "protocol three"},
       0},
      {"lone newline", {"\n"}, {}, 0},
      {"two newlines", {"\n\n"}, {}, 0},
      {"empty lines between lines", {"a\n\n\nb\n"}, {"protocol a", "protocol b"}, 0},
      {"CR LF keeps the CR", {"text\r\n"}, {"protocol text\r"}, 0},
      {"CR LF hello is answered",
       {"{\"type\":\"hello\"}\r\n"},
       {handshake, wroteAck, "protocol {\"type\":\"hello\"}\r"},
       1},
      {"spaces kept", {"  padded  \n"}, {"protocol   padded  "}, 0},
      {"0xFF repaired", {"a\xFFz\n"}, {"protocol a\xEF\xBF\xBDz"}, 0},
      {"truncated sequence repaired as one", {"\xE2\x82\n"}, {"protocol \xEF\xBF\xBD"}, 0},
      {"overlong sequence repaired byte by byte",
       {"\xC0\xAF\n"},
       {"protocol \xEF\xBF\xBD\xEF\xBF\xBD"},
       0},
      {"multi-byte character split between deliveries",
       {"caf\xC3", "\xA9\n"},
       {"protocol caf\xC3\xA9"},
       0},
      {"hello with a version and a space",
       {line(R"({"type": "hello", "version": 1})")},
       {handshake, wroteAck, R"(protocol {"type": "hello", "version": 1})"},
       1},
      {"space before the colon",
       {line(R"({"type" : "hello"})")},
       {R"(protocol {"type" : "hello"})"},
       0},
      {"hello_ack", {line(R"({"type":"hello_ack"})")}, {R"(protocol {"type":"hello_ack"})"}, 0},
      {"letter case", {line(R"({"type":"HELLO"})")}, {R"(protocol {"type":"HELLO"})"}, 0},
      {"nested type",
       {line(R"({"payload":{"type":"hello"}})")},
       {R"(protocol {"payload":{"type":"hello"}})"},
       0},
      {"text after the value",
       {line(R"({"type":"hello"} x)")},
       {R"(protocol {"type":"hello"} x)"},
       0},
      {"member alone", {line(R"("type":"hello")")}, {R"(protocol "type":"hello")"}, 0},
      {"array at the top", {line(R"([{"type":"hello"}])")}, {R"(protocol [{"type":"hello"}])"}, 0},
      {"two hellos",
       {"{\"type\":\"hello\"}\n{\"type\":\"hello\"}\n"},
       {handshake, wroteAck, R"(protocol {"type":"hello"})", handshake, wroteAck,
        R"(protocol {"type":"hello"})"},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness harness;
    harness.start();
    auto channel = harness.connect(1);
    Reports reports;
    for (const std::string& delivery : c.deliveries) {
      const Reports some = harness.send(channel, delivery);
      reports.insert(reports.end(), some.begin(), some.end());
    }
    EXPECT_EQ(reports, c.expected);
    std::string acks;
    for (int i = 0; i < c.acks; ++i) acks += helloAckPayload;
    EXPECT_EQ(channel->written(), acks);
  }
}

// Nothing is reported until the line feed of a split line arrives.
TEST(RFCOMMBridgeInput, PartialLineWaitsForItsLineFeed) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(1);
  EXPECT_EQ(harness.send(channel, R"({"type":"hel)"), Reports{});
  EXPECT_EQ(channel->written(), "");
  EXPECT_EQ(harness.send(channel, "lo\"}\nnext"),
            (Reports{handshake, wroteAck, R"(protocol {"type":"hello"})"}));
  EXPECT_EQ(harness.send(channel, "\n"), Reports{"protocol next"});
}

// A hello with no client connected: handshake, the no-client error, then the
// line itself.
TEST(RFCOMMBridgeInput, HelloWithoutClient) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.platform.makeChannel(1);
  const std::string hello = "{\"type\":\"hello\"}\n";
  harness.bridge.rfcommChannelData(
      *channel, std::span(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()));
  EXPECT_EQ(harness.reports.take(),
            (Reports{handshake, "error no active RFCOMM client channel is connected",
                     R"(protocol {"type":"hello"})"}));
}

// A failed hello_ack write is reported and the line is still forwarded.
TEST(RFCOMMBridgeInput, FailedHelloReplyStillForwardsLine) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(1);
  harness.platform.failWrites(-32);
  EXPECT_EQ(harness.send(channel, "{\"type\":\"hello\"}\n"),
            (Reports{handshake, "error failed to write to RFCOMM channel 1: status=-32",
                     R"(protocol {"type":"hello"})"}));
}

// A hello reply the client does not take at once holds back the lines after
// it and the client's input, and nothing else: when the reply ends (sent, or
// cut by the client's close) its outcome, the hello line and the held lines
// follow in order, and input resumes.
TEST(RFCOMMBridgeInput, WaitingHelloReplyHoldsTheLinesAfterIt) {
  struct Case {
    const char* name;
    void (*endReply)(BridgeHarness&, platform::FakeChannel&);
    Reports afterReply;
  };
  const Case cases[] = {
      {"reply sent",
       [](BridgeHarness&, platform::FakeChannel& c) { EXPECT_EQ(c.completeHeldWrites(), 1u); },
       {wroteAck, R"(protocol {"type":"hello"})", "protocol after"}},
      {"client closed while it waited",
       [](BridgeHarness& h, platform::FakeChannel&) { h.bridge.stop(); },
       {"error failed to write to RFCOMM channel 1: status=-32", R"(protocol {"type":"hello"})"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness harness;
    harness.start();
    auto channel = harness.connect(1);
    channel->holdWrites(true);
    EXPECT_EQ(harness.send(channel, "{\"type\":\"hello\"}\nafter\n"), Reports{handshake});
    EXPECT_TRUE(channel->inputPaused());
    c.endReply(harness, *channel);
    harness.platform.runPending();
    Reports reports = harness.reports.take();
    std::erase_if(reports, [](const std::string& r) { return r.starts_with("event client-"); });
    EXPECT_EQ(reports, c.afterReply);
    EXPECT_FALSE(channel->inputPaused());
  }
}

// Bytes after the last line feed are dropped when the channel closes.
TEST(RFCOMMBridgeInput, UnfinishedLineDroppedOnClose) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(1);
  EXPECT_EQ(harness.send(channel, "kept\ndropped"), Reports{"protocol kept"});
  harness.platform.closeByPeer(channel);
  harness.platform.runPending();
  harness.reports.take();

  auto next = harness.connect(2);
  EXPECT_EQ(harness.send(next, "fresh\n"), Reports{"protocol fresh"});
}

// A line over the bound is reported once however it arrives, is discarded
// through its line feed, and the following line is delivered; a line of
// exactly the bound is delivered whole.
TEST(RFCOMMBridgeInput, OversizedLineReportedOnceAndSkipped) {
  const std::string oversized = "error RFCOMM client line exceeds 1048576 bytes";
  struct Case {
    const char* name;
    std::vector<std::string> deliveries;
    Reports expected;
  };
  const std::string big(maxLineBytes + 1, 'x');
  const std::string third(maxLineBytes / 3 + 1, 'y');
  const Case cases[] = {
      {"in one delivery", {big + "\nnext\n"}, {oversized, "protocol next"}},
      {"then its line feed later", {big, "tail", "\nnext\n"}, {oversized, "protocol next"}},
      {"grown over several deliveries",
       {third, third, third, third, "\nnext\n"},
       {oversized, "protocol next"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness harness;
    harness.start();
    auto channel = harness.connect(1);
    Reports reports;
    for (const std::string& delivery : c.deliveries) {
      const Reports some = harness.send(channel, delivery);
      reports.insert(reports.end(), some.begin(), some.end());
    }
    EXPECT_EQ(reports, c.expected);
  }

  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(1);
  const std::string exact(maxLineBytes, 'z');
  EXPECT_EQ(harness.send(channel, exact + "\n"), Reports{"protocol " + exact});
}

// A delivery of zero bytes changes nothing.
TEST(RFCOMMBridgeInput, EmptyDeliveryChangesNothing) {
  BridgeHarness harness;
  harness.start();
  auto channel = harness.connect(1);
  EXPECT_EQ(harness.send(channel, "ab"), Reports{});
  harness.bridge.rfcommChannelData(*channel, {});
  EXPECT_EQ(harness.reports.take(), Reports{});
  EXPECT_EQ(harness.send(channel, "c\n"), Reports{"protocol abc"});
}

}  // namespace
}  // namespace harlo
