// FakeChannel: a client channel of FakePlatform (fake_platform.h), for tests.
// It records its calls in the platform's log, holds writes and input on
// demand, and delivers its callbacks through the platform.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/bluetooth_platform.h"

namespace harlo::platform {

class FakePlatform;

// Channels are made by FakePlatform::makeChannel().
class FakeChannel final : public Channel, public std::enable_shared_from_this<FakeChannel> {
 public:
  // Channel `id` of the service on `serviceChannel`.
  FakeChannel(FakePlatform& platform, std::uint8_t id, std::uint8_t serviceChannel);

  Status setDelegate(ChannelDelegate* delegate) override;
  // An RFCOMM channel's names, with its number and its service's.
  const ChannelNames& names() const override { return names_; }
  std::uint8_t channelID() const { return id_; }
  // Finishes at once (with the platform's failWrites() status, or -32 once
  // closed) unless writes are held: the write then waits, behind any held
  // before it, until completeHeldWrites() or the close.
  std::optional<Status> write(std::span<const std::uint8_t> data, WriteDone done) override;
  // While paused, data fired at the channel waits; resuming delivers it, in
  // order, in a posted callback.
  void setInputPaused(bool paused) override;
  // Ends held writes with -32, as a shut-down socket does. The reason is not
  // kept: the call log reads "close <id>" whatever it is.
  void close(CloseReason reason) override;

  // The bytes of every successful write, in order. A write after the channel
  // closed fails with -32 (broken pipe), as on a shut-down socket.
  std::string written() const;
  // The byte count of each write call, failed ones included.
  std::vector<std::size_t> writeSizes() const;
  // True once close() was called or the peer's close reached the loop.
  bool closed() const;

  // Makes later writes wait (true), as on a client that does not read.
  void holdWrites(bool hold);
  // Ends the held writes, in order, with `status` (0: sent), calling their
  // callbacks on this thread. Returns how many there were.
  std::size_t completeHeldWrites(Status status = statusOK);
  bool inputPaused() const;

 private:
  friend class FakePlatform;
  // Marks the channel closed; true for the first close only.
  bool markClosed();
  // The accepted delegate, or nullptr once the close was delivered.
  ChannelDelegate* deliverableDelegate() const;
  void markCloseDelivered();
  // Delivers `bytes` now, or keeps them while input is paused. Loop thread.
  void receive(std::string bytes);

  struct HeldWrite {
    std::string bytes;
    WriteDone done;
  };

  FakePlatform& platform_;
  const std::uint8_t id_;
  const ChannelNames names_;
  mutable std::mutex mutex_;             // serialises writes and guards the fields below
  ChannelDelegate* delegate_ = nullptr;  // guarded by mutex_
  std::string written_;                  // guarded by mutex_
  std::vector<std::size_t> writeSizes_;  // guarded by mutex_
  bool holdWrites_ = false;              // guarded by mutex_
  std::deque<HeldWrite> heldWrites_;     // guarded by mutex_
  bool inputPaused_ = false;             // guarded by mutex_
  std::deque<std::string> heldInput_;    // guarded by mutex_
  bool closed_ = false;                  // guarded by mutex_
  bool closeDelivered_ = false;          // guarded by mutex_
};

}  // namespace harlo::platform
