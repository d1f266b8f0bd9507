// Floor of the start-up measure: writes a 168-byte line, as long as the
// capabilities report, to standard output in one call and exits.
#include <unistd.h>

#include <string_view>

#include "floor_io.h"

namespace {

constexpr std::string_view line =
    "{\"detail\":\"a fixed line exactly as long as the capabilities report of the helper, "
    "written in one single "
    "call\",\"ipc_protocol\":1,\"platform\":\"Linux\",\"rfcomm_server\":true}\n";

}  // namespace

int main() {
  static_assert(line.size() == 168);
  harlo::floor::writeAllOrExit(STDOUT_FILENO, line.data(), line.size(), false);
  return 0;
}
