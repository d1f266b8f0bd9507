#include "app/bridge_mode.h"

#include <unistd.h>

#include <string>
#include <system_error>

#include "app/system_log.h"
#include "base/log.h"
#include "base/write_all.h"
#include "platform/linux/bluez/bluez_platform.h"
#include "platform/linux/run_loop.h"
#include "platform/linux/stop_signal_thread.h"
#include "stdio/stdio_bridge.h"

namespace harlo {

namespace {

// A start failure before the bridge exists, reported on the one line that
// ends the mode.
int failToStart(Log& log, const std::string& reason) {
  log.write(Log::Level::error, reason);
  // Nothing more can be done if standard error is gone.
  (void)writeAll(STDERR_FILENO, "RFCOMM server bridge failed: " + reason + "\n");
  return 2;
}

int runOnTheSystem(platform::StopSignals& signals, Log& log) {
  auto loop = platform::RunLoop::create();
  if (!loop) {
    return failToStart(
        log, "cannot create the main run loop: " + std::generic_category().message(-loop.error()));
  }
  // The platform is declared after the loop so that it is destroyed first,
  // on this thread, after the loop's last run.
  const auto platform = platform::makeBluezPlatform(*loop.value(), log);
  return runStdioBridge(*loop.value(), *platform, signals,
                        StdioBridgeFds{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}, log);
}

}  // namespace

int runBridgeMode() {
  // First, before any other thread: every thread started after it blocks
  // the stop signals, which its own thread takes.
  auto signals = platform::StopSignalThread::start();
  SystemLog log;
  log.write(Log::Level::notice, "HarloCompanionHelper " HARLO_VERSION " starting in bridge mode");
  const int status = signals
                         ? runOnTheSystem(*signals.value(), log)
                         : failToStart(log, "cannot watch for stop signals: " +
                                                std::generic_category().message(-signals.error()));
  log.write(Log::Level::notice, "bridge mode ended with exit status " + std::to_string(status));
  return status;
}

}  // namespace harlo
