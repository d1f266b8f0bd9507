// BridgeError: why the RFCOMM bridge could not start.
#pragma once

#include <string>

namespace harlo {

struct BridgeError {
  // The one case: start-up failed, with a message such as "failed to publish
  // local SDP service record".
  std::string message;

  // What went wrong, for a reader: the message itself, unchanged.
  const std::string& description() const { return message; }

  // The error value written out whole, as the failure line on standard error
  // shows it: `startup("<message>")`, with a backslash before any double
  // quote or backslash inside the message.
  std::string printedForm() const;

  bool operator==(const BridgeError&) const = default;
};

}  // namespace harlo
