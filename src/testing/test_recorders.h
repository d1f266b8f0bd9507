// Recording receivers of the platform's callbacks, for tests: they keep what
// they are handed, and any thread may wait (bounded) for it. Used by tests
// only.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bluetooth_platform.h"
#include "testing/test_watchdog.h"

namespace harlo::platform {

// Keeps every channel it is handed, in order.
class RecordingObserver final : public ChannelOpenObserver {
 public:
  void handleChannelOpen(ChannelOpenRegistration&, std::shared_ptr<Channel> channel) override {
    std::lock_guard lock(mutex_);
    channels_.push_back(std::move(channel));
    changed_.notify_all();
  }

  std::shared_ptr<Channel> waitForChannel(std::size_t index) {
    const TestWatchdog watchdog("channel reaches the observer", std::chrono::seconds(5));
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return channels_.size() > index; });
    return channels_[index];
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return channels_.size();
  }
  // Drops the channels (on the loop thread, where their last reference should go).
  void clear() {
    std::lock_guard lock(mutex_);
    channels_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Channel>> channels_;
};

// Keeps the bytes, the largest single delivery and the callback counts.
class RecordingDelegate final : public ChannelDelegate {
 public:
  void rfcommChannelData(Channel&, std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    received_.append(data.begin(), data.end());
    largestChunk_ = std::max(largestChunk_, data.size());
    changed_.notify_all();
  }
  void rfcommChannelOpenComplete(Channel&, Status) override {
    std::lock_guard lock(mutex_);
    ++openCompletions_;
  }
  void rfcommChannelClosed(Channel&) override {
    std::lock_guard lock(mutex_);
    ++closes_;
    changed_.notify_all();
  }

  void waitForBytes(std::size_t count) {
    const TestWatchdog watchdog("channel data arrives", std::chrono::seconds(5));
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return received_.size() >= count; });
  }
  void waitForClose() {
    const TestWatchdog watchdog("close callback arrives", std::chrono::seconds(5));
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closes_ > 0; });
  }

  std::string received() { return locked(received_); }
  std::size_t largestChunk() { return locked(largestChunk_); }
  int closes() { return locked(closes_); }
  int openCompletions() { return locked(openCompletions_); }

 private:
  template <typename T>
  T locked(const T& field) {
    std::lock_guard lock(mutex_);
    return field;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  std::size_t largestChunk_ = 0;
  int closes_ = 0;
  int openCompletions_ = 0;
};

}  // namespace harlo::platform
