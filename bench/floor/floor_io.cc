#include "floor_io.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace harlo::floor {

void writeAllOrExit(int fd, const char* data, std::size_t count, bool socket) {
  while (count > 0) {
    const ssize_t written =
        socket ? ::send(fd, data, count, MSG_NOSIGNAL) : ::write(fd, data, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      std::exit(3);
    }
    data += written;
    count -= static_cast<std::size_t>(written);
  }
}

int connectOrExit(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) std::exit(3);
  std::strcpy(address.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) std::exit(3);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) std::exit(3);
  return fd;
}

std::size_t readOrExit(int fd, char* buffer, std::size_t count) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) std::exit(3);
  }
}

}  // namespace harlo::floor
