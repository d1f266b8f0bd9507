// RFCOMMBridge: writing to the client channel.
#include <array>
#include <charconv>
#include <string>
#include <string_view>

#include "rfcomm/rfcomm_bridge.h"

namespace harlo {
namespace {

// "wrote N bytes to RFCOMM channel C", put together without an allocation:
// it is written once per message the parent sends.
class WriteReport {
 public:
  WriteReport(std::size_t bytes, std::uint8_t channelID) {
    append("wrote ");
    appendNumber(bytes);
    append(" bytes to RFCOMM channel ");
    appendNumber(channelID);
  }

  std::string_view text() const { return std::string_view(buffer_.data(), length_); }

 private:
  void append(std::string_view text) {
    text.copy(buffer_.data() + length_, text.size());
    length_ += text.size();
  }

  void appendNumber(std::size_t number) {
    const auto written =
        std::to_chars(buffer_.data() + length_, buffer_.data() + buffer_.size(), number);
    length_ = static_cast<std::size_t>(written.ptr - buffer_.data());
  }

  // The texts (30 bytes) and two numbers of at most 20 digits each.
  std::array<char, 80> buffer_{};
  std::size_t length_ = 0;
};

}  // namespace

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
  if (status != platform::statusOK) {
    emitError_("failed to write to RFCOMM channel " + std::to_string(unsigned{channelID}) +
               ": status=" + std::to_string(status));
    return;
  }
  emitEvent_("rfcomm-write", WriteReport(data.size(), channelID).text());
}

}  // namespace harlo
