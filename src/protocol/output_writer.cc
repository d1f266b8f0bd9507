#include "protocol/output_writer.h"

#include <system_error>

#include "app/fd_io.h"
#include "protocol/helper_message_json.h"

namespace harlo {

std::string WriteError::description() const {
  return "write failed: " + std::generic_category().message(errnum);
}

OutputWriter::OutputWriter(int fd) : fd_(fd) {}

Result<void, WriteError> OutputWriter::emitMessage(const HelperMessage& message) {
  std::string line;
  appendHelperMessageJSON(line, message);
  line += '\n';
  const std::lock_guard lock(mutex_);
  if (const int errnum = writeAll(fd_, line); errnum != 0) return fail(WriteError{errnum});
  return {};
}

Result<void, WriteError> OutputWriter::emitEvent(std::string_view event,
                                                 std::optional<std::string_view> detail) {
  std::optional<std::string> detailText;
  if (detail) detailText.emplace(*detail);
  return emitMessage(HelperMessage::makeEvent(std::string(event), std::move(detailText)));
}

Result<void, WriteError> OutputWriter::emitError(std::string_view message) {
  return emitMessage(HelperMessage::makeError(std::string(message)));
}

}  // namespace harlo
