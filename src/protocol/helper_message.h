// HelperMessage: the record of every line exchanged with the parent in
// bridge mode. The parent sends "command" and "protocol" messages; the helper
// sends "event", "error" and "protocol" messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "protocol/protocol_version.h"

namespace harlo {

// The id a parent may give a "command" or "protocol" message, so that it can
// match the reports that answer that message: a JSON integer (in the signed
// 64-bit range) or a JSON string, echoed as the same JSON value.
using RequestId = std::variant<std::int64_t, std::string>;

struct HelperMessage {
  std::string kind;
  // An absent field is distinct from an empty text: it is left out of the
  // JSON object, while an empty text travels as "".
  std::optional<std::string> event{};
  std::optional<std::string> detail{};
  std::optional<std::string> payload{};
  std::optional<std::string> command{};
  // The id of the request a report answers, or the request's own; absent
  // on everything else.
  std::optional<RequestId> id{};
  std::int64_t version = helperProtocolVersion;

  bool operator==(const HelperMessage&) const = default;

  // The three shapes the helper writes; each carries helperProtocolVersion.
  static HelperMessage makeEvent(std::string event, std::optional<std::string> detail);
  static HelperMessage makeError(std::string message);
  static HelperMessage makeProtocol(std::string payload);
};

}  // namespace harlo
