#include "stdio/stdin_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "base/overloaded.h"
#include "base/result.h"
#include "base/write_all.h"
#include "stdio/command_dispatch.h"
#include "stdio/stdin_framer.h"
#include "text/line_limit.h"

namespace harlo {
namespace {

constexpr std::size_t readBlockBytes = 4096;

// Where handling a piece of input leaves the reader. A failure carries the
// description that follows "stdin reader failed: ".
enum class Progress { keepReading, finished };
using Step = Result<Progress, std::string>;

std::string readFailure(int errnum) {
  return "read failed: " + std::generic_category().message(errnum);
}

// What a wait ended with: `fd` ready (input, an error for read() to report,
// or room in the output), a stop request, or the errno of a failed poll.
enum class Woken { ready, stopRequested };
Result<Woken, int> waitForReadableOrStop(int fd, int stopFd) {
  pollfd entries[] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  while (poll(entries, 2, -1) < 0) {
    if (errno != EINTR) return fail(int{errno});
  }
  if (entries[1].revents != 0) return Woken::stopRequested;
  return Woken::ready;
}

std::string oversizedLineMessage() {
  return "helper message exceeds " + std::to_string(maxLineBytes) + " bytes";
}

Step reported(const Result<void, WriteError>& written) {
  if (!written) return fail(written.error().description());
  return Progress::keepReading;
}

class StdinReader final {
 public:
  explicit StdinReader(const StdinReaderContext& context) : context_(context) {}

  void run() {
    const Step ended = readUntilDone();
    if (!ended && !stoppedQuietly()) failReader(ended.error());
    context_.mainRunLoop.stop();
  }

 private:
  Step readUntilDone() {
    char block[readBlockBytes];
    for (;;) {
      const auto woken = waitForReadableOrStop(context_.input, context_.stop.readyFd());
      if (!woken) return fail(readFailure(woken.error()));
      if (woken.value() == Woken::stopRequested) return stopAsRequested();
      const ssize_t got = ::read(context_.input, block, sizeof block);
      if (got < 0) {
        const int errnum = errno;
        // Interrupted, or a non-blocking input with nothing after all: wait
        // again.
        if (errnum == EINTR || errnum == EAGAIN || errnum == EWOULDBLOCK) continue;
        return fail(readFailure(errnum));
      }
      const Step step = got == 0
                            ? endOfInput()
                            : handleBlock(std::string_view(block, static_cast<std::size_t>(got)));
      if (!step || step.value() == Progress::finished) return step;
    }
  }

  Step handleBlock(std::string_view block) {
    framer_.append(block);
    while (std::optional<StdinLine> line = framer_.next()) {
      if (context_.stop.requested()) return stopAsRequested();
      // While the parent does not take what it is sent, its next line waits:
      // its answers would only pile up in the helper.
      if (context_.output.behind()) {
        const auto woken = waitForReadableOrStop(context_.output.roomFd(), context_.stop.readyFd());
        if (!woken) return fail(readFailure(woken.error()));
        if (woken.value() == Woken::stopRequested) return stopAsRequested();
      }
      const Step step = handleLine(*line);
      if (!step || step.value() == Progress::finished) return step;
    }
    return Progress::keepReading;
  }

  Step handleLine(const StdinLine& line) {
    if (line.status == StdinLine::Status::invalidUTF8) {
      return reported(context_.output.emitError("stdin payload was not valid UTF-8"));
    }
    if (line.status == StdinLine::Status::oversized) {
      return reported(context_.output.emitError(oversizedLineMessage()));
    }
    return act(dispatchLine(line.text));
  }

  Step act(const DispatchAction& action) {
    return std::visit(
        Overloaded{
            [](const NoAction&) -> Step { return Progress::keepReading; },
            [this](const ReportEvent& reply) -> Step {
              return reported(context_.output.emitEvent(reply.event, reply.detail, idOf(reply.id)));
            },
            [this](const ReportError& reply) -> Step {
              return reported(context_.output.emitError(reply.message, idOf(reply.id)));
            },
            [this](const SendToClient& send) -> Step {
              sendToClient(send);
              return Progress::keepReading;
            },
            [this](const StopBridge& stop) -> Step {
              return stopForTheParent("shutdown requested", idOf(stop.id));
            },
        },
        action);
  }

  // The bridge reports the outcome of the write itself, with the request's
  // id when it had one.
  void sendToClient(const SendToClient& send) {
    const auto bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(send.bytes.data()), send.bytes.size());
    if (!send.id) {
      context_.bridge.writeToChannel(bytes);
      return;
    }
    OutputWriter& output = context_.output;
    const RequestId* id = &*send.id;
    const RFCOMMBridge::WriteReporter reporter{
        [&output, id](std::string_view event, std::optional<std::string_view> detail) {
          (void)output.emitEvent(event, detail, id);
        },
        [&output, id](std::string_view message) { (void)output.emitError(message, id); }};
    context_.bridge.writeToChannel(bytes, &reporter);
  }

  static const RequestId* idOf(const std::optional<RequestId>& id) { return id ? &*id : nullptr; }

  Step endOfInput() {
    if (framer_.hasPartialLine()) {
      const Step step =
          reported(context_.output.emitError("stdin closed with a partial helper message"));
      if (!step) return step;
    }
    return stopForTheParent("stdin closed");
  }

  // A stop the parent made, by "shutdown" or by closing its end, is logged
  // here with its reason; a stop signal is logged where it is caught.
  Step stopForTheParent(std::string_view reason, const RequestId* id = nullptr) {
    context_.log.write(Log::Level::notice, std::string(reason) + "; stopping");
    return finish(reason, id);
  }

  Step stopAsRequested() {
    const std::optional<StopRequest::Reason> reason = context_.stop.requested();
    if (reason->quiet) return Progress::finished;
    return finish(reason->detail);
  }

  bool stoppedQuietly() const {
    const std::optional<StopRequest::Reason> reason = context_.stop.requested();
    return reason && reason->quiet;
  }

  Step finish(std::string_view reason, const RequestId* id = nullptr) {
    context_.bridge.stop();
    const Step step = reported(context_.output.finish("stopping", reason, id));
    if (!step) return step;
    return Progress::finished;
  }

  void failReader(const std::string& description) {
    // Standard error is the last place left to report anything, so a failure
    // to write there is dropped; the exit status still tells the parent.
    const std::string line = "stdin reader failed: " + description;
    context_.log.write(Log::Level::error, line);
    context_.log.flush(logFlushBeforeEnd);
    (void)writeAll(context_.error, line + "\n");
    context_.exitStatus.store(2);
  }

  const StdinReaderContext& context_;
  StdinFramer framer_;
};

}  // namespace

void runStdinReader(const StdinReaderContext& context) { StdinReader(context).run(); }

}  // namespace harlo
