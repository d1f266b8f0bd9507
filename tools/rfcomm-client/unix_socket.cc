#include "unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace harlo {

Result<int, std::string> connectUnixSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // sun_path keeps its terminating zero.
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return fail("socket path " + path + ": not between 1 and " +
                std::to_string(sizeof address.sun_path - 1) + " bytes");
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    const int error = errno;
    ::close(fd);
    return fail("connect " + path + ": " + std::strerror(error));
  }
  return fd;
}

}  // namespace harlo
