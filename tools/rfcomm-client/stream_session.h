// Moving bytes between standard input/output and a connected stream socket.
#pragma once

#include <chrono>
#include <string>

namespace harlo {

enum class SessionEnd {
  peerClosed,      // the peer ended the connection in order (end of file)
  connectionLost,  // reading from or sending to the peer failed (`error`)
  idle,            // input had ended and the peer stayed silent for the idle time
  localFailure,    // reading the input or writing the output failed (`error`)
  attFailure,      // over LE: the peer refused a request, sent a malformed or
                   // unexpected PDU, or left a request unanswered (`detail`)
};

struct SessionOutcome {
  SessionEnd end = SessionEnd::peerClosed;
  int error = 0;       // errno for connectionLost and localFailure, else 0
  std::string detail;  // what went wrong, for attFailure; else empty
};

// Copies everything read from `input` to `peer` and everything read from
// `peer` to `output`, each chunk whole and in order, until one of the ends
// above. While `input` is open the session waits for the peer without bound:
// the caller decides how long to talk. Once `input` reaches end of file the
// session ends after `idle` without anything arriving from the peer (a
// stream without half-close cannot signal "no more input" any other way);
// the peer closing first ends it at once.
//
// `peer` must be a connected stream socket; sends use MSG_NOSIGNAL and block
// until the peer takes the bytes, so a peer that neither reads nor closes
// stalls the session. Writing `output` may raise SIGPIPE unless the caller
// ignores it. The descriptors stay open; the caller closes them.
SessionOutcome runSession(int input, int peer, int output, std::chrono::milliseconds idle);

// A short phrase for how the session ended, e.g. "peer closed the connection".
const char* describeSessionEnd(SessionEnd end);

// The phrase, then the errno's text or the detail when there is one:
// "connection lost: Connection reset by peer".
std::string describeSessionOutcome(const SessionOutcome& outcome);

}  // namespace harlo
