// SocketChannel: a Channel over a connected stream socket, as BlueZ hands
// over each RFCOMM client.
//
// - Input: once a delegate is set, the socket is watched on the main run loop;
//   each readiness reads up to 64 KiB and hands the bytes to the delegate.
// - Close: end of file, hang-up or a read error, close(), or a write that
//   makes no progress for the stall limit all shut the socket down
//   (shutdown(SHUT_RDWR): bluetoothd keeps its own copy of the fd, so closing
//   ours alone would leave the link up). Whichever comes first, the delegate's
//   close callback is then delivered exactly once, posted to the loop, never
//   from inside the call that closed.
// - The fd itself is closed when the last reference goes. That may happen on
//   any thread (a writer holds a reference across its write): the fd watch
//   belongs to the loop, so a destructor off the loop thread hands the watch,
//   and the fd it watches, to the loop to be released there.
//
// Threads: setDelegate() on the loop thread; channelID(), writeSync(), close()
// and destruction on any thread. The run loop must outlive the channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/bluetooth_platform.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

class SocketChannel final : public Channel, public std::enable_shared_from_this<SocketChannel> {
 public:
  // How long a write may wait for the peer to take bytes before it fails.
  static constexpr std::chrono::milliseconds defaultWriteStallLimit{10'000};

  // Takes ownership of `fd`, a connected non-blocking stream socket.
  // `publishedChannel` is its channel number unless the socket itself is an
  // RFCOMM socket, whose own channel number is reported instead.
  // `writeStallLimit` is the time a write may go without progress.
  static std::shared_ptr<SocketChannel> create(
      RunLoop& loop, int fd, std::uint8_t publishedChannel,
      std::chrono::milliseconds writeStallLimit = defaultWriteStallLimit);

  ~SocketChannel() override;
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // Starts watching the socket (the first time) and makes `delegate` the
  // receiver of its callbacks. Fails with the loop's negative errno.
  Status setDelegate(ChannelDelegate* delegate) override;

  std::uint8_t channelID() const override { return channelID_; }

  // Sends every byte, waiting for the socket to take more while it is full.
  // When no byte goes out for the stall limit the channel is shut down and
  // -ETIMEDOUT (-110) returned; other failures are -errno (a closed channel
  // gives -EPIPE). Writers are served one at a time.
  Status writeSync(std::span<const std::uint8_t> data) override;

  void close() override;

 private:
  SocketChannel(RunLoop& loop, int fd, std::uint8_t channelID,
                std::chrono::milliseconds writeStallLimit);
  void onReady(std::uint32_t revents);
  void shutDown();
  void finishClose();

  RunLoop& loop_;
  const int fd_;
  const std::uint8_t channelID_;
  const std::chrono::milliseconds writeStallLimit_;
  std::atomic<bool> closing_{false};  // set once, by whichever close comes first
  std::mutex writeMutex_;             // held for the whole of one writeSync()

  // Loop thread only.
  ChannelDelegate* delegate_ = nullptr;
  std::unique_ptr<RunLoop::FdWatch> watch_;  // null until a delegate is set, and after the close
  std::vector<std::uint8_t> readBuffer_;
};

}  // namespace harlo::platform
