// runStdioBridge: bridge mode ("--stdio").
//
// Who runs what:
// - The calling (main) thread creates the RFCOMMBridge, starts it, reports
//   "ready", starts the stdin reader thread ("harlo-stdin-rea", the first 15
//   bytes of "harlo-stdin-reader"), then runs the main run loop, on which
//   every Bluetooth callback of the bridge arrives.
// - The reader thread reads the parent's messages from `input`, acts on them,
//   and finally stops the run loop; the main thread then joins it.
// Both threads write helper-message lines to `output` through one writer.
#pragma once

#include "base/log.h"
#include "platform/bluetooth_platform.h"
#include "platform/main_loop.h"

namespace harlo {

struct StdioBridgeFds {
  int input = 0;   // the parent's messages; read by the reader thread only
  int output = 1;  // helper-message lines
  int error = 2;   // the one line that ends the mode on a failure
};

// Runs bridge mode on `loop` (whose loop thread is the calling thread) with
// `platform`, which must be attached to `loop`. Returns the exit status: 0
// after "shutdown" or end of input, 2 when the bridge cannot start or the
// reader fails. The descriptors are not closed. Why the mode ends, when that
// is not the parent's doing (a signal, a failure), also goes to `log`.
int runStdioBridge(platform::MainLoop& loop, platform::BluetoothPlatform& platform,
                   StdioBridgeFds fds, Log& log);

}  // namespace harlo
