#include "stdio/stdio_bridge.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/write_all.h"
#include "protocol/helper_message_json.h"
#include "protocol/output_writer.h"
#include "rfcomm/rfcomm_bridge.h"
#include "stdio/stdin_reader.h"
#include "stdio/stop_request.h"

namespace harlo {
namespace {

// Linux keeps 15 bytes of a thread name: the first 15 of "harlo-stdin-reader".
constexpr char readerThreadName[] = "harlo-stdin-rea";

// Ends the mode with one line on the error descriptor (and in the log) and
// status 2.
int failBridge(int errorFd, Log& log, const std::string& printedError) {
  const std::string line = "RFCOMM server bridge failed: " + printedError;
  log.write(Log::Level::error, line);
  // Standard error is the last place left to report anything, so a failure
  // to write there is dropped; the exit status still tells the parent.
  (void)writeAll(errorFd, line + "\n");
  return 2;
}

std::string errnoText(int errnum) { return std::generic_category().message(errnum); }

}  // namespace

int runStdioBridge(platform::MainLoop& loop, platform::BluetoothPlatform& platform,
                   StdioBridgeFds fds, Log& log) {
  OutputWriter output(fds.output);
  auto stop = StopRequest::create();
  if (!stop) {
    return failBridge(fds.error, log,
                      "cannot create the reader's stop request: " + errnoText(stop.error()));
  }

  // Each callback drops a failed write on purpose: the Bluetooth side carries
  // on whatever happens to the parent's pipe, and a closed output ends the
  // mode at the reader's next report.
  RFCOMMBridge bridge(
      platform,
      [&output](std::string_view event, std::optional<std::string_view> detail) {
        (void)output.emitEvent(event, detail);
      },
      [&output](std::string_view message) { (void)output.emitError(message); },
      [&output](std::string_view payload) {
        (void)output.emitMessage(HelperMessageView{.kind = "protocol", .payload = payload});
      });

  // A stop asked from outside ends the mode as "shutdown" does. The client
  // channel is closed at once, so that a write the reader waits for ends and
  // the reader takes up the request; it reports "stopping" last.
  const platform::Status watched = loop.watchStopRequests([&](std::string_view name) {
    log.write(Log::Level::notice, "received " + std::string(name) + "; stopping");
    stop.value()->request(StopRequest::Reason::finish("received " + std::string(name)));
    bridge.stop();
  });
  if (watched != platform::statusOK) {
    return failBridge(fds.error, log, "cannot watch for stop signals: " + errnoText(-watched));
  }

  const Result<std::uint8_t, BridgeError> started = bridge.start();
  if (!started) return failBridge(fds.error, log, started.error().printedForm());

  const Result<void, WriteError> ready = output.emitEvent(
      "ready", "stdio bridge ready on RFCOMM channel " + std::to_string(unsigned{started.value()}));
  if (!ready) return failBridge(fds.error, log, ready.error().description());

  std::atomic<std::int32_t> exitStatus{0};
  const StdinReaderContext context{bridge,        loop, exitStatus, output,
                                   *stop.value(), log,  fds.input,  fds.error};
  std::thread reader;
  try {
    reader = std::thread([&context] {
      // A thread without its name still works; the name only helps whoever
      // inspects the process.
      (void)pthread_setname_np(pthread_self(), readerThreadName);
      runStdinReader(context);
    });
  } catch (const std::system_error& failure) {
    // Out of threads: end the mode as a reader failure would, not by an
    // uncaught exception, and log it as one.
    const std::string line = std::string("stdin reader failed: ") + failure.what();
    log.write(Log::Level::error, line);
    (void)writeAll(fds.error, line + "\n");
    return 2;
  }

  const platform::Status looped = loop.run();
  if (looped != platform::statusOK) {
    // The loop itself broke, so the reader did not stop it and may be waiting
    // for input, writing to the client or handling a line. It is told to end
    // without another word, the output is closed so that no line can follow
    // the one on standard error, and the client channel is closed so that a
    // write in progress ends; the loop, finished, runs nothing more.
    stop.value()->request(StopRequest::Reason::quietly());
    output.close();
    bridge.stop();
    const int status =
        failBridge(fds.error, log, "main run loop failed: status=" + std::to_string(looped));
    reader.join();
    return status;
  }
  reader.join();
  return exitStatus.load();
}

}  // namespace harlo
