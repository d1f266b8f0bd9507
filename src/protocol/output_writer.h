// The output writer: puts HelperMessage lines on a file descriptor (standard
// output in the program), one compact JSON object and one line feed per line.
//
// Thread safety: every method may be called from any thread at once. Each
// line is built whole and written with one write(2) under one mutex,
// continued on partial writes and EINTR, so no byte of another message ever
// falls inside a line. Lines written by one thread keep that thread's order.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "protocol/helper_message.h"
#include "protocol/helper_message_json.h"

namespace harlo {

// A line that could not be written.
struct WriteError {
  int errnum;                       // errno of the failed write(2), a positive value
  std::string description() const;  // e.g. "write failed: Broken pipe"
};

class OutputWriter final {
 public:
  // `fd` is not owned and must stay open for the writer's life. The process
  // must ignore SIGPIPE, so that a closed reading end is a failed write
  // instead of a killed process.
  explicit OutputWriter(int fd);
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Writes `message` as one line. On failure nothing more of that line is
  // written and the error is returned; a failure never corrupts later lines
  // (a partially written line is completed or abandoned only at the failure
  // itself).
  Result<void, WriteError> emitMessage(const HelperMessage& message);
  Result<void, WriteError> emitMessage(const HelperMessageView& message);

  // kind "event" with `event` and `detail` (no "detail" key when absent).
  Result<void, WriteError> emitEvent(std::string_view event,
                                     std::optional<std::string_view> detail);

  // kind "error" with `message` as the detail.
  Result<void, WriteError> emitError(std::string_view message);

  // Ends the output: once it returns, no line is written any more, and every
  // emit fails with EPIPE (as after the reading end closed). A line being
  // written when it is called is finished first. Any thread.
  void close();

 private:
  const int fd_;
  std::mutex mutex_;     // serialises whole lines on fd_
  std::string line_;     // guarded by mutex_; reused so that a line costs no allocation
  bool closed_ = false;  // guarded by mutex_
};

}  // namespace harlo
