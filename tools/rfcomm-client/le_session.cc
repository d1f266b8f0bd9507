#include "le_session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "poll_deadline.h"

namespace harlo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t inputBytes = 4096;

// How much of `bytes` the next write carries: at most `capacity`, and up to
// and including the first line feed if that comes sooner.
std::size_t nextWriteLength(std::string_view bytes, std::size_t capacity) {
  const std::size_t upTo = std::min(bytes.size(), capacity);
  const std::size_t feed = bytes.substr(0, upTo).find('\n');
  return feed == std::string_view::npos ? upTo : feed + 1;
}

Result<void, SessionOutcome> sendInput(AttChannel& att, const LineService& line, LeWrite write,
                                       std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t length = nextWriteLength(bytes, att::valueCapacity(att.mtu()));
    const att::Bytes value(reinterpret_cast<const std::uint8_t*>(bytes.data()), length);
    bytes.remove_prefix(length);
    if (write == LeWrite::command) {
      if (auto sent = att.send(att::writeCommand(line.toHelper, value)); !sent) return sent;
    } else {
      auto answered = att.call(att::writeRequest(line.toHelper, value), att::opcode::writeResponse);
      if (!answered) return fail(answered.error());
    }
  }
  return {};
}

}  // namespace

SessionOutcome runLeSession(int input, AttChannel& att, const LineService& line, LeWrite write,
                            std::chrono::milliseconds idle) {
  std::array<char, inputBytes> buffer{};
  bool inputOpen = true;
  Clock::time_point idleDeadline{};
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{att.fd(), POLLIN, 0},
                              pollfd{inputOpen ? input : -1, POLLIN, 0}};
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
    if (fds[0].revents != 0) {
      if (auto received = att.receive(); !received) return received.error();
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
      auto sent = sendInput(att, line, write, {buffer.data(), static_cast<std::size_t>(got)});
      if (!sent) return sent.error();
    }
  }
}

}  // namespace harlo
