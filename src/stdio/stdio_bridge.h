// runStdioBridge: bridge mode ("--stdio").
//
// Who runs what:
// - The calling (main) thread creates the RFCOMMBridge, starts it, reports
//   "ready", starts the stdin reader thread ("harlo-stdin-rea", the first 15
//   bytes of "harlo-stdin-reader"), then runs the main run loop, on which
//   every Bluetooth callback of the bridge arrives.
// - The reader thread reads the parent's messages from `input`, acts on them,
//   and finally stops the run loop; the main thread then joins it and gives
//   the output a bounded time to reach the parent.
// - The output writer's thread writes what the parent has not taken yet; the
//   parent never holds the others (output_writer.h).
// - The stop thread of `signals` passes a stop request on, and ends the
//   process itself if the mode has not ended in time (below).
// Both the main and the reader thread write helper-message lines to `output`
// through the one writer.
//
// A stop request (a signal) ends the mode as "shutdown" does, with
// "stopping" naming it, and status 0, within 3 s whatever holds the mode: the
// client is closed at once, the reader takes up the request, and the output
// gets up to 1 s to drain. When the orderly end has not come 2.4 s after the
// request (bluetoothd or the bus holding the loop or the start), the stop
// thread ends the process itself: "stopping" is queued if it was not, the
// output drains until 2.7 s, and the process exits with status 0 (the
// registration ends with the bus connection).
#pragma once

#include "base/log.h"
#include "platform/bluetooth_platform.h"
#include "platform/main_loop.h"
#include "platform/stop_signals.h"
#include "rfcomm/rfcomm_bridge.h"

namespace harlo {

struct StdioBridgeFds {
  int input = 0;   // the parent's messages; read by the reader thread only
  int output = 1;  // helper-message lines
  int error = 2;   // the one line that ends the mode on a failure
};

// Runs bridge mode on `loop` (whose loop thread is the calling thread) with
// `platform`, which must be attached to `loop`. Returns the exit status: 0
// after "shutdown", end of input or a stop request, 2 when the bridge cannot
// start or the reader fails. The descriptors are not closed. Why the mode
// ends, when that is not the parent's doing (a signal, a failure), also goes
// to `log`. The receiver it gives `signals` is removed before it returns.
// With `lowEnergy` offered, the service is offered over Bluetooth Low Energy
// too (rfcomm_bridge.h).
int runStdioBridge(platform::MainLoop& loop, platform::BluetoothPlatform& platform,
                   platform::StopSignals& signals, StdioBridgeFds fds, Log& log,
                   LowEnergy lowEnergy = LowEnergy::off);

}  // namespace harlo
