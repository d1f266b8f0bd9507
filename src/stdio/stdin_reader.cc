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

#include "base/constants.h"
#include "base/write_all.h"
#include "base/result.h"
#include "stdio/command_dispatch.h"
#include "stdio/stdin_framer.h"

namespace harlo {
namespace {

constexpr std::size_t readBlockBytes = 4096;

// Where handling a piece of input leaves the reader. A failure carries the
// description that follows "stdin reader failed: ".
enum class Progress { keepReading, finished };
using Step = Result<Progress, std::string>;

template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 14).
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

std::string readFailure(int errnum) {
  return "read failed: " + std::generic_category().message(errnum);
}

// Waits until `fd` has bytes, end of input or an error to report. Needed only
// when the parent handed over a non-blocking descriptor; 0 or an errno.
int waitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  while (poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
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
    if (!ended) failReader(ended.error());
    context_.mainRunLoop.stop();
  }

 private:
  Step readUntilDone() {
    char block[readBlockBytes];
    for (;;) {
      const ssize_t got = ::read(context_.input, block, sizeof block);
      if (got < 0) {
        const int errnum = errno;
        if (errnum == EINTR) continue;
        if (errnum != EAGAIN && errnum != EWOULDBLOCK) return fail(readFailure(errnum));
        if (const int waited = waitReadable(context_.input); waited != 0) {
          return fail(readFailure(waited));
        }
        continue;
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
              return reported(context_.output.emitEvent(reply.event, reply.detail));
            },
            [this](const ReportError& reply) -> Step {
              return reported(context_.output.emitError(reply.message));
            },
            [this](const SendToClient& send) -> Step {
              // The bridge reports the outcome of the write itself.
              context_.bridge.writeToChannel(std::span(
                  reinterpret_cast<const std::uint8_t*>(send.bytes.data()), send.bytes.size()));
              return Progress::keepReading;
            },
            [this](const StopBridge&) -> Step { return finish("shutdown requested"); },
        },
        action);
  }

  Step endOfInput() {
    if (framer_.hasPartialLine()) {
      const Step step =
          reported(context_.output.emitError("stdin closed with a partial helper message"));
      if (!step) return step;
    }
    return finish("stdin closed");
  }

  Step finish(std::string_view reason) {
    context_.bridge.stop();
    const Step step = reported(context_.output.emitEvent("stopping", reason));
    if (!step) return step;
    return Progress::finished;
  }

  void failReader(const std::string& description) {
    // Standard error is the last place left to report anything, so a failure
    // to write there is dropped; the exit status still tells the parent.
    (void)writeAll(context_.error, "stdin reader failed: " + description + "\n");
    context_.exitStatus.store(2);
  }

  const StdinReaderContext& context_;
  StdinFramer framer_;
};

}  // namespace

void runStdinReader(const StdinReaderContext& context) { StdinReader(context).run(); }

}  // namespace harlo
