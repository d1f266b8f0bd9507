#include "app/bridge_mode.h"

#include <unistd.h>

#include <string>
#include <system_error>

#include "base/write_all.h"
#include "platform/linux/bluez/bluez_platform.h"
#include "platform/linux/run_loop.h"
#include "stdio/stdio_bridge.h"

namespace harlo {

int runBridgeMode() {
  auto loop = platform::RunLoop::create();
  if (!loop) {
    // Without a run loop there is no bridge; this is a start failure like
    // any other, reported on the one line that ends the mode.
    const std::string line = "RFCOMM server bridge failed: cannot create the main run loop: " +
                             std::generic_category().message(-loop.error()) + "\n";
    (void)writeAll(STDERR_FILENO, line);  // nothing more can be done if stderr is gone
    return 2;
  }
  // The platform is declared after the loop so that it is destroyed first,
  // on this thread, after the loop's last run.
  const auto platform = platform::makeBluezPlatform(*loop.value());
  return runStdioBridge(*loop.value(), *platform,
                        StdioBridgeFds{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO});
}

}  // namespace harlo
