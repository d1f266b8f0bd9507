#include "stdio/command_dispatch.h"

#include "base/result.h"
#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

DispatchAction dispatchCommand(const std::optional<std::string>& command,
                               const std::optional<std::string>& detail) {
  if (!command) return ReportError{"unsupported helper command: <missing>"};
  if (*command == "ping") return ReportEvent{"pong", detail.value_or("ping")};
  if (*command == "shutdown") return StopBridge{};
  return ReportError{"unsupported helper command: " + *command};
}

}  // namespace

DispatchAction dispatchHelperMessage(HelperMessage message) {
  if (message.kind == "command") return dispatchCommand(message.command, message.detail);
  if (message.kind == "protocol") {
    if (!message.payload) return ReportError{"protocol helper message missing payload"};
    std::string bytes = std::move(*message.payload);
    bytes += '\n';
    return SendToClient{std::move(bytes)};
  }
  return ReportError{"unsupported helper message kind: " + message.kind};
}

DispatchAction dispatchLine(std::string_view line) {
  if (line.empty()) return NoAction{};
  Result<HelperMessage, DecodeError> decoded = decodeHelperMessage(line);
  if (!decoded) {
    return ReportError{"failed to decode helper command: " + decoded.error().description()};
  }
  return dispatchHelperMessage(std::move(decoded.value()));
}

}  // namespace harlo
