#include "platform/linux/bluez/socket_channel.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/errno_status.h"

namespace harlo::platform {
namespace {

constexpr std::size_t maxReadBytes = 64 * 1024;

// The kernel's struct sockaddr_rc: an RFCOMM socket's address.
struct RfcommSocketAddress {
  sa_family_t family;
  std::uint8_t deviceAddress[6];
  std::uint8_t channel;
};

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

int pollTimeoutMs(std::chrono::steady_clock::duration left) {
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

std::shared_ptr<SocketChannel> SocketChannel::create(RunLoop& loop, int fd,
                                                     std::uint8_t publishedChannel,
                                                     std::chrono::milliseconds writeStallLimit) {
  return std::shared_ptr<SocketChannel>(
      new SocketChannel(loop, fd, socketChannel(fd, publishedChannel), writeStallLimit));
}

SocketChannel::SocketChannel(RunLoop& loop, int fd, std::uint8_t channelID,
                             std::chrono::milliseconds writeStallLimit)
    : loop_(loop), fd_(fd), channelID_(channelID), writeStallLimit_(writeStallLimit) {}

SocketChannel::~SocketChannel() {
  if (!watch_ || loop_.isLoopThread()) {
    watch_.reset();
    ::close(fd_);
    return;
  }
  // The fd stays open until its watch is gone, so that its number cannot be
  // reused by another file while the loop still watches it.
  std::shared_ptr<RunLoop::FdWatch> watch(std::move(watch_));
  loop_.post([watch, fd = fd_]() mutable {
    watch.reset();
    ::close(fd);
  });
}

Status SocketChannel::setDelegate(ChannelDelegate* delegate) {
  delegate_ = delegate;
  if (watch_ || closing_) return statusOK;
  auto watch = loop_.watchFd(fd_, EPOLLIN, [weak = weak_from_this()](std::uint32_t revents) {
    // A channel whose last reference is gone has its watch released by a
    // posted task; readiness until then is not ours to act on.
    if (const auto self = weak.lock()) self->onReady(revents);
  });
  if (!watch) return watch.error();
  watch_ = std::move(watch).value();
  readBuffer_.resize(maxReadBytes);
  return statusOK;
}

void SocketChannel::onReady(std::uint32_t revents) {
  if (closing_) return;
  if (revents & EPOLLIN) {
    const ssize_t got = ::read(fd_, readBuffer_.data(), readBuffer_.size());
    if (got > 0) {
      if (delegate_) {
        delegate_->rfcommChannelData(*this,
                                     std::span(readBuffer_.data(), static_cast<std::size_t>(got)));
      }
      return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    shutDown();  // end of file, or a read error
    return;
  }
  if (revents & (EPOLLHUP | EPOLLERR)) shutDown();
}

Status SocketChannel::writeSync(std::span<const std::uint8_t> data) {
  using Clock = std::chrono::steady_clock;
  std::lock_guard lock(writeMutex_);
  std::size_t sent = 0;
  // The clock is read only once the socket is full: most writes never wait.
  bool stalled = false;
  Clock::time_point deadline{};
  while (sent < data.size()) {
    const ssize_t wrote = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
      stalled = false;  // progress: the stall limit starts again
      continue;
    }
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return statusFromErrno(errno);

    if (!stalled) {
      stalled = true;
      deadline = Clock::now() + writeStallLimit_;
    }
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      // Part of the data may be out already; the stream cannot be brought
      // back in step, so the channel goes.
      shutDown();
      return statusFromErrno(ETIMEDOUT);
    }
    pollfd writable{.fd = fd_, .events = POLLOUT, .revents = 0};
    if (::poll(&writable, 1, pollTimeoutMs(left)) < 0 && errno != EINTR) {
      return statusFromErrno(errno);
    }
    // Ready, hung up or timed out: the next send or the deadline tells which.
  }
  return statusOK;
}

void SocketChannel::close() { shutDown(); }

void SocketChannel::shutDown() {
  if (closing_.exchange(true)) return;
  // The result is not needed: a socket the peer has already reset is as shut
  // as one we shut ourselves.
  ::shutdown(fd_, SHUT_RDWR);
  loop_.post([self = shared_from_this()] { self->finishClose(); });
}

void SocketChannel::finishClose() {
  watch_.reset();
  if (delegate_) delegate_->rfcommChannelClosed(*this);
}

}  // namespace harlo::platform
