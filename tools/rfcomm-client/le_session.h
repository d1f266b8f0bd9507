// The line session over LE: the same session as runSession's over a stream
// socket, carried by ATT writes and notifications.
#pragma once

#include <chrono>

#include "att_channel.h"
#include "client_options.h"
#include "gatt_line_service.h"
#include "stream_session.h"

namespace harlo {

// Sends everything read from `input` to the helper's "to helper"
// characteristic in order, in writes of at most ATT_MTU-3 bytes, a write
// ending after a line feed when one comes sooner (each line leaves in
// writes of its own; a line longer than a write is split, UTF-8 characters
// included, and the helper joins it again). With LeWrite::request each write
// waits for its Write Response; with LeWrite::command it does not.
// Meanwhile `att` delivers the helper's notifications to the output
// openLineService() routed them to. Ends as runSession() does: the peer
// closed, the connection lost, `idle` without any PDU arriving once `input`
// has ended, or a local failure; and with attFailure when a write is refused
// (its Error Response described, e.g. Insufficient Authorization for a
// device the helper's computer does not trust) or the peer breaks the
// protocol. `input` stays open; the caller closes it and the bearer.
SessionOutcome runLeSession(int input, AttChannel& att, const LineService& line, LeWrite write,
                            std::chrono::milliseconds idle);

}  // namespace harlo
