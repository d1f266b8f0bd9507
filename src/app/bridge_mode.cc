#include "app/bridge_mode.h"

#include <unistd.h>

#include <string>
#include <system_error>

#include "app/environment_switch.h"
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
  // A copy of the log on standard error comes before the line that ends
  // the mode.
  log.flush(logFlushBeforeEnd);
  // Nothing more can be done if standard error is gone.
  (void)writeAll(STDERR_FILENO, "RFCOMM server bridge failed: " + reason + "\n");
  return 2;
}

int runOnTheSystem(platform::StopSignals& signals, Log& log, LowEnergy lowEnergy) {
  auto loop = platform::RunLoop::create();
  if (!loop) {
    return failToStart(
        log, "cannot create the main run loop: " + std::generic_category().message(-loop.error()));
  }
  // The platform is declared after the loop so that it is destroyed first,
  // on this thread, after the loop's last run.
  const auto platform = platform::makeBluezPlatform(*loop.value(), log);
  return runStdioBridge(*loop.value(), *platform, signals,
                        StdioBridgeFds{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}, log, lowEnergy);
}

}  // namespace

int runBridgeMode() {
  // First, before any other thread: every thread started after it blocks
  // the stop signals, which its own thread takes.
  auto signals = platform::StopSignalThread::start();
  const Result<bool, std::string> logCopy = readEnvironmentSwitch("HARLO_LOG_STDERR");
  const Result<bool, std::string> lowEnergy = readEnvironmentSwitch("HARLO_BLE");
  SystemLog log(logCopy && logCopy.value() ? STDERR_FILENO : -1);
  log.write(Log::Level::notice, "HarloCompanionHelper " HARLO_VERSION " starting in bridge mode");
  int status = 2;
  if (!signals) {
    status = failToStart(
        log, "cannot watch for stop signals: " + std::generic_category().message(-signals.error()));
  } else if (!logCopy) {
    status = failToStart(log, logCopy.error());
  } else if (!lowEnergy) {
    status = failToStart(log, lowEnergy.error());
  } else {
    status = runOnTheSystem(*signals.value(), log,
                            lowEnergy.value() ? LowEnergy::offered : LowEnergy::off);
  }
  log.write(Log::Level::notice, "bridge mode ended with exit status " + std::to_string(status));
  return status;
}

}  // namespace harlo
