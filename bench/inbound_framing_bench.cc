// Inbound channel data: how fast client bytes become lines, and what the hello
// check costs on a line that looks like a hello but is not one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rfcomm/hello_check.h"
#include "rfcomm/rfcomm_bridge.h"
#include "testing/fake_platform.h"

namespace {

constexpr std::size_t lineBytes = 100;  // line feed included
constexpr std::size_t streamBytes = 1 << 20;

// 100-byte lines of plain text, none of them a hello candidate.
std::string makeStream() {
  std::string stream;
  while (stream.size() + lineBytes <= streamBytes) {
    std::string line = "line " + std::to_string(stream.size() / lineBytes) + " ";
    line.resize(lineBytes - 1, 'x');
    stream += line;
    stream += '\n';
  }
  return stream;
}

void BM_InboundFraming(benchmark::State& state) {
  const std::size_t chunkBytes = static_cast<std::size_t>(state.range(0));
  const std::string stream = makeStream();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
  // The bridge is never started: only its data callback runs.
  harlo::platform::FakePlatform platform;
  const auto channel = platform.makeChannel(1);
  std::size_t lines = 0;
  harlo::RFCOMMBridge bridge(
      platform, [](std::string_view, std::optional<std::string_view>) {}, [](std::string_view) {},
      [&lines](std::string_view) { ++lines; });

  for (auto _ : state) {
    for (std::size_t offset = 0; offset < stream.size(); offset += chunkBytes) {
      const std::size_t size = std::min(chunkBytes, stream.size() - offset);
      bridge.rfcommChannelData(*channel, std::span(bytes + offset, size));
    }
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["bytes/s"] = benchmark::Counter(iterations * static_cast<double>(stream.size()),
                                                 benchmark::Counter::kIsRate);
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InboundFraming)->Arg(4 << 10)->Arg(64 << 10);

// A line that passes the substring test, so it is parsed, but is no hello.
void BM_HelloCheckNestedHello(benchmark::State& state) {
  const std::string line =
      R"({"payload":{"type":"hello","text":"a line that carries a hello inside"},"id":12345})";
  for (auto _ : state) {
    benchmark::DoNotOptimize(harlo::isHelloLine(line));
  }
}
BENCHMARK(BM_HelloCheckNestedHello);

}  // namespace
