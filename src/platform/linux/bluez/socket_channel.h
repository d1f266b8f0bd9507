// SocketChannel: a Channel over a connected socket, as BlueZ hands over each
// RFCOMM client, and as this program makes for each client over Bluetooth
// Low Energy (a packet socket for the notifications, another for the
// client's writes).
//
// - Input: once a delegate is set, the socket is watched on the main run loop;
//   each readiness reads up to 64 KiB (one packet of a packet socket) and
//   hands the bytes to the delegate (unless input is paused, which leaves the
//   bytes with the peer). A second socket may bring input too
//   (takeInputFrom), and bytes may be handed in directly (deliverInput); both
//   count as the channel's input and pause with it.
// - Output: a write that finds nothing queued is sent from the calling thread
//   with non-blocking sends (of at most `maxPacket` bytes each, for a packet
//   socket whose peer takes one packet per message); only what the socket
//   does not take at once is
//   queued, and the loop sends it as the peer takes it, waking when the
//   socket is writable and at least every `retry` (a Unix socket reports
//   writability only once its queue has drained to a quarter). A write fails
//   with -110 (ETIMEDOUT) when the peer has taken nothing for `stall`, or when
//   it has not finished by the later of `total` and its size at `minRate`
//   after it began; the channel is then shut down, as part of the line may be
//   out already and the stream cannot be brought back in step.
// - Close: end of file, hang-up or a read or send error, close(), or a write
//   that times out all shut the socket down (shutdown(SHUT_RDWR): bluetoothd
//   keeps its own copy of the fd, so closing ours alone would leave the link
//   up) and end every queued write at once with the channel's error (-110
//   after a time-out, the send's error after one, -32 otherwise). Whichever
//   comes first, the delegate's close callback is then delivered exactly
//   once, posted to the loop, never from inside the call that closed.
// - Its end is logged as one line: the device, why it closed (the client hung
//   up, a read or send failed, a write stalled or took too long, or the
//   helper's own reason) and the bytes each way.
// - The fd itself is closed when the last reference goes. That may happen on
//   any thread (a writer holds a reference across its write): the watch and
//   the timer belong to the loop, so a destructor off the loop thread hands
//   them, and the fd they watch, to the loop to be released there.
//
// Threads: setDelegate(), setInputPaused(), takeInputFrom() and
// deliverInput() on the loop thread; channelID(), write(), close() and
// destruction on any thread. The run loop must outlive the channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/log.h"
#include "platform/bluetooth_platform.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

// How long a write may wait (see above).
struct WriteLimits {
  std::chrono::milliseconds stall{10'000};  // the peer takes nothing
  std::chrono::milliseconds total{30'000};  // since the write began, at least
  std::size_t minRate = 16 * 1024;          // bytes per second a large write is granted
  std::chrono::milliseconds retry{1'000};   // try again at least this often

  // How long a write of `bytes` may take in all.
  std::chrono::milliseconds totalFor(std::size_t bytes) const;
};

class SocketChannel final : public Channel, public std::enable_shared_from_this<SocketChannel> {
 public:
  // Takes ownership of `fd`, a connected stream socket (sends never block,
  // whatever its flags). `publishedChannel` is its channel number unless the
  // socket itself is an RFCOMM socket, whose own channel number is reported
  // instead. `device` names the client in the line logged to `log` when the
  // channel ends; `log` must outlive the channel.
  static std::shared_ptr<SocketChannel> create(RunLoop& loop, int fd, std::uint8_t publishedChannel,
                                               Log& log, std::string device,
                                               WriteLimits limits = {});

  // A channel of another transport over `fd`, named `names`, sending at
  // most `maxPacket` bytes at a time (0: as much as the socket takes). Its
  // channelID() is 0.
  static std::shared_ptr<SocketChannel> createNamed(RunLoop& loop, int fd, ChannelNames names,
                                                    std::size_t maxPacket, Log& log,
                                                    std::string device, WriteLimits limits = {});

  ~SocketChannel() override;
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // Starts watching the socket (the first time) and makes `delegate` the
  // receiver of its callbacks. Fails with the loop's negative errno.
  Status setDelegate(ChannelDelegate* delegate) override;

  const ChannelNames& names() const override { return names_; }
  // The RFCOMM channel it came through (see create()).
  std::uint8_t channelID() const { return channelID_; }

  std::optional<Status> write(std::span<const std::uint8_t> data, WriteDone done) override;
  void setInputPaused(bool paused) override;
  void close(CloseReason reason) override;

  // Closes the channel for a reason of the platform's own, logged as `cause`
  // ("bluetoothd asked to disconnect the device"). Any thread.
  void closeBecause(std::string cause);

  // Whether the channel has begun to close. Any thread.
  bool closing() const { return closing_; }

  // Makes the socket `fd` (the channel's from now on) another source of its
  // input, read as its own socket is, in place of the one before. Its end
  // (end of file, hang-up, an error) ends only that source.
  void takeInputFrom(int fd);

  // Hands in `data`, input that came by another way than a socket: delivered
  // as read input is, or kept while input is paused and delivered once it
  // resumes. False, and nothing taken, when the channel is closing or more
  // than 64 KiB would be kept.
  bool deliverInput(std::span<const std::uint8_t> data);

  // Called once the channel has ended, whatever ended it, on the loop thread
  // after the delegate was told: with the reason of the helper's close() when
  // that ended it, nothing when the link or the platform did. For a platform
  // that does more when a client goes. Set before the channel is handed over.
  void onEnded(std::function<void(std::optional<CloseReason> helperReason)> ended) {
    endHook_ = std::move(ended);
  }

 private:
  using Clock = std::chrono::steady_clock;

  struct QueuedWrite {
    std::vector<std::uint8_t> bytes;  // what the socket has not taken yet, from `sent` on
    std::size_t sent = 0;
    Clock::time_point deadline;  // when the write began, plus its total limit
    std::chrono::milliseconds limit;
    WriteDone done;
  };

  SocketChannel(RunLoop& loop, int fd, std::uint8_t channelID, ChannelNames names,
                std::size_t maxPacket, Log& log, std::string device, WriteLimits limits);
  void onReady(std::uint32_t revents);
  void readInput();
  // Reads the second source of input (takeInputFrom); its end drops it.
  void readOtherInput(std::uint32_t revents);
  void dropOtherInput();
  void deliverHeldInput();
  // The bytes of `data` one send may take.
  std::span<const std::uint8_t> nextSend(std::span<const std::uint8_t> data) const;
  void sendQueued();
  // Makes the loop send what was just queued, in a task of its own, so that
  // nothing write() started can end the write inside write().
  void driveSoon();
  // Creates the watch and the timer if needed, then sets what the watch waits
  // for and when the timer fires from the current state. Loop thread.
  Status updateWatch();
  // updateWatch(), shutting the channel down if it fails.
  void keepWatching();
  // Shuts the socket down, ends every queued write with `queuedStatus`,
  // keeps `cause` for the log, and posts the close callback; later calls do
  // nothing.
  void shutDown(Status queuedStatus, std::string cause,
                std::optional<CloseReason> helperReason = std::nullopt);
  void finishClose();

  RunLoop& loop_;
  const int fd_;
  const std::uint8_t channelID_;
  const ChannelNames names_;
  const std::size_t maxPacket_;
  Log& log_;
  const std::string device_;
  const WriteLimits limits_;
  std::atomic<bool> closing_{false};  // set once, by whichever close comes first
  std::function<void(std::optional<CloseReason>)> endHook_;  // set before the channel is shared

  std::mutex outMutex_;            // held only for non-blocking work, never around a callback
  std::deque<QueuedWrite> queue_;  // guarded by outMutex_
  std::optional<CloseReason> helperReason_;  // guarded by outMutex_; set with closing_
  Clock::time_point lastProgress_{};  // guarded by outMutex_; bytes last taken, or the wait began
  std::uint64_t bytesOut_ = 0;        // guarded by outMutex_
  std::string closeCause_;            // guarded by outMutex_; set by the first close

  // Loop thread only.
  ChannelDelegate* delegate_ = nullptr;
  bool inputPaused_ = false;
  std::unique_ptr<RunLoop::FdWatch> watch_;  // null until first needed, and after the close
  std::unique_ptr<RunLoop::Timer> timer_;    // likewise
  int otherInputFd_ = -1;                    // takeInputFrom's socket, -1 without one
  std::unique_ptr<RunLoop::FdWatch> otherInputWatch_;
  std::vector<std::uint8_t> heldInput_;  // deliverInput's bytes while input is paused
  std::vector<std::uint8_t> readBuffer_;
  std::uint64_t bytesIn_ = 0;
};

}  // namespace harlo::platform
