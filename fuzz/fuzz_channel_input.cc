// Fuzz target: the Bluetooth client's bytes, cut into deliveries where the
// fuzzer chooses (see deliveries.h), handed to RFCOMMBridge's data callback
// for a connected channel of a fake platform.
//
// A model computed from the whole stream predicts every report the bridge
// makes, in order: for each line, an oversized-line error, or nothing for an
// empty line, or (for a hello) the handshake event and the write report,
// then the line itself after UTF-8 repair. Checked besides:
// - exactly the hello_ack bytes reach the channel, once per hello line;
// - isHelloLine agrees with a second hello check built on nlohmann's parser;
// - every line handed on is valid UTF-8 without a line feed;
// - after the client leaves, an unfinished line is gone: a newline from the
//   next client forwards nothing.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "deliveries.h"
#include "fuzz_check.h"
#include "reference_utf8.h"
#include "rfcomm/companion_service.h"
#include "rfcomm/hello_check.h"
#include "rfcomm/rfcomm_bridge.h"
#include "testing/bridge_reports.h"
#include "testing/fake_platform.h"
#include "text/line_limit.h"

namespace harlo::fuzz {
namespace {

// What the platform hands over in one callback at most on Linux.
constexpr std::size_t maxDeliveryBytes = 64 * 1024;

const std::string handshakeReport =
    "event handshake | Received hello, responding with hello_ack directly";
const std::string helloWriteReport = "event rfcomm-write | wrote " +
                                     std::to_string(helloAckPayload.size()) +
                                     " bytes to RFCOMM channel 1";
const std::string oversizedReport =
    "error RFCOMM client line exceeds " + std::to_string(maxLineBytes) + " bytes";

// A second hello check: the two spellings, then nlohmann's document of the
// line must be an object whose "type" is the string "hello". A raw NUL is
// never part of a JSON text (nlohmann would stop at it).
bool referenceIsHello(std::string_view text) {
  if (text.find(R"("type":"hello")") == std::string_view::npos &&
      text.find(R"("type": "hello")") == std::string_view::npos) {
    return false;
  }
  if (text.find('\0') != std::string_view::npos) return false;
  const auto document =
      nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) return false;
  const auto type = document.find("type");
  return type != document.end() && type->is_string() && type->get<std::string>() == "hello";
}

struct Prediction {
  std::vector<std::string> reports;
  std::size_t hellos = 0;
};

// The reports the bridge owes for `stream`: every line ended by a line feed,
// then, for an unfinished tail already past the limit, its oversized error.
Prediction predict(std::string_view stream) {
  Prediction prediction;
  std::size_t start = 0;
  for (std::size_t feed; (feed = stream.find('\n', start)) != std::string_view::npos;
       start = feed + 1) {
    const std::string_view line = stream.substr(start, feed - start);
    if (line.size() > maxLineBytes) {
      prediction.reports.push_back(oversizedReport);
      continue;
    }
    if (line.empty()) continue;
    const std::string text = referenceRepairUTF8(line);
    const bool hello = isHelloLine(text);
    HARLO_FUZZ_CHECK(hello == referenceIsHello(text), "both hello checks agree");
    if (hello) {
      prediction.reports.push_back(handshakeReport);
      prediction.reports.push_back(helloWriteReport);
      ++prediction.hellos;
    }
    prediction.reports.push_back("protocol " + text);
  }
  if (stream.size() - start > maxLineBytes) prediction.reports.push_back(oversizedReport);
  return prediction;
}

// A line handed to the parent is text of one line. (That such text survives
// the parent's encoding is fuzz_helper_message_decode's concern.)
void checkForwardedLine(std::string_view text) {
  HARLO_FUZZ_CHECK(referenceIsValidUTF8(text), "a forwarded line is valid UTF-8");
  HARLO_FUZZ_CHECK(text.find('\n') == std::string_view::npos, "a forwarded line has no line feed");
}

void deliver(RFCOMMBridge& bridge, platform::Channel& channel, std::string_view bytes) {
  bridge.rfcommChannelData(
      channel, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace
}  // namespace harlo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace harlo;
  using namespace harlo::fuzz;
  const Deliveries deliveries = makeDeliveries(data, size, maxDeliveryBytes);
  const Prediction prediction = predict(deliveries.stream);

  // Without a run loop the fake queues its callbacks until runPending().
  platform::FakePlatform fake;
  BridgeReports reports;
  RFCOMMBridge bridge(fake, reports.eventCallback(), reports.errorCallback(),
                      [collect = reports.protocolCallback()](std::string_view payload) {
                        checkForwardedLine(payload);
                        collect(payload);
                      });
  HARLO_FUZZ_CHECK(bridge.start().ok(), "the bridge starts on the fake platform");
  const std::shared_ptr<platform::FakeChannel> client = fake.makeChannel(1);
  fake.openChannel(client);
  fake.runPending();
  reports.take();

  for (const std::string& piece : deliveries.pieces) deliver(bridge, *client, piece);
  HARLO_FUZZ_CHECK(reports.take() == prediction.reports, "the reports are the model's, in order");

  std::string acks;
  for (std::size_t i = 0; i < prediction.hellos; ++i) acks += helloAckPayload;
  HARLO_FUZZ_CHECK(client->written() == acks, "each hello, and only a hello, is answered");
  HARLO_FUZZ_CHECK(
      client->writeSizes() == std::vector<std::size_t>(prediction.hellos, helloAckPayload.size()),
      "each answer is one whole write");

  // The client leaves with a line unfinished; the next client's first line
  // feed ends an empty line, not the old client's bytes.
  fake.closeByPeer(client);
  fake.runPending();
  const std::shared_ptr<platform::FakeChannel> next = fake.makeChannel(2);
  fake.openChannel(next);
  fake.runPending();
  reports.take();
  deliver(bridge, *next, "\n");
  HARLO_FUZZ_CHECK(reports.count() == 0, "no bytes outlive their client");
  return 0;
}
