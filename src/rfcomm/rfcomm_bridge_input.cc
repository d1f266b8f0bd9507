// RFCOMMBridge: inbound channel data, framed into lines, and the hello reply.
#include <string>

#include "base/constants.h"
#include "rfcomm/hello_check.h"
#include "rfcomm/rfcomm_bridge.h"
#include "text/utf8.h"

namespace harlo {

void RFCOMMBridge::rfcommChannelData(platform::Channel&, std::span<const std::uint8_t> data) {
  // Bytes from any channel the bridge is the delegate of join the one buffer.
  handleIncomingData(data);
}

void RFCOMMBridge::handleIncomingData(std::span<const std::uint8_t> data) {
  pendingInput_.append(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  // Each line leaves the buffer before it is acted on, so the callbacks see
  // the buffer without it. The line is viewed in the buffer: nothing that
  // handling it does on this thread appends to or clears pendingInput_.
  while (const std::optional<LineFramer::Line> line = pendingInput_.next()) {
    if (line->oversized) {
      emitError_("RFCOMM client line exceeds " + std::to_string(maxLineBytes) + " bytes");
      continue;
    }
    handleLine(line->bytes);
  }
}

void RFCOMMBridge::handleLine(std::string_view line) {
  if (line.empty()) return;
  // Nearly every line is valid already; only the others are copied to be
  // repaired.
  std::string repaired;
  if (!isValidUTF8(line)) repaired = repairUTF8(line);
  const std::string_view text = repaired.empty() ? line : repaired;

  if (isHelloLine(text)) {
    emitEvent_("handshake", "Received hello, responding with hello_ack directly");
    writeToChannel(std::span(reinterpret_cast<const std::uint8_t*>(helloAckPayload.data()),
                             helloAckPayload.size()));
  }
  emitProtocol_(text);
}

}  // namespace harlo
