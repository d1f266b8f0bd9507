// RFCOMMBridge: writing to the client channel.
#include <string>

#include "rfcomm/rfcomm_bridge.h"

namespace harlo {

void RFCOMMBridge::writeToChannel(std::span<const std::uint8_t> data) {
  std::shared_ptr<platform::Channel> channel;
  std::uint8_t channelID;
  {
    std::lock_guard lock(mutex_);
    channel = activeChannel_;
    channelID = activeChannelID_;
  }
  if (!channel) {
    emitError_("no active RFCOMM client channel is connected");
    return;
  }
  // The reference taken above keeps the channel alive for the whole write,
  // even if the run loop replaces or drops the active channel meanwhile. The
  // buffer goes out whole, in one call, whatever its length.
  const platform::Status status = channel->writeSync(data);
  const std::string id = std::to_string(unsigned{channelID});
  if (status != platform::statusOK) {
    emitError_("failed to write to RFCOMM channel " + id + ": status=" + std::to_string(status));
    return;
  }
  emitEvent_("rfcomm-write",
             "wrote " + std::to_string(data.size()) + " bytes to RFCOMM channel " + id);
}

}  // namespace harlo
