#include "connect_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace harlo {

int finishConnect(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLOUT, 0};
  int ready;
  while ((ready = ::poll(&entry, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
  }
  if (ready < 0) return errno;
  if (ready == 0) return ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
  if (error != 0) return error;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return errno;
  return 0;
}

}  // namespace harlo
