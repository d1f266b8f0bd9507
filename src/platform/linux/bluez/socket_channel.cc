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

}  // namespace

std::shared_ptr<SocketChannel> SocketChannel::create(RunLoop& loop, int fd,
                                                     std::uint8_t publishedChannel,
                                                     WriteLimits limits) {
  return std::shared_ptr<SocketChannel>(
      new SocketChannel(loop, fd, socketChannel(fd, publishedChannel), limits));
}

SocketChannel::SocketChannel(RunLoop& loop, int fd, std::uint8_t channelID, WriteLimits limits)
    : loop_(loop), fd_(fd), channelID_(channelID), limits_(limits) {}

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
      if (!taken) return taken.error();
      if (taken.value() == 0) break;
      sent += taken.value();
    }
    if (sent == data.size()) return statusOK;
  }
  // The clock is read only now: most writes never wait.
  const Clock::time_point now = Clock::now();
  const bool wasIdle = queue_.empty();
  if (wasIdle) lastProgress_ = now;
  queue_.push_back(QueuedWrite{
      std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(sent), data.end()), 0,
      now + limits_.total, std::move(done)});
  lock.unlock();
  if (wasIdle) driveSoon();
  return std::nullopt;
}

void SocketChannel::driveSoon() {
  // On the loop, the watch and the timer take it from here, so that `done`
  // never runs inside write().
  if (loop_.isLoopThread()) {
    keepWatching();
    return;
  }
  loop_.post([weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->sendQueued();
  });
}

void SocketChannel::sendQueued() {
  if (closing_) return;
  std::vector<std::pair<WriteDone, Status>> finished;
  std::optional<Status> broken;
  {
    const std::lock_guard lock(outMutex_);
    const Clock::time_point now = Clock::now();
    while (!queue_.empty()) {
      QueuedWrite& head = queue_.front();
      const auto taken = sendSome(fd_, std::span(head.bytes).subspan(head.sent));
      if (!taken) {
        broken = taken.error();
        break;
      }
      if (taken.value() == 0) break;
      lastProgress_ = now;
      head.sent += taken.value();
      if (head.sent < head.bytes.size()) continue;
      finished.emplace_back(std::move(head.done), statusOK);
      queue_.pop_front();
    }
    if (!broken && !queue_.empty() &&
        (now - lastProgress_ >= limits_.stall || now >= queue_.front().deadline)) {
      broken = statusFromErrno(ETIMEDOUT);
    }
  }
  for (auto& [done, status] : finished) done(status);
  if (broken) {
    shutDown(*broken);
    return;
  }
  keepWatching();
}

void SocketChannel::keepWatching() {
  // A channel the loop can no longer watch could neither deliver its data nor
  // finish its writes.
  if (const Status updated = updateWatch(); updated < 0) shutDown(updated);
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
  if (revents & (EPOLLHUP | EPOLLERR)) shutDown(statusFromErrno(EPIPE));
}

void SocketChannel::readInput() {
  const ssize_t got = ::read(fd_, readBuffer_.data(), readBuffer_.size());
  if (got > 0) {
    if (delegate_) {
      delegate_->rfcommChannelData(*this,
                                   std::span(readBuffer_.data(), static_cast<std::size_t>(got)));
    }
    return;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  shutDown(statusFromErrno(EPIPE));  // end of file, or a read error
}

void SocketChannel::close() { shutDown(statusFromErrno(EPIPE)); }

void SocketChannel::shutDown(Status queuedStatus) {
  std::deque<QueuedWrite> cut;
  {
    const std::lock_guard lock(outMutex_);
    if (closing_) return;
    closing_ = true;
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
  if (delegate_) delegate_->rfcommChannelClosed(*this);
}

}  // namespace harlo::platform
