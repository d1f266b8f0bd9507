// Floor of a ping round trip: reads standard input in 4 KiB blocks and
// writes each complete line back to standard output in one call.
#include <unistd.h>

#include <string>

#include "floor_io.h"

int main() {
  char block[4096];
  std::string pending;
  for (;;) {
    const std::size_t got = harlo::floor::readOrExit(STDIN_FILENO, block, sizeof block);
    if (got == 0) break;
    pending.append(block, got);
    std::size_t begin = 0;
    for (std::size_t feed; (feed = pending.find('\n', begin)) != std::string::npos;
         begin = feed + 1) {
      harlo::floor::writeAllOrExit(STDOUT_FILENO, pending.data() + begin, feed + 1 - begin, false);
    }
    pending.erase(0, begin);
  }
  return 0;
}
