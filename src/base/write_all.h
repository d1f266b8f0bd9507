// Writing whole buffers to file descriptors.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace harlo {

// Writes all of `bytes` to `fd`, continuing partial writes and retrying EINTR.
// A descriptor that someone else made non-blocking is waited on with poll()
// instead of failing with EAGAIN halfway through, which would leave half a
// line for the next writer to follow. Returns 0, or the errno of the call that
// failed (the bytes before it may have been written).
inline int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written == 0) return EIO;  // no progress and no reason: give up
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    pollfd entry{fd, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0) {
      if (errno != EINTR) return errno;
    }
  }
  return 0;
}

}  // namespace harlo
