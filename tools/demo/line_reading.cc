#include "line_reading.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <utility>

namespace harlo::demo {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is readable or hung up; false when `deadline` passes.
bool waitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    int ready =
        ::poll(&p, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

Reading readLineFrom(int fd, std::string& unread, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    auto end = unread.find('\n');
    if (end != std::string::npos) {
      std::string line = unread.substr(0, end);
      unread.erase(0, end + 1);
      return Reading::lineOf(std::move(line));
    }
    if (!waitReadable(fd, deadline)) return Reading::silenceFor(formatWait(bound));
    char buffer[4096];
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      unread.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      // A reset link has ended as surely as one closed in order.
      return Reading::endAfter(std::exchange(unread, {}));
    }
  }
}

std::string formatWait(std::chrono::milliseconds bound) {
  std::ostringstream text;
  text << std::chrono::duration<double>(bound).count() << " s";
  return text.str();
}

}  // namespace harlo::demo
