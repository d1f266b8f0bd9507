#include "platform/linux/bluez/socket_channel.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/linux/bluez/rfcomm_socket_address.h"
#include "platform/linux/errno_status.h"

namespace harlo::platform {
namespace {

constexpr std::size_t maxReadBytes = 64 * 1024;
// What deliverInput() keeps while input is paused, at most.
constexpr std::size_t maxHeldInput = 64 * 1024;
// The packets readOtherInput() takes at one wake-up, at most, so that other
// work on the loop is not held up behind a fast sender.
constexpr int maxPacketsPerWakeUp = 256;

std::uint8_t socketChannel(int fd, std::uint8_t publishedChannel) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) return publishedChannel;
  if (address.ss_family != AF_BLUETOOTH || length < sizeof(RfcommSocketAddress)) {
    return publishedChannel;
  }
  RfcommSocketAddress rfcomm;
  std::memcpy(&rfcomm, &address, sizeof rfcomm);
  return rfcomm.channel;
}

// One non-blocking send: the bytes taken (0 when the socket is full), or the
// status of the failure.
Result<std::size_t, Status> sendSome(int fd, std::span<const std::uint8_t> bytes) {
  for (;;) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::size_t{0};
    return fail(statusFromErrno(errno));
  }
}

std::string describe(CloseReason reason) {
  switch (reason) {
    case CloseReason::replaced:
      return "replaced by a newer client";
    case CloseReason::serviceLost:
      return "the Bluetooth service was lost";
    case CloseReason::stopped:
      return "the helper is stopping";
  }
  return "closed by the helper";
}

std::string errnoText(Status status) { return std::strerror(-status); }

// Why a link that hung up or failed ended, for the log. A client that
// closes its side of an RFCOMM link resets it, which is its way of hanging
// up; any other error is the link failing (out of range, powered off).
std::string endOfLink(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error == 0 ||
      error == ECONNRESET) {
    return "the client hung up";
  }
  return std::string("the link failed: ") + std::strerror(error);
}

// "10 s", or "1500 ms" where seconds would not be whole.
std::string durationText(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

std::chrono::milliseconds WriteLimits::totalFor(std::size_t bytes) const {
  const auto atRate = std::chrono::ceil<std::chrono::seconds>(
      std::chrono::milliseconds(bytes * 1000 / std::max<std::size_t>(minRate, 1)));
  return std::max(total, std::chrono::milliseconds(atRate));
}

std::shared_ptr<SocketChannel> SocketChannel::create(RunLoop& loop, int fd,
                                                     std::uint8_t publishedChannel, Log& log,
                                                     std::string device, WriteLimits limits) {
  const std::uint8_t channel = socketChannel(fd, publishedChannel);
  return std::shared_ptr<SocketChannel>(
      new SocketChannel(loop, fd, channel, rfcommChannelNames(channel, publishedChannel), 0, log,
                        std::move(device), limits));
}

std::shared_ptr<SocketChannel> SocketChannel::createNamed(RunLoop& loop, int fd, ChannelNames names,
                                                          std::size_t maxPacket, Log& log,
                                                          std::string device, WriteLimits limits) {
  return std::shared_ptr<SocketChannel>(
      new SocketChannel(loop, fd, 0, std::move(names), maxPacket, log, std::move(device), limits));
}

SocketChannel::SocketChannel(RunLoop& loop, int fd, std::uint8_t channelID, ChannelNames names,
                             std::size_t maxPacket, Log& log, std::string device,
                             WriteLimits limits)
    : loop_(loop),
      fd_(fd),
      channelID_(channelID),
      names_(std::move(names)),
      maxPacket_(maxPacket),
      log_(log),
      device_(std::move(device)),
      limits_(limits) {}

SocketChannel::~SocketChannel() {
  // Writes still queued belong to no one who can wait for them any more; each
  // is told, as promised, exactly once.
  for (QueuedWrite& write : queue_) write.done(statusFromErrno(EPIPE));
  if ((!watch_ && !timer_ && !otherInputWatch_) || loop_.isLoopThread()) {
    watch_.reset();
    timer_.reset();
    otherInputWatch_.reset();
    ::close(fd_);
    if (otherInputFd_ >= 0) ::close(otherInputFd_);
    return;
  }
  // The fds stay open until their watches are gone, so that their numbers
  // cannot be reused by another file while the loop still watches them.
  std::shared_ptr<RunLoop::FdWatch> watch(std::move(watch_));
  std::shared_ptr<RunLoop::Timer> timer(std::move(timer_));
  std::shared_ptr<RunLoop::FdWatch> otherWatch(std::move(otherInputWatch_));
  loop_.post([watch, timer, otherWatch, fd = fd_, otherFd = otherInputFd_]() mutable {
    watch.reset();
    timer.reset();
    otherWatch.reset();
    ::close(fd);
    if (otherFd >= 0) ::close(otherFd);
  });
}

Status SocketChannel::setDelegate(ChannelDelegate* delegate) {
  delegate_ = delegate;
  if (closing_) return statusOK;
  readBuffer_.resize(maxReadBytes);
  return updateWatch();
}

void SocketChannel::setInputPaused(bool paused) {
  const bool resumed = inputPaused_ && !paused;
  inputPaused_ = paused;
  if (closing_) return;
  keepWatching();
  // Posted: the caller is in the middle of its own work on the channel.
  if (resumed && !heldInput_.empty()) {
    loop_.post([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->deliverHeldInput();
    });
  }
}

void SocketChannel::takeInputFrom(int fd) {
  dropOtherInput();
  otherInputFd_ = fd;
  if (closing_) {
    dropOtherInput();
    return;
  }
  auto watch = loop_.watchFd(fd, 0, [weak = weak_from_this()](std::uint32_t revents) {
    if (const auto self = weak.lock()) self->readOtherInput(revents);
  });
  if (!watch) {
    dropOtherInput();
    return;
  }
  otherInputWatch_ = std::move(watch).value();
  keepWatching();
}

void SocketChannel::dropOtherInput() {
  otherInputWatch_.reset();
  if (otherInputFd_ < 0) return;
  // Shut as well as closed, so that the peer's copy learns of it too.
  ::shutdown(otherInputFd_, SHUT_RDWR);
  ::close(std::exchange(otherInputFd_, -1));
}

void SocketChannel::readOtherInput(std::uint32_t revents) {
  const bool hungUp = (revents & (EPOLLHUP | EPOLLERR)) != 0;
  // A packet socket gives one packet a read, and its sender (bluetoothd)
  // fails a write that finds it full: take what waits, not one a wake-up,
  // unless the bridge pauses the input meanwhile.
  bool drained = (revents & EPOLLIN) == 0;
  for (int packets = 0; !drained && packets < maxPacketsPerWakeUp; ++packets) {
    if (closing_ || inputPaused_ || otherInputFd_ < 0) return;
    const ssize_t got = ::read(otherInputFd_, readBuffer_.data(), readBuffer_.size());
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    // An empty packet is an empty write; the end comes with a hang-up.
    if (got == 0 && !hungUp) continue;
    drained = got <= 0;
    if (drained) break;
    bytesIn_ += static_cast<std::uint64_t>(got);
    if (delegate_) {
      delegate_->rfcommChannelData(*this,
                                   std::span(readBuffer_.data(), static_cast<std::size_t>(got)));
    }
  }
  // A hang-up is acted on once what the socket held has been taken.
  if (hungUp && drained && !closing_) dropOtherInput();
}

bool SocketChannel::deliverInput(std::span<const std::uint8_t> data) {
  if (closing_ || data.empty()) return !closing_;
  if (delegate_ == nullptr || inputPaused_ || !heldInput_.empty()) {
    if (heldInput_.size() + data.size() > maxHeldInput) return false;
    heldInput_.insert(heldInput_.end(), data.begin(), data.end());
    return true;
  }
  bytesIn_ += data.size();
  delegate_->rfcommChannelData(*this, data);
  return true;
}

void SocketChannel::deliverHeldInput() {
  if (closing_ || delegate_ == nullptr || inputPaused_ || heldInput_.empty()) return;
  const std::vector<std::uint8_t> held = std::exchange(heldInput_, {});
  bytesIn_ += held.size();
  delegate_->rfcommChannelData(*this, held);
}

std::span<const std::uint8_t> SocketChannel::nextSend(std::span<const std::uint8_t> data) const {
  return maxPacket_ == 0 ? data : data.first(std::min(data.size(), maxPacket_));
}

std::optional<Status> SocketChannel::write(std::span<const std::uint8_t> data, WriteDone done) {
  if (data.empty()) return statusOK;
  std::unique_lock lock(outMutex_);
  if (closing_) return statusFromErrno(EPIPE);
  std::size_t sent = 0;
  if (queue_.empty()) {
    while (sent < data.size()) {
      const auto taken = sendSome(fd_, nextSend(data.subspan(sent)));
      if (!taken) {
        bytesOut_ += sent;
        return taken.error();
      }
      if (taken.value() == 0) break;
      sent += taken.value();
    }
    bytesOut_ += sent;
    if (sent == data.size()) return statusOK;
  }
  // The clock is read only now: most writes never wait.
  const Clock::time_point now = Clock::now();
  const bool wasIdle = queue_.empty();
  if (wasIdle) lastProgress_ = now;
  const std::chrono::milliseconds limit = limits_.totalFor(data.size());
  queue_.push_back(QueuedWrite{
      std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(sent), data.end()), 0,
      now + limit, limit, std::move(done)});
  lock.unlock();
  if (wasIdle) driveSoon();
  return std::nullopt;
}

void SocketChannel::driveSoon() {
  loop_.post([weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->sendQueued();
  });
}

void SocketChannel::sendQueued() {
  if (closing_) return;
  std::vector<std::pair<WriteDone, Status>> finished;
  std::optional<Status> broken;
  std::string cause;
  {
    const std::lock_guard lock(outMutex_);
    const Clock::time_point now = Clock::now();
    while (!queue_.empty()) {
      QueuedWrite& head = queue_.front();
      const auto taken = sendSome(fd_, nextSend(std::span(head.bytes).subspan(head.sent)));
      if (!taken) {
        broken = taken.error();
        cause = "a write failed: " + errnoText(*broken);
        break;
      }
      if (taken.value() == 0) break;
      lastProgress_ = now;
      head.sent += taken.value();
      bytesOut_ += taken.value();
      if (head.sent < head.bytes.size()) continue;
      finished.emplace_back(std::move(head.done), statusOK);
      queue_.pop_front();
    }
    if (!broken && !queue_.empty()) {
      if (now - lastProgress_ >= limits_.stall) {
        broken = statusFromErrno(ETIMEDOUT);
        cause = "a write made no progress for " + durationText(limits_.stall);
      } else if (now >= queue_.front().deadline) {
        broken = statusFromErrno(ETIMEDOUT);
        cause = "a write did not finish within " + durationText(queue_.front().limit);
      }
    }
  }
  for (auto& [done, status] : finished) done(status);
  if (broken) {
    shutDown(*broken, std::move(cause));
    return;
  }
  keepWatching();
}

void SocketChannel::keepWatching() {
  // A channel the loop can no longer watch could neither deliver its data nor
  // finish its writes.
  if (const Status updated = updateWatch(); updated < 0) {
    shutDown(statusFromErrno(EPIPE), "the loop cannot watch it: " + errnoText(updated));
  }
}

Status SocketChannel::updateWatch() {
  bool writing = false;
  std::optional<Clock::time_point> wake;
  {
    const std::lock_guard lock(outMutex_);
    if (!queue_.empty()) {
      writing = true;
      wake = std::min(
          {Clock::now() + limits_.retry, lastProgress_ + limits_.stall, queue_.front().deadline});
    }
  }
  std::uint32_t events = 0;
  if (delegate_ != nullptr && !inputPaused_) events |= EPOLLIN;
  if (otherInputWatch_) {
    if (const Status set = otherInputWatch_->setEvents(events); set < 0) return set;
  }
  if (writing) events |= EPOLLOUT;
  if (!watch_) {
    if (events == 0) return statusOK;
    auto watch = loop_.watchFd(fd_, events, [weak = weak_from_this()](std::uint32_t revents) {
      // A channel whose last reference is gone has its watch released by a
      // posted task; readiness until then is not ours to act on.
      if (const auto self = weak.lock()) self->onReady(revents);
    });
    if (!watch) return watch.error();
    watch_ = std::move(watch).value();
  } else if (const Status set = watch_->setEvents(events); set < 0) {
    return set;
  }
  if (!timer_) {
    if (!wake) return statusOK;
    auto timer = loop_.createTimer([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->sendQueued();
    });
    if (!timer) return timer.error();
    timer_ = std::move(timer).value();
  }
  return timer_->setDeadline(wake);
}

void SocketChannel::onReady(std::uint32_t revents) {
  if (closing_) return;
  if (revents & EPOLLOUT) sendQueued();
  if (closing_) return;
  if (revents & EPOLLIN) {
    readInput();
    return;
  }
  if (revents & (EPOLLHUP | EPOLLERR)) shutDown(statusFromErrno(EPIPE), endOfLink(fd_));
}

void SocketChannel::readInput() {
  const ssize_t got = ::read(fd_, readBuffer_.data(), readBuffer_.size());
  if (got > 0) {
    bytesIn_ += static_cast<std::uint64_t>(got);
    if (delegate_) {
      delegate_->rfcommChannelData(*this,
                                   std::span(readBuffer_.data(), static_cast<std::size_t>(got)));
    }
    return;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got == 0) {
    shutDown(statusFromErrno(EPIPE), "the client hung up");
  } else {
    shutDown(statusFromErrno(EPIPE), "a read failed: " + errnoText(statusFromErrno(errno)));
  }
}

void SocketChannel::close(CloseReason reason) {
  shutDown(statusFromErrno(EPIPE), describe(reason), reason);
}

void SocketChannel::closeBecause(std::string cause) {
  shutDown(statusFromErrno(EPIPE), std::move(cause));
}

void SocketChannel::shutDown(Status queuedStatus, std::string cause,
                             std::optional<CloseReason> helperReason) {
  std::deque<QueuedWrite> cut;
  {
    const std::lock_guard lock(outMutex_);
    if (closing_) return;
    closing_ = true;
    closeCause_ = std::move(cause);
    helperReason_ = helperReason;
    cut.swap(queue_);
  }
  // The result is not needed: a socket the peer has already reset is as shut
  // as one we shut ourselves.
  ::shutdown(fd_, SHUT_RDWR);
  for (QueuedWrite& write : cut) write.done(queuedStatus);
  loop_.post([self = shared_from_this()] { self->finishClose(); });
}

void SocketChannel::finishClose() {
  watch_.reset();
  timer_.reset();
  dropOtherInput();
  heldInput_.clear();
  std::string line = "client " + device_ + " disconnected: ";
  std::optional<CloseReason> helperReason;
  {
    const std::lock_guard lock(outMutex_);
    line += closeCause_ + "; " + std::to_string(bytesIn_) + " bytes in, " +
            std::to_string(bytesOut_) + " bytes out";
    helperReason = helperReason_;
  }
  log_.write(Log::Level::info, line);
  if (delegate_) delegate_->rfcommChannelClosed(*this);
  if (endHook_) endHook_(helperReason);
}

}  // namespace harlo::platform
