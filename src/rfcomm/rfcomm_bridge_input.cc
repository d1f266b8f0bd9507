// RFCOMMBridge: inbound channel data, framed into lines, and the hello reply.
#include <string>

#include "base/constants.h"
#include "text/utf8.h"
#include "rfcomm/hello_check.h"
#include "rfcomm/rfcomm_bridge.h"

namespace harlo {

void RFCOMMBridge::rfcommChannelData(platform::Channel&, std::span<const std::uint8_t> data) {
  // Bytes from any channel the bridge is the delegate of join the one buffer.
  handleIncomingData(data);
}

void RFCOMMBridge::handleIncomingData(std::span<const std::uint8_t> data) {
  if (data.empty()) return;
  {
    std::lock_guard lock(mutex_);
    pendingInput_.append(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  }
  for (;;) {
    // Each line leaves the buffer before it is acted on, so the callbacks see
    // the buffer without it and a stop() in between empties what is left.
    // The line is copied out: a stop() on the reader thread may clear the
    // buffer it is viewed in as soon as the lock is released.
    std::string line;
    bool oversized = false;
    {
      std::lock_guard lock(mutex_);
      const std::optional<LineFramer::Line> next = pendingInput_.next();
      if (!next) return;
      oversized = next->oversized;
      line.assign(next->bytes);
    }
    if (oversized) {
      emitError_("RFCOMM client line exceeds " + std::to_string(maxLineBytes) + " bytes");
      continue;
    }
    handleLine(line);
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
