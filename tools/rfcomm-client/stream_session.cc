#include "stream_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/write_all.h"
#include "poll_deadline.h"

namespace harlo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t chunkBytes = 65536;

// Sends all of `bytes` on a socket without raising SIGPIPE; 0 or an errno.
int sendAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

SessionOutcome runSession(int input, int peer, int output, std::chrono::milliseconds idle) {
  std::array<char, chunkBytes> buffer{};
  bool inputOpen = true;
  Clock::time_point idleDeadline{};
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{peer, POLLIN, 0}, pollfd{inputOpen ? input : -1, POLLIN, 0}};
    const int timeout = inputOpen ? -1 : pollTimeout(idleDeadline);
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return {SessionEnd::localFailure, errno, {}};
    }
    if (ready == 0) {
      if (Clock::now() >= idleDeadline) return {SessionEnd::idle, 0, {}};
      continue;
    }
    // Hang-up and error are read too: read() then tells end of file from a
    // reset.
    if (fds[0].revents != 0) {
      const ssize_t got = ::read(peer, buffer.data(), buffer.size());
      if (got == 0) return {SessionEnd::peerClosed, 0, {}};
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return {SessionEnd::connectionLost, errno, {}};
      }
      if (int error = writeAll(output, {buffer.data(), static_cast<std::size_t>(got)})) {
        return {SessionEnd::localFailure, error, {}};
      }
      if (!inputOpen) idleDeadline = Clock::now() + idle;
    }
    if (inputOpen && fds[1].revents != 0) {
      const ssize_t got = ::read(input, buffer.data(), buffer.size());
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return {SessionEnd::localFailure, errno, {}};
      }
      if (got == 0) {
        inputOpen = false;
        idleDeadline = Clock::now() + idle;
        continue;
      }
      if (int error = sendAll(peer, {buffer.data(), static_cast<std::size_t>(got)})) {
        return {SessionEnd::connectionLost, error, {}};
      }
    }
  }
}

const char* describeSessionEnd(SessionEnd end) {
  switch (end) {
    case SessionEnd::peerClosed:
      return "peer closed the connection";
    case SessionEnd::connectionLost:
      return "connection lost";
    case SessionEnd::idle:
      return "input ended and the peer stayed idle";
    case SessionEnd::localFailure:
      return "local input or output failed";
    case SessionEnd::attFailure:
      return "ATT exchange failed";
  }
  return "unknown";
}

std::string describeSessionOutcome(const SessionOutcome& outcome) {
  std::string text = describeSessionEnd(outcome.end);
  if (outcome.error != 0) text += std::string(": ") + std::strerror(outcome.error);
  if (!outcome.detail.empty()) text += ": " + outcome.detail;
  return text;
}

}  // namespace harlo
