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
      new SocketChannel(loop, fd, channel, rfcommChannelNames(channel, publishedChannel), log,
                        std::move(device), limits));
}

SocketChannel::SocketChannel(RunLoop& loop, int fd, std::uint8_t channelID, ChannelNames names,
                             Log& log, std::string device, WriteLimits limits)
    : loop_(loop),
      fd_(fd),
      channelID_(channelID),
      names_(std::move(names)),
      log_(log),
      device_(std::move(device)),
      limits_(limits) {}

SocketChannel::~SocketChannel() {
  // Writes still queued belong to no one who can wait for them any more; each
  // is told, as promised, exactly once.
  for (QueuedWrite& write : queue_) write.done(statusFromErrno(EPIPE));
  if ((!watch_ && !timer_) || loop_.isLoopThread()) {
    watch_.reset();
    timer_.reset();
    ::close(fd_);
    return;
  }
  // The fd stays open until its watch is gone, so that its number cannot be
  // reused by another file while the loop still watches it.
  std::shared_ptr<RunLoop::FdWatch> watch(std::move(watch_));
  std::shared_ptr<RunLoop::Timer> timer(std::move(timer_));
  loop_.post([watch, timer, fd = fd_]() mutable {
    watch.reset();
    timer.reset();
    ::close(fd);
  });
}

Status SocketChannel::setDelegate(ChannelDelegate* delegate) {
  delegate_ = delegate;
  if (closing_) return statusOK;
  readBuffer_.resize(maxReadBytes);
  return updateWatch();
}

void SocketChannel::setInputPaused(bool paused) {
  inputPaused_ = paused;
  if (!closing_) keepWatching();
}

std::optional<Status> SocketChannel::write(std::span<const std::uint8_t> data, WriteDone done) {
  if (data.empty()) return statusOK;
  std::unique_lock lock(outMutex_);
  if (closing_) return statusFromErrno(EPIPE);
  std::size_t sent = 0;
  if (queue_.empty()) {
    while (sent < data.size()) {
      const auto taken = sendSome(fd_, data.subspan(sent));
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
      const auto taken = sendSome(fd_, std::span(head.bytes).subspan(head.sent));
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
  shutDown(statusFromErrno(EPIPE), describe(reason));
}

void SocketChannel::closeBecause(std::string cause) {
  shutDown(statusFromErrno(EPIPE), std::move(cause));
}

void SocketChannel::shutDown(Status queuedStatus, std::string cause) {
  std::deque<QueuedWrite> cut;
  {
    const std::lock_guard lock(outMutex_);
    if (closing_) return;
    closing_ = true;
    closeCause_ = std::move(cause);
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
  std::string line = "client " + device_ + " disconnected: ";
  {
    const std::lock_guard lock(outMutex_);
    line += closeCause_ + "; " + std::to_string(bytesIn_) + " bytes in, " +
            std::to_string(bytesOut_) + " bytes out";
  }
  log_.write(Log::Level::info, line);
  if (delegate_) delegate_->rfcommChannelClosed(*this);
}

}  // namespace harlo::platform
