#include "protocol/helper_message.h"

#include <utility>

namespace harlo {

HelperMessage HelperMessage::makeEvent(std::string event, std::optional<std::string> detail) {
  HelperMessage message;
  message.kind = "event";
  message.event = std::move(event);
  message.detail = std::move(detail);
  return message;
}

HelperMessage HelperMessage::makeError(std::string message) {
  HelperMessage error;
  error.kind = "error";
  error.detail = std::move(message);
  return error;
}

HelperMessage HelperMessage::makeProtocol(std::string payload) {
  HelperMessage message;
  message.kind = "protocol";
  message.payload = std::move(payload);
  return message;
}

}  // namespace harlo
