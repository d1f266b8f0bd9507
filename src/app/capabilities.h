// The capabilities report ("--capabilities"): one fixed JSON line telling the
// parent what this helper offers. Nothing is probed at run time.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/protocol_version.h"

namespace harlo {

struct Capabilities {
  std::string platform = "Darwin";
  bool rfcomm_server = true;
  bool stdio_bridge = true;
  std::int64_t ipc_protocol = helperProtocolVersion;
  std::string detail =
      "Swift helper includes an RFCOMM service skeleton and structured stdio bridge";
};

// The compact JSON object of `capabilities` with its keys in ascending byte
// order ("detail", "ipc_protocol", "platform", "rfcomm_server",
// "stdio_bridge"), without a line feed. Encoding cannot fail.
std::string encodeCapabilities(const Capabilities& capabilities);

// Writes the report line (the JSON and one line feed, in one write) to `fd`.
// Returns the exit status: 0, or 1 when the line could not be written.
int emitCapabilities(int fd);

}  // namespace harlo
