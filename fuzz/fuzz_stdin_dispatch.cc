// Fuzz target: the parent's standard input. The fuzzer's bytes become the
// stream (see deliveries.h), sent as packets of at most 4096 bytes over a
// sequenced-packet socket so that each read of the stdin reader ends exactly
// where the fuzzer chose. runStdinReader runs once over it, with a bridge on a
// fake platform whose client is connected, reporting through an OutputWriter
// as the program does.
//
// A model computed from the whole stream predicts every message written, in
// order, and every byte sent to the client. Checked besides:
// - every output line is whole, valid UTF-8, one line, decodes as a helper
//   message of version 1, and is no longer than escaping the longest input
//   line can make it;
// - the run ends normally (status 0, nothing on standard error), with the
//   bridge stopped and the main run loop asked to stop.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "deliveries.h"
#include "fuzz_check.h"
#include "platform/linux/run_loop.h"
#include "protocol/helper_message.h"
#include "protocol/helper_message_json.h"
#include "protocol/output_writer.h"
#include "protocol/protocol_version.h"
#include "reference_utf8.h"
#include "rfcomm/rfcomm_bridge.h"
#include "stdio/stdin_reader.h"
#include "testing/fake_platform.h"
#include "testing/memory_file.h"
#include "testing/recording_log.h"
#include "text/line_limit.h"

namespace harlo::fuzz {
namespace {

// The reader asks for at most this much per read.
constexpr std::size_t readBlockBytes = 4096;

// JSON escaping makes a byte at most six ("\u001f"); keys, the version and
// the longest fixed prefix of a report fit in the rest.
constexpr std::size_t escapeFactor = 6;
constexpr std::size_t fixedOverhead = 256;

struct Prediction {
  std::vector<HelperMessage> messages;
  std::string sent;                     // the bytes the client receives
  std::vector<std::size_t> writeSizes;  // one write per payload
  std::size_t longestLine = 0;
};

HelperMessage event(std::string name, std::string detail) {
  return HelperMessage::makeEvent(std::move(name), std::move(detail));
}
HelperMessage error(std::string message) { return HelperMessage::makeError(std::move(message)); }

// The reports that answer one decoded message, without its id. Returns false
// once the reader ends.
bool predictAnswer(const HelperMessage& message, Prediction& prediction) {
  auto& out = prediction.messages;
  if (message.kind == "command") {
    if (!message.command) {
      out.push_back(error("unsupported helper command: <missing>"));
    } else if (*message.command == "ping") {
      out.push_back(event("pong", message.detail.value_or("ping")));
    } else if (*message.command == "shutdown") {
      out.push_back(event("stopping", "shutdown requested"));
      return false;
    } else {
      out.push_back(error("unsupported helper command: " + *message.command));
    }
  } else if (message.kind == "protocol") {
    if (!message.payload) {
      out.push_back(error("protocol helper message missing payload"));
    } else {
      const std::string bytes = *message.payload + "\n";
      prediction.sent += bytes;
      prediction.writeSizes.push_back(bytes.size());
      out.push_back(event("rfcomm-write",
                          "wrote " + std::to_string(bytes.size()) + " bytes to RFCOMM channel 1"));
    }
  } else {
    out.push_back(error("unsupported helper message kind: " + message.kind));
  }
  return true;
}

// What one decoded message asks for: the reports that answer it, each with
// the message's id. Returns false once the reader ends.
bool predictMessage(const HelperMessage& message, Prediction& prediction) {
  const std::size_t before = prediction.messages.size();
  const bool goesOn = predictAnswer(message, prediction);
  for (std::size_t i = before; i < prediction.messages.size(); ++i) {
    prediction.messages[i].id = message.id;
  }
  return goesOn;
}

// The reader's whole output for `stream`: each line ended by a line feed in
// turn until a shutdown, then the end of input.
Prediction predict(std::string_view stream) {
  const HelperMessage oversized =
      error("helper message exceeds " + std::to_string(maxLineBytes) + " bytes");
  Prediction prediction;
  std::size_t start = 0;
  for (std::size_t feed; (feed = stream.find('\n', start)) != std::string_view::npos;
       start = feed + 1) {
    const std::string_view line = stream.substr(start, feed - start);
    prediction.longestLine = std::max(prediction.longestLine, line.size());
    if (line.size() > maxLineBytes) {
      prediction.messages.push_back(oversized);
    } else if (!referenceIsValidUTF8(line)) {
      prediction.messages.push_back(error("stdin payload was not valid UTF-8"));
    } else if (!line.empty()) {
      const auto decoded = decodeHelperMessage(line);
      if (!decoded) {
        HelperMessage report =
            error("failed to decode helper command: " + decoded.error().description());
        report.id = decoded.error().id;
        prediction.messages.push_back(std::move(report));
      } else if (!predictMessage(decoded.value(), prediction)) {
        return prediction;
      }
    }
  }
  const std::size_t tail = stream.size() - start;
  if (tail > maxLineBytes) {
    prediction.messages.push_back(oversized);
  } else if (tail > 0) {
    prediction.messages.push_back(error("stdin closed with a partial helper message"));
  }
  prediction.messages.push_back(event("stopping", "stdin closed"));
  return prediction;
}

bool hasControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Every line the reader and the bridge wrote, decoded; each checked on the
// way as the parent would read it.
std::vector<HelperMessage> readOutput(std::string_view text, std::size_t maxLine) {
  HARLO_FUZZ_CHECK(text.empty() || text.back() == '\n', "the output ends with a whole line");
  std::vector<HelperMessage> messages;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t feed = text.find('\n', start);
    const std::string_view line = text.substr(start, feed - start);
    start = feed + 1;
    HARLO_FUZZ_CHECK(line.size() <= maxLine, "an output line is no longer than its input allows");
    HARLO_FUZZ_CHECK(referenceIsValidUTF8(line), "an output line is valid UTF-8");
    HARLO_FUZZ_CHECK(!hasControlByte(line), "an output line holds no raw control byte");
    auto decoded = decodeHelperMessage(line);
    HARLO_FUZZ_CHECK(decoded.ok(), "an output line decodes as a helper message");
    HARLO_FUZZ_CHECK(decoded.value().version == helperProtocolVersion,
                     "an output line carries the protocol version");
    messages.push_back(std::move(decoded).value());
  }
  return messages;
}

// True when a stop was requested and not yet taken up. Leaves the loop with
// nothing queued and no stop pending, ready for the next input.
bool takeStopRequest(platform::RunLoop& loop) {
  bool ranProbe = false;
  loop.post([&] {
    ranProbe = true;
    loop.stop();
  });
  const bool stopped = loop.run() == platform::statusOK && !ranProbe;
  // A pending stop left the probe queued: let it run, which stops again.
  if (!ranProbe) HARLO_FUZZ_CHECK(loop.run() == platform::statusOK && ranProbe, "the loop drains");
  return stopped;
}

platform::RunLoop& mainRunLoop() {
  static const std::unique_ptr<platform::RunLoop> loop = [] {
    auto created = platform::RunLoop::create();
    HARLO_FUZZ_CHECK(created.ok(), "a run loop can be made");
    return std::move(created).value();
  }();
  return *loop;
}

// A stop request that nothing makes: the reader ends through its input.
const StopRequest& neverRequested() {
  static const std::unique_ptr<StopRequest> request = [] {
    auto created = StopRequest::create();
    HARLO_FUZZ_CHECK(created.ok(), "a stop request can be made");
    return std::move(created).value();
  }();
  return *request;
}

bool contains(const std::vector<std::string>& calls, std::string_view call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

}  // namespace
}  // namespace harlo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace harlo;
  using namespace harlo::fuzz;
  const Deliveries deliveries = makeDeliveries(data, size, readBlockBytes);
  const Prediction prediction = predict(deliveries.stream);

  // The fake queues its callbacks until runPending(); nothing runs the loop
  // while the reader does, as the reader only ever stops it.
  platform::FakePlatform fake;
  MemoryFile output;
  MemoryFile errors;
  OutputWriter writer(output.fd());
  RFCOMMBridge bridge(
      fake,
      [&writer](std::string_view name, std::optional<std::string_view> detail) {
        (void)writer.emitEvent(name, detail);
      },
      [&writer](std::string_view message) { (void)writer.emitError(message); },
      [&writer](std::string_view payload) {
        (void)writer.emitMessage(HelperMessage::makeProtocol(std::string(payload)));
      });
  HARLO_FUZZ_CHECK(bridge.start().ok(), "the bridge starts on the fake platform");
  const std::shared_ptr<platform::FakeChannel> client = fake.makeChannel(1);
  fake.openChannel(client);
  fake.runPending();
  output.clear();

  int sockets[2];
  HARLO_FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) == 0,
                   "a socket pair can be made");
  // The parent: one packet per delivery, then end of input. A send fails
  // once the reader has finished early and its end is closed.
  std::thread parent([&deliveries, end = sockets[1]] {
    for (const std::string& piece : deliveries.pieces) {
      if (send(end, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return;
    }
    shutdown(end, SHUT_WR);
  });
  std::atomic<std::int32_t> exitStatus{0};
  RecordingLog log;  // the reader logs only its own failure, which the checks below refuse
  runStdinReader(
      {bridge, mainRunLoop(), exitStatus, writer, neverRequested(), log, sockets[0], errors.fd()});
  close(sockets[0]);
  parent.join();
  close(sockets[1]);

  HARLO_FUZZ_CHECK(exitStatus.load() == 0, "the reader ends normally");
  HARLO_FUZZ_CHECK(errors.contents().empty(), "nothing reaches standard error");
  HARLO_FUZZ_CHECK(takeStopRequest(mainRunLoop()), "the reader stops the main run loop");

  const std::size_t maxLine = escapeFactor * prediction.longestLine + fixedOverhead;
  HARLO_FUZZ_CHECK(readOutput(output.contents(), maxLine) == prediction.messages,
                   "the messages are the model's, in order");
  HARLO_FUZZ_CHECK(client->written() == prediction.sent, "the client gets each payload, in order");
  HARLO_FUZZ_CHECK(client->writeSizes() == prediction.writeSizes, "each payload is one write");

  const std::vector<std::string> calls = fake.calls();
  HARLO_FUZZ_CHECK(
      contains(calls, "close 1") && contains(calls, "unregister") && contains(calls, "remove"),
      "the bridge is stopped");
  return 0;
}
