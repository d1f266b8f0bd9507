#include "protocol/output_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace harlo {

int openOwnNonBlockingDescription(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return -1;
  if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) return -1;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return -1;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

}  // namespace harlo
