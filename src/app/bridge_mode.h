// Bridge mode as the program runs it: the main run loop, the production
// Bluetooth platform and the process's standard streams.
#pragma once

namespace harlo {

// Runs bridge mode on the calling thread with standard input, output and
// error, and returns the exit status (0, or 2 on a failure).
int runBridgeMode();

}  // namespace harlo
