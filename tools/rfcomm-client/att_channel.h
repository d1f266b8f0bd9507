// One ATT bearer on a connected packet socket: each packet is one whole PDU
// (the kernel's LE ATT fixed channel, or a SOCK_SEQPACKET socket pair). This
// side is the client, with one request outstanding at a time, and also the
// minimal server every ATT peer must be: the helper's bluetoothd discovers
// its clients too, and drops a link whose peer leaves a request unanswered.
//
// Every wait is bounded by the response timeout: a request's wait for its
// response, and a send's wait for room. Single-threaded; the descriptor
// stays the caller's, in whatever blocking mode it has.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "att_pdu.h"
#include "base/result.h"
#include "stream_session.h"

namespace harlo {

class AttChannel {
 public:
  // Takes the handle and value of each notification and indication as it
  // arrives, in order; returns 0, or the errno of a failed delivery, which
  // ends the exchange as a local failure.
  using ValueSink = std::function<int(std::uint16_t handle, att::Bytes value)>;

  // `mtu` is the receive MTU this side offers (23 to 517), in its own
  // Exchange MTU and in answer to the peer's.
  AttChannel(int fd, std::uint16_t mtu, std::chrono::milliseconds responseTimeout);

  int fd() const { return fd_; }
  // The ATT_MTU in force: the default until an Exchange MTU, either side's,
  // has been answered.
  std::uint16_t mtu() const { return mtu_; }
  // Notifications and indications that arrive without a sink are dropped
  // (indications still confirmed).
  void setValueSink(ValueSink sink) { sink_ = std::move(sink); }

  // Offers this side's MTU and returns the one agreed. A peer that answers
  // Request Not Supported keeps the MTU where it was.
  Result<std::uint16_t, SessionOutcome> exchangeMtu();

  // Sends `request` and waits for its answer: a PDU with `responseOpcode`,
  // or an Error Response for the request's opcode, returned whole for the
  // caller to read. Meanwhile it answers the peer's requests, hands
  // notifications and indications to the sink and confirms indications.
  // Fails (attFailure) on a malformed or unexpected PDU, a response to
  // another request, or no answer within the timeout; on the connection's
  // end (peerClosed, connectionLost); or when the sink fails (localFailure).
  Result<att::Pdu, SessionOutcome> transact(const att::Pdu& request, std::uint8_t responseOpcode);

  // transact() that takes an Error Response as a failure, described by
  // att::describeError.
  Result<att::Pdu, SessionOutcome> call(const att::Pdu& request, std::uint8_t responseOpcode);

  // Sends a PDU that has no response (a command).
  Result<void, SessionOutcome> send(const att::Pdu& pdu);

  // Reads one PDU and handles it as transact() does the ones it did not
  // wait for; a response is unexpected here, since nothing is outstanding.
  // For a caller that polls fd() itself: it waits only if nothing is ready,
  // and then at most the response timeout.
  Result<void, SessionOutcome> receive();

 private:
  using Clock = std::chrono::steady_clock;

  Result<att::Pdu, SessionOutcome> readPdu(Clock::time_point deadline, std::uint8_t awaited);
  // Handles a PDU that is not the awaited response (`awaited`: the
  // outstanding request's opcode, or 0).
  Result<void, SessionOutcome> handleUnsolicited(const att::Pdu& pdu, std::uint8_t awaited);

  int fd_;
  std::uint16_t offered_;
  std::uint16_t mtu_ = att::defaultMtu;
  std::chrono::milliseconds responseTimeout_;
  ValueSink sink_;
};

}  // namespace harlo
