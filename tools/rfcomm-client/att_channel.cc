#include "att_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <string>

#include "poll_deadline.h"

namespace harlo {
namespace {

// Room for any PDU a peer may send at the largest MTU, and more: a packet is
// never cut short at the maximum.
constexpr std::size_t packetBytes = 2048;

SessionOutcome attFailure(std::string detail) {
  return {SessionEnd::attFailure, 0, std::move(detail)};
}

}  // namespace

AttChannel::AttChannel(int fd, std::uint16_t mtu, std::chrono::milliseconds responseTimeout)
    : fd_(fd), offered_(mtu), responseTimeout_(responseTimeout) {}

Result<std::uint16_t, SessionOutcome> AttChannel::exchangeMtu() {
  auto answer = transact(att::exchangeMtuRequest(offered_), att::opcode::exchangeMtuResponse);
  if (!answer) return fail(answer.error());
  if (auto error = att::parseErrorResponse(answer.value())) {
    if (error->code == att::error::requestNotSupported) return mtu_;
    return fail(attFailure(att::describeError(*error)));
  }
  auto theirs = att::parseExchangeMtu(answer.value());
  if (!theirs) return fail(attFailure(att::describeMalformed(answer.value())));
  mtu_ = att::agreedMtu(offered_, *theirs);
  return mtu_;
}

Result<att::Pdu, SessionOutcome> AttChannel::transact(const att::Pdu& request,
                                                      std::uint8_t responseOpcode) {
  if (auto sent = send(request); !sent) return fail(sent.error());
  const auto deadline = Clock::now() + responseTimeout_;
  for (;;) {
    auto pdu = readPdu(deadline, request[0]);
    if (!pdu) return fail(pdu.error());
    const att::Pdu& got = pdu.value();
    if (got[0] == responseOpcode) return got;
    if (got[0] == att::opcode::errorResponse) {
      auto error = att::parseErrorResponse(got);
      if (!error) return fail(attFailure(att::describeMalformed(got)));
      if (error->requestOpcode == request[0]) return got;
    }
    if (auto handled = handleUnsolicited(got, request[0]); !handled) return fail(handled.error());
  }
}

Result<att::Pdu, SessionOutcome> AttChannel::call(const att::Pdu& request,
                                                  std::uint8_t responseOpcode) {
  auto answer = transact(request, responseOpcode);
  if (!answer) return answer;
  if (auto error = att::parseErrorResponse(answer.value())) {
    return fail(attFailure(att::describeError(*error)));
  }
  return answer;
}

Result<void, SessionOutcome> AttChannel::send(const att::Pdu& pdu) {
  const auto deadline = Clock::now() + responseTimeout_;
  for (;;) {
    // A packet socket takes the whole PDU or nothing.
    if (::send(fd_, pdu.data(), pdu.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return {};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return fail(SessionOutcome{SessionEnd::connectionLost, errno, {}});
    }
    pollfd entry{fd_, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, pollTimeout(deadline));
    if (ready < 0 && errno != EINTR)
      return fail(SessionOutcome{SessionEnd::localFailure, errno, {}});
    if (ready == 0) {
      return fail(attFailure("the peer took no " + att::describeOpcode(pdu[0]) + " within " +
                             std::to_string(responseTimeout_.count()) + " ms"));
    }
  }
}

Result<void, SessionOutcome> AttChannel::receive() {
  auto pdu = readPdu(Clock::now() + responseTimeout_, 0);
  if (!pdu) return fail(pdu.error());
  return handleUnsolicited(pdu.value(), 0);
}

Result<att::Pdu, SessionOutcome> AttChannel::readPdu(Clock::time_point deadline,
                                                     std::uint8_t awaited) {
  std::array<std::uint8_t, packetBytes> buffer;
  for (;;) {
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, pollTimeout(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(SessionOutcome{SessionEnd::localFailure, errno, {}});
    }
    if (ready == 0) {
      const std::string what =
          awaited != 0 ? "no answer to " + att::describeOpcode(awaited) : std::string("no ATT PDU");
      return fail(attFailure(what + " within " + std::to_string(responseTimeout_.count()) + " ms"));
    }
    // Hang-up and error are read too: recv() tells end of file from a reset.
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got > 0) return att::Pdu(buffer.begin(), buffer.begin() + got);
    if (got == 0) return fail(SessionOutcome{SessionEnd::peerClosed, 0, {}});
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return fail(SessionOutcome{SessionEnd::connectionLost, errno, {}});
  }
}

Result<void, SessionOutcome> AttChannel::handleUnsolicited(const att::Pdu& pdu,
                                                           std::uint8_t awaited) {
  const std::uint8_t code = pdu[0];
  switch (att::kindOf(code)) {
    case att::PduKind::request: {
      auto answered = send(att::answerRequest(pdu, offered_));
      // The new MTU holds once the peer has our answer.
      if (answered && code == att::opcode::exchangeMtuRequest) {
        if (auto theirs = att::parseExchangeMtu(pdu)) mtu_ = att::agreedMtu(offered_, *theirs);
      }
      return answered;
    }
    case att::PduKind::command:
      return {};
    case att::PduKind::notification:
    case att::PduKind::indication: {
      // Multiple Handle Value Notifications come only to a client that asked
      // for them, which this one never does.
      if (code != att::opcode::handleValueNotification &&
          code != att::opcode::handleValueIndication) {
        return {};
      }
      auto value = att::parseHandleValue(pdu);
      if (!value) return fail(attFailure(att::describeMalformed(pdu)));
      if (sink_) {
        if (int error = sink_(value->handle, value->value)) {
          return fail(SessionOutcome{SessionEnd::localFailure, error, {}});
        }
      }
      if (code == att::opcode::handleValueIndication) return send(att::handleValueConfirmation());
      return {};
    }
    case att::PduKind::response:
    case att::PduKind::confirmation:
      break;
  }
  std::string detail = "unexpected ";
  if (auto error = att::parseErrorResponse(pdu)) {
    detail += att::describeError(*error);
  } else {
    detail += att::describeOpcode(code);
  }
  if (awaited != 0) detail += " while waiting for the answer to " + att::describeOpcode(awaited);
  return fail(attFailure(std::move(detail)));
}

}  // namespace harlo
