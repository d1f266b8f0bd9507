// HarloCompanionHelper: a helper process that a parent application spawns to
// reach one Bluetooth RFCOMM client through standard input and output.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <span>

#include "app/bridge_mode.h"
#include "app/capabilities.h"
#include "app/cli.h"
#include "app/self_test_report.h"
#include "app/standard_descriptors.h"
#include "base/write_all.h"

int main(int argc, char** argv) {
  harlo::openMissingStandardDescriptors();
  // A parent that closes its end of a pipe must turn our writes into errors
  // we can handle, not kill the process.
  ::signal(SIGPIPE, SIG_IGN);

  const std::span<const char* const> arguments(argv + 1, static_cast<std::size_t>(argc - 1));
  switch (harlo::selectMode(arguments)) {
    case harlo::Mode::capabilities:
      return harlo::emitCapabilities(STDOUT_FILENO);
    case harlo::Mode::selfTest:
      harlo::runSelfTest(stdout);
      return 0;
    case harlo::Mode::stdio:
      return harlo::runBridgeMode();
    case harlo::Mode::usage:
      break;
  }
  // Nothing can be done about a usage line that cannot be written; the
  // status says what happened.
  (void)harlo::writeAll(STDERR_FILENO, harlo::usageLine);
  return 1;
}
