// Floor of the parent-to-client direction: reads the parent's protocol
// lines from standard input in 4 KiB blocks; for each line sends its payload
// and a line feed to the client socket in one call and writes one fixed
// 70-byte line to standard output in one call.
//
// Usage: harlo-floor-parent-to-client <client socket path>
// The payload is the text between `"payload":"` and the next quote, which
// holds for the benchmark's escape-free payloads.
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "floor_io.h"

namespace {

constexpr std::string_view payloadKey = "\"payload\":\"";
// As long as the helper's report of a 101-byte write, line feed included.
constexpr std::string_view reportLine =
    "{\"kind\":\"event\",\"event\":\"rfcomm-write\",\"detail\":\"wrote 101 bytes ok\"}\n";
static_assert(reportLine.size() == 70);

void forwardLine(std::string_view line, int client, std::string& out) {
  const std::size_t key = line.find(payloadKey);
  if (key == std::string_view::npos) return;
  const std::size_t start = key + payloadKey.size();
  const std::size_t end = line.find('"', start);
  if (end == std::string_view::npos) return;
  out.assign(line.substr(start, end - start));
  out.push_back('\n');
  harlo::floor::writeAllOrExit(client, out.data(), out.size(), true);
  harlo::floor::writeAllOrExit(STDOUT_FILENO, reportLine.data(), reportLine.size(), false);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  const int client = harlo::floor::connectOrExit(argv[1]);
  char block[4096];
  std::string pending;
  std::string out;
  for (;;) {
    const std::size_t got = harlo::floor::readOrExit(STDIN_FILENO, block, sizeof block);
    if (got == 0) break;
    pending.append(block, got);
    std::size_t begin = 0;
    for (std::size_t feed; (feed = pending.find('\n', begin)) != std::string::npos;
         begin = feed + 1) {
      forwardLine(std::string_view(pending).substr(begin, feed - begin), client, out);
    }
    pending.erase(0, begin);
  }
  ::close(client);
  return 0;
}
