// Cost of coding the messages the helper handles most: a parent's ping, a
// protocol line with a 100-byte payload, and an event with a detail.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

constexpr std::string_view payload100 =
    R"({"type":"note","text":"caf\u00e9 \/ \"quoted\" line","seq":42,"tags":["a","b"],"pad":"xxxxxxxxxxxx"})";
static_assert(payload100.size() == 100);

HelperMessage pingCommand() {
  HelperMessage message;
  message.kind = "command";
  message.command = "ping";
  return message;
}

HelperMessage protocolMessage() { return HelperMessage::makeProtocol(std::string(payload100)); }

HelperMessage eventWithDetail() {
  return HelperMessage::makeEvent("client-connected",
                                  "channel=1 device=/org/bluez/hci0/dev_00_11_22_33_44_55");
}

void decodeBenchmark(benchmark::State& state, const HelperMessage& message) {
  const std::string json = encodeHelperMessage(message);
  for (auto _ : state) {
    auto decoded = decodeHelperMessage(json);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

void encodeBenchmark(benchmark::State& state, const HelperMessage& message) {
  std::string line;
  for (auto _ : state) {
    line.clear();
    appendHelperMessageJSON(line, message);
    line += '\n';
    benchmark::DoNotOptimize(line.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

BENCHMARK_CAPTURE(decodeBenchmark, ping, pingCommand());
BENCHMARK_CAPTURE(decodeBenchmark, protocol_100_bytes, protocolMessage());
BENCHMARK_CAPTURE(decodeBenchmark, event_with_detail, eventWithDetail());
BENCHMARK_CAPTURE(encodeBenchmark, ping, pingCommand());
BENCHMARK_CAPTURE(encodeBenchmark, protocol_100_bytes, protocolMessage());
BENCHMARK_CAPTURE(encodeBenchmark, event_with_detail, eventWithDetail());

}  // namespace
}  // namespace harlo
