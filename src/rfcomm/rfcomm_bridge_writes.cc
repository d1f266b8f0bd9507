// RFCOMMBridge: writes to the client channel, and their reports.
#include <array>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "rfcomm/rfcomm_bridge.h"

namespace harlo {
namespace {

// "wrote N bytes to <channel>", put together without an allocation: it is
// written once per message the parent sends.
class WriteReport {
 public:
  WriteReport(std::size_t bytes, std::string_view channel) {
    append("wrote ");
    appendNumber(bytes);
    append(" bytes to ");
    append(channel.substr(0, buffer_.size() - length_));
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

  // The texts (16 bytes), a number of at most 20 digits and the channel's
  // name, far shorter than the rest.
  std::array<char, 128> buffer_{};
  std::size_t length_ = 0;
};

// The outcome of a write that finishes later, waited for by the writer.
class WriteOutcome final {
 public:
  void set(platform::Status status) {
    std::lock_guard lock(mutex_);
    status_ = status;
    changed_.notify_one();
  }

  platform::Status wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return status_.has_value(); });
    return *status_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<platform::Status> status_;  // guarded by mutex_
};

}  // namespace

void RFCOMMBridge::writeToChannel(std::span<const std::uint8_t> data,
                                  const WriteReporter* reporter) {
  const std::shared_ptr<platform::Channel> channel = activeChannel();
  if (!channel) {
    (reporter != nullptr ? reporter->emitError : emitError_)(noClientMessage);
    return;
  }
  // The reference taken above keeps the channel alive for the whole write,
  // even if the loop replaces or drops the active channel meanwhile. A write
  // the channel cannot finish at once ends on the loop, or when the channel
  // closes (a stop closes it), so the wait below always ends.
  WriteOutcome later;
  std::optional<platform::Status> status =
      channel->write(data, [&later](platform::Status outcome) { later.set(outcome); });
  if (!status) status = later.wait();
  reportWrite(*status, data.size(), *channel, reporter);
}

void RFCOMMBridge::reportWrite(platform::Status status, std::size_t bytes,
                               const platform::Channel& channel, const WriteReporter* reporter) {
  if (status != platform::statusOK) {
    (reporter != nullptr ? reporter->emitError : emitError_)(
        "failed to write to " + channel.names().writes + ": status=" + std::to_string(status));
    return;
  }
  (reporter != nullptr ? reporter->emitEvent : emitEvent_)(
      "rfcomm-write", WriteReport(bytes, channel.names().writes).text());
}

}  // namespace harlo
