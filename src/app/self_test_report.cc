#include "app/self_test_report.h"

#include <cinttypes>

#include "protocol/protocol_version.h"

namespace harlo {

int runSelfTest(std::FILE* out) {
  // The wording of the first line is fixed text that parents compare; it
  // names the framework of the platform the helper was first written for.
  std::fputs("IOBluetooth framework available\n", out);
  std::fputs("RFCOMM server scaffold present: yes\n", out);
  std::fputs("stdio bridge scaffold present: yes\n", out);
  std::fprintf(out, "IPC protocol version: %" PRId64 "\n", helperProtocolVersion);
  return 0;
}

}  // namespace harlo
