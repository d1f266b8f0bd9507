// The parent-to-client path without its two system calls' far ends: how much
// work the reader thread does per protocol message between reading a block
// of standard input and writing the report line (to /dev/null here).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <variant>

#include "protocol/output_writer.h"
#include "stdio/command_dispatch.h"
#include "stdio/stdin_framer.h"

namespace {

// 40 protocol lines with escape-free 100-byte payloads: one 4 KiB read's worth.
std::string protocolBlock() {
  std::string block;
  for (int i = 0; i < 40; ++i) {
    block += R"({"kind":"protocol","payload":")" +
             std::string(100, static_cast<char>('a' + i % 26)) +
             R"(","version":1})"
             "\n";
  }
  return block;
}

void BM_ParentProtocolPath(benchmark::State& state) {
  const std::string block = protocolBlock();
  // Non-blocking, as the description of its own that the program writes.
  const int devNull = ::open("/dev/null", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  harlo::OutputWriter output(devNull);
  harlo::StdinFramer framer;
  std::int64_t messages = 0;
  for (auto _ : state) {
    framer.append(block);
    while (auto line = framer.next()) {
      harlo::DispatchAction action = harlo::dispatchLine(line->text);
      const auto* send = std::get_if<harlo::SendToClient>(&action);
      benchmark::DoNotOptimize(send);
      (void)output.emitEvent("rfcomm-write", "wrote 101 bytes to RFCOMM channel 1");
      ++messages;
    }
  }
  ::close(devNull);
  state.SetItemsProcessed(messages);
}
BENCHMARK(BM_ParentProtocolPath);

}  // namespace
