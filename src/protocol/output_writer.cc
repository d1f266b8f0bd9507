#include "protocol/output_writer.h"

#include <cerrno>
#include <system_error>

#include "base/write_all.h"
#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

constexpr std::size_t retainedLineBytes = 64 * 1024;

}  // namespace

std::string WriteError::description() const {
  return "write failed: " + std::generic_category().message(errnum);
}

OutputWriter::OutputWriter(int fd) : fd_(fd) {}

Result<void, WriteError> OutputWriter::emitMessage(const HelperMessage& message) {
  return emitMessage(HelperMessageView::of(message));
}

Result<void, WriteError> OutputWriter::emitMessage(const HelperMessageView& message) {
  const std::lock_guard lock(mutex_);
  if (closed_) return fail(WriteError{EPIPE});
  line_.clear();
  appendHelperMessageJSON(line_, message);
  line_ += '\n';
  const int errnum = writeAll(fd_, line_);
  // One rare long line must not keep its buffer for the rest of the run.
  if (line_.capacity() > retainedLineBytes) std::string().swap(line_);
  if (errnum != 0) return fail(WriteError{errnum});
  return {};
}

void OutputWriter::close() {
  const std::lock_guard lock(mutex_);
  closed_ = true;
}

Result<void, WriteError> OutputWriter::emitEvent(std::string_view event,
                                                 std::optional<std::string_view> detail) {
  return emitMessage(HelperMessageView{.kind = "event", .event = event, .detail = detail});
}

Result<void, WriteError> OutputWriter::emitError(std::string_view message) {
  return emitMessage(HelperMessageView{.kind = "error", .detail = message});
}

}  // namespace harlo
