// The companion service over GATT, as a client prepares it between
// connecting and its first write: the MTU agreed, the service and its two
// characteristics found, the helper's bytes routed to the output, and the
// client subscribed to them (the helper counts a client as connected from
// then on).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "att_channel.h"
#include "att_pdu.h"
#include "base/result.h"
#include "client_options.h"
#include "stream_session.h"

namespace harlo {

// The handles of the service on the helper's side.
struct LineService {
  att::HandleRange service;
  std::uint16_t toHelper = 0;       // value handle of "to helper"
  std::uint16_t fromHelper = 0;     // value handle of "from helper"
  std::uint16_t configuration = 0;  // the Client Characteristic Configuration of "from helper"
};

// On a bearer nothing has used yet: exchanges the MTU; finds the primary
// service companionServiceUuid, its characteristics, and the configuration
// descriptor of "from helper"; checks that "to helper" takes the writes
// `write` makes and that "from helper" notifies; hands the value of every
// notification or indication of "from helper" to `output` (others are
// dropped); and writes 0x0001 to the configuration descriptor. `report`
// receives one status line after the MTU exchange, one after the
// discovery and one after the subscription.
//
// Fails with the channel's outcome, or with attFailure naming what is
// missing or refused ("no primary service ...", an Error Response to the
// subscription such as Insufficient Encryption). A peer whose discovery
// responses leave the range asked for, or do not move forward through it,
// fails too, so that discovery always ends.
Result<LineService, SessionOutcome> openLineService(AttChannel& att, LeWrite write, int output,
                                                    const std::function<void(std::string)>& report);

}  // namespace harlo
