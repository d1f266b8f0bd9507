#include "bounded_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace harlo::harness {
namespace {

bool retryable() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

bool waitUntilReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, events, 0};
    int r =
        ::poll(&p, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

ssize_t readSomeBefore(int fd, std::string& out, std::size_t count, Clock::time_point deadline) {
  char buffer[65536];
  for (;;) {
    if (!waitUntilReady(fd, POLLIN, deadline)) {
      errno = ETIMEDOUT;
      return -1;
    }
    ssize_t n = ::read(fd, buffer, std::min(count, sizeof buffer));
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
    if (n >= 0) return n;
    if (!retryable()) return errno == ECONNRESET ? 0 : -1;
  }
}

std::optional<std::string> readExactlyWithin(int fd, std::size_t count,
                                             std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  std::string out;
  while (out.size() < count) {
    if (readSomeBefore(fd, out, count - out.size(), deadline) <= 0) return std::nullopt;
  }
  return out;
}

bool waitForEndOfFile(int fd, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  std::string discarded;
  for (;;) {
    ssize_t n = readSomeBefore(fd, discarded, 65536, deadline);
    if (n <= 0) return n == 0;
    discarded.clear();
  }
}

bool writeWithin(int fd, std::string_view bytes, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  bool socket = true;
  while (!bytes.empty()) {
    if (!waitUntilReady(fd, POLLOUT, deadline)) return false;
    ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                       : ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == ENOTSOCK) {
      socket = false;
      continue;
    }
    if (n < 0 && retryable()) continue;
    if (n < 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool hasPendingEvent(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace harlo::harness
