#include "stdio/stdio_bridge.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/write_all.h"
#include "protocol/helper_message_json.h"
#include "protocol/output_descriptor.h"
#include "protocol/output_writer.h"
#include "rfcomm/rfcomm_bridge.h"
#include "stdio/stdin_reader.h"
#include "stdio/stop_deadline.h"
#include "stdio/stop_request.h"

namespace harlo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Linux keeps 15 bytes of a thread name: the first 15 of "harlo-stdin-reader".
constexpr char readerThreadName[] = "harlo-stdin-rea";

// After a stop request: when the stop thread takes the end over if the mode
// has not begun it, and the last moment for the output to reach the parent.
constexpr auto orderlyStopBound = 2400ms;
constexpr auto lastOutputAfterStop = 2700ms;
// How long the output may take to reach a parent that reads slowly or not at
// all: after a stop request, and after the parent's own end (shutdown, end of
// input).
constexpr auto drainAfterStop = 1s;
constexpr auto drainAfterParent = 5s;
// How long the log may take before the process ends at once.
constexpr auto logFlushAtOnce = 100ms;

std::string errnoText(int errnum) { return std::generic_category().message(errnum); }

// A descriptor this function opened, closed when it goes; -1 for none.
class OwnedFd final {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int getOr(int fallback) const { return fd_ >= 0 ? fd_ : fallback; }

 private:
  const int fd_;
};

// The one line that ends the mode on a failure, on the error descriptor and
// in the log.
void reportFailure(int errorFd, Log& log, const std::string& printedError) {
  const std::string line = "RFCOMM server bridge failed: " + printedError;
  log.write(Log::Level::error, line);
  log.flush(logFlushBeforeEnd);
  // Standard error is the last place left to report anything, so a failure
  // to write there is dropped; the exit status still tells the parent.
  (void)writeAll(errorFd, line + "\n");
}

// The mode once its output writer exists: everything but the stop thread's
// receiver, which needs the writer and is set around it.
class Mode final {
 public:
  Mode(platform::MainLoop& loop, platform::BluetoothPlatform& platform, StdioBridgeFds fds,
       Log& log, OutputWriter& output, StopRequest& stop, StopDeadline& deadline,
       LowEnergy lowEnergy)
      : loop_(loop),
        fds_(fds),
        log_(log),
        output_(output),
        stop_(stop),
        deadline_(deadline),
        // Each callback drops a failed write on purpose: the Bluetooth side
        // carries on whatever happens to the parent's pipe, and a closed
        // output ends the mode at the reader's next report.
        bridge_(
            platform,
            [&output](std::string_view event, std::optional<std::string_view> detail) {
              (void)output.emitEvent(event, detail);
            },
            [&output](std::string_view message) { (void)output.emitError(message); },
            [&output](std::string_view payload) {
              (void)output.emitMessage(HelperMessageView{.kind = "protocol", .payload = payload});
            },
            lowEnergy) {
    // While the parent is behind, the client waits: its lines would only
    // pile up in the helper.
    output_.onBehindChanged(
        [this] { loop_.post([this] { bridge_.holdClientInput(output_.behind()); }); });
  }

  RFCOMMBridge& bridge() { return bridge_; }

  int run() {
    const Result<std::uint8_t, BridgeError> started = bridge_.start();
    if (const std::optional<StopRequest::Reason> asked = stop_.requested()) {
      // Asked to stop while starting: what the start made is undone, and the
      // mode ends as a stop ends it, whether the start succeeded or not.
      bridge_.stop();
      (void)output_.finish("stopping", asked->detail);
      return end(0);
    }
    if (!started) return end(2, started.error().printedForm());

    const Result<void, WriteError> ready =
        output_.emitEvent("ready", "stdio bridge ready on RFCOMM channel " +
                                       std::to_string(unsigned{started.value()}));
    if (!ready) return end(2, ready.error().description());

    std::atomic<std::int32_t> exitStatus{0};
    const StdinReaderContext context{bridge_, loop_, exitStatus, output_,
                                     stop_,   log_,  fds_.input, fds_.error};
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
      log_.write(Log::Level::error, line);
      log_.flush(logFlushBeforeEnd);
      (void)writeAll(fds_.error, line + "\n");
      return end(2);
    }

    const platform::Status looped = loop_.run();
    if (looped != platform::statusOK) {
      // The loop itself broke, so the reader did not stop it and may be
      // waiting for input, writing to the client or handling a line. It is
      // told to end without another word, the output is closed so that no
      // line can follow the one on standard error, and the client channel is
      // closed so that a write in progress ends; the loop, finished, runs
      // nothing more.
      stop_.request(StopRequest::Reason::quietly());
      output_.close();
      bridge_.stop();
      const int status = end(2, "main run loop failed: status=" + std::to_string(looped));
      reader.join();
      return status;
    }
    reader.join();
    return end(exitStatus.load());
  }

 private:
  // Ends the mode with `status`: the failure's line if there is one, then the
  // output's last chance to reach the parent. If the stop thread has taken
  // the end over, leaves it to that thread.
  int end(int status, const std::optional<std::string>& failure = std::nullopt) {
    if (!deadline_.claimForTheMode()) deadline_.waitForTheEnd();
    if (failure) reportFailure(fds_.error, log_, *failure);
    const Clock::time_point now = Clock::now();
    const std::optional<Clock::time_point> stopped = deadline_.requestedAt();
    (void)output_.drain(stopped ? std::min(now + drainAfterStop, *stopped + lastOutputAfterStop)
                                : now + drainAfterParent);
    output_.close();
    return status;
  }

  platform::MainLoop& loop_;
  const StdioBridgeFds fds_;
  Log& log_;
  OutputWriter& output_;
  StopRequest& stop_;
  StopDeadline& deadline_;
  RFCOMMBridge bridge_;
};

}  // namespace

int runStdioBridge(platform::MainLoop& loop, platform::BluetoothPlatform& platform,
                   platform::StopSignals& signals, StdioBridgeFds fds, Log& log,
                   LowEnergy lowEnergy) {
  // A description of the output of our own, which can be non-blocking
  // without changing the parent's.
  const OwnedFd ownOutput(openOwnNonBlockingDescription(fds.output));
  std::optional<OutputWriter> writer;
  try {
    writer.emplace(ownOutput.getOr(fds.output));
  } catch (const std::system_error& failure) {
    reportFailure(fds.error, log, std::string("cannot start the output writer: ") + failure.what());
    return 2;
  }
  OutputWriter& output = *writer;
  auto stop = StopRequest::create();
  if (!stop) {
    reportFailure(fds.error, log,
                  "cannot create the reader's stop request: " + errnoText(stop.error()));
    return 2;
  }
  StopDeadline deadline;
  Mode mode(loop, platform, fds, log, output, *stop.value(), deadline, lowEnergy);

  // A stop request ends the mode as "shutdown" does: the reader takes it up
  // and reports "stopping" last. The client channel is closed at once, so
  // that a write the reader waits for ends.
  signals.onRequest([&](std::string_view name) {
    const Clock::time_point at = Clock::now();
    deadline.requested(at);
    const std::string detail = "received " + std::string(name);
    log.write(Log::Level::notice, detail + "; stopping");
    stop.value()->request(StopRequest::Reason::finish(detail));
    mode.bridge().interrupt();
    if (!deadline.claimAtDeadline(at + orderlyStopBound)) return;
    // The mode could not end in time: bluetoothd or the bus holds the loop
    // or the start. The process ends here, as the mode would have.
    (void)output.finish("stopping", detail);
    (void)output.drain(at + lastOutputAfterStop);
    log.write(Log::Level::warning,
              "the stop did not finish within 2.4 s: ending at once, exit status 0");
    log.flush(logFlushAtOnce);
    std::_Exit(0);
  });
  const int status = mode.run();
  signals.onRequest({});
  return status;
}

}  // namespace harlo
