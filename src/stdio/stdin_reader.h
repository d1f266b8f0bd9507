// runStdinReader: the body of the stdin reader thread of bridge mode.
//
// It waits with poll for the parent's messages on `input` (or a stop request)
// and reads them in reads of at most 4096 bytes, frames them
// into lines (StdinFramer), dispatches each line (dispatchLine) and carries
// out the action: replies and error reports go to `output`, protocol payloads
// to the bridge's client. While `output` is behind (the parent does not read
// what it is sent), the next line waits for room. It ends exactly once, on
// the first of:
// - "shutdown": logs "shutdown requested; stopping", stops the bridge,
//   reports "stopping" ("shutdown requested") as the output's last line;
//   lines after it, even in the same read, are dropped unread.
// - end of input: reports a partial last line if there is one, logs "stdin
//   closed; stopping", stops the bridge, reports "stopping" ("stdin closed").
// - a stop request: stops the bridge and reports "stopping" with the
//   request's detail (whoever asked has logged why), or, for a quiet request,
//   just ends.
// - a reader failure (a failed read, or a report that cannot be written):
//   writes "stdin reader failed: <description>" and a line feed to `error`
//   and to the log, sets `exitStatus` to 2, and writes nothing more to
//   `output`; the bridge is not stopped.
// In every case its last act is to stop `mainRunLoop`. `exitStatus` is
// written before that stop and never otherwise, so the thread that ran the
// loop may read it once run() has returned.
//
// Threads: runs on the reader thread, the only thread that reads `input`.
// `output`, `bridge` and `mainRunLoop` are shared with the main thread and
// are thread-safe; all of them must outlive the call.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/log.h"
#include "platform/main_loop.h"
#include "protocol/output_writer.h"
#include "rfcomm/rfcomm_bridge.h"
#include "stdio/stop_request.h"

namespace harlo {

struct StdinReaderContext {
  RFCOMMBridge& bridge;
  platform::MainLoop& mainRunLoop;
  std::atomic<std::int32_t>& exitStatus;
  OutputWriter& output;
  const StopRequest& stop;
  Log& log;   // a reader failure and a stop the parent made are logged
  int input;  // not owned, not closed
  int error;  // not owned, not closed
};

void runStdinReader(const StdinReaderContext& context);

}  // namespace harlo
