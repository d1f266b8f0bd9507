// Command dispatch: what the stdin reader does with one line from the parent.
//
// Dispatch is a plain function of the line: it decodes the line, looks at
// `kind` and `command`, and returns the one action to take. It writes nothing
// and knows nothing of file descriptors, threads or the bridge; the reader
// carries the action out. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/helper_message.h"

namespace harlo {

// An empty line: nothing to do, nothing to report.
struct NoAction {
  bool operator==(const NoAction&) const = default;
};

// Each action carries the id of the message it answers, if the message had
// one, for every report that answers it.

// Write an event message to the parent.
struct ReportEvent {
  std::string event;
  std::optional<std::string> detail;
  std::optional<RequestId> id{};
  bool operator==(const ReportEvent&) const = default;
};

// Write an error message to the parent.
struct ReportError {
  std::string message;
  std::optional<RequestId> id{};
  bool operator==(const ReportError&) const = default;
};

// Send these bytes to the Bluetooth client; the bridge reports the outcome.
struct SendToClient {
  std::string bytes;
  std::optional<RequestId> id{};
  bool operator==(const SendToClient&) const = default;
};

// The parent asked for shutdown: stop the bridge and end the reader.
struct StopBridge {
  std::optional<RequestId> id{};
  bool operator==(const StopBridge&) const = default;
};

using DispatchAction = std::variant<NoAction, ReportEvent, ReportError, SendToClient, StopBridge>;

// Acts on a decoded message by its `kind`, then its `command`, both compared
// exactly: "ping" is answered with "pong" (the request's detail, or "ping"
// when it has none), "shutdown" stops the bridge, a "protocol" payload goes to
// the client with one line feed appended (unchanged otherwise, line feeds
// inside it included); anything else is an error report. `version` and the
// fields a kind does not use are not looked at.
DispatchAction dispatchHelperMessage(HelperMessage message);

// Decodes one line (valid UTF-8, without its line feed) and dispatches it. An
// empty line gives NoAction; a line that does not decode gives an error
// report naming the decoder's reason (with the line's id, if it could be
// read).
DispatchAction dispatchLine(std::string_view line);

}  // namespace harlo
