// Floor of the client-to-parent direction: reads the client socket in 64 KiB
// blocks; for each line writes one line of the line's length plus 40 bytes
// (a message's framing around the text) to standard output in one call.
// Ends at the client's end of file.
//
// Usage: harlo-floor-client-to-parent <client socket path>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "floor_io.h"

namespace {

constexpr std::string_view prefix = "{\"kind\":\"protocol\",\"payload\":\"";
constexpr std::string_view suffix = "\",\"vr\":1}\n";
static_assert(prefix.size() + suffix.size() == 40);

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  const int client = harlo::floor::connectOrExit(argv[1]);
  std::vector<char> block(64 * 1024);
  std::string pending;
  std::string out;
  for (;;) {
    const std::size_t got = harlo::floor::readOrExit(client, block.data(), block.size());
    if (got == 0) break;
    pending.append(block.data(), got);
    std::size_t begin = 0;
    for (std::size_t feed; (feed = pending.find('\n', begin)) != std::string::npos;
         begin = feed + 1) {
      out.assign(prefix);
      out.append(pending, begin, feed - begin);
      out.append(suffix);
      harlo::floor::writeAllOrExit(STDOUT_FILENO, out.data(), out.size(), false);
    }
    pending.erase(0, begin);
  }
  ::close(client);
  return 0;
}
