#include "stdio/command_dispatch.h"

#include "base/result.h"
#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

DispatchAction dispatchCommand(HelperMessage& message) {
  const std::optional<std::string>& command = message.command;
  if (!command) return ReportError{"unsupported helper command: <missing>", std::move(message.id)};
  if (*command == "ping") {
    return ReportEvent{"pong", message.detail.value_or("ping"), std::move(message.id)};
  }
  if (*command == "shutdown") return StopBridge{std::move(message.id)};
  return ReportError{"unsupported helper command: " + *command, std::move(message.id)};
}

}  // namespace

DispatchAction dispatchHelperMessage(HelperMessage message) {
  if (message.kind == "command") return dispatchCommand(message);
  if (message.kind == "protocol") {
    if (!message.payload) {
      return ReportError{"protocol helper message missing payload", std::move(message.id)};
    }
    std::string bytes = std::move(*message.payload);
    bytes += '\n';
    return SendToClient{std::move(bytes), std::move(message.id)};
  }
  return ReportError{"unsupported helper message kind: " + message.kind, std::move(message.id)};
}

DispatchAction dispatchLine(std::string_view line) {
  if (line.empty()) return NoAction{};
  Result<HelperMessage, DecodeError> decoded = decodeHelperMessage(line);
  if (!decoded) {
    return ReportError{"failed to decode helper command: " + decoded.error().description(),
                       std::move(decoded.error().id)};
  }
  return dispatchHelperMessage(std::move(decoded.value()));
}

}  // namespace harlo
